// Makes a stream file left by a stopped capture readable, its samples bit for bit unchanged:
// the header's sizes are set to the whole frames on disk, in place while they fit the 32-bit
// RIFF fields, as an RF64 file beyond that.
#pragma once

#include "wavfile/wav_inspect.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vaskel {

enum class RepairAction {
    LeftFinalised, // already readable: not touched
    InPlace,       // the size fields rewritten (and a partial trailing frame cut off)
    Rf64,          // rewritten as RF64 beside it and renamed over it
    Refused,       // not a file of ours, or one it must not change: not touched
    LeftEmpty,     // 0 bytes: a stream with nothing to recover, left as it is
    BeingWritten,  // a capture holds it: not touched
    Failed,        // could not be repaired: the original stays as it was
};

struct RepairOutcome {
    RepairAction action = RepairAction::Failed;
    WavLayout before;    // the layout found
    std::string message; // why it was refused or failed
    // Past the length the capture recorded as on the disk: the zeros cut off and the bytes kept
    // without that record's word for them.
    UnverifiedTail tail;
    // Temporaries of an earlier repair that stopped half-way, removed before this one.
    std::vector<std::filesystem::path> removedTemporaries;
};

struct RepairOptions {
    // Called between copies with the sample bytes copied so far and the total.
    ReadProgress progress;
    // The leftover temporaries beside the file when the caller has already looked for them
    // (leftoverRepairTemporariesIn, once for a whole directory); unset, the repair looks itself.
    std::optional<std::vector<std::filesystem::path>> leftovers;
    // The file's length the capture recorded as on the disk (output/durable_record.h), when a
    // record was left: a run of zeros at the end past it is cut off, as pages the file system
    // never wrote; other bytes past it are kept and reported as unverified.
    std::optional<std::uint64_t> durableBytes;
};

// Temporaries an RF64 repair of `path` left beside it when it stopped before its end (each
// repair's temporary is "<file>.repair-<process id>-<attempt>").
std::vector<std::filesystem::path> leftoverRepairTemporaries(const std::filesystem::path& path);

// The same for every file of `directory` in one reading of it, by the name of the file each
// temporary was made for.
std::map<std::filesystem::path, std::vector<std::filesystem::path>>
leftoverRepairTemporariesIn(const std::filesystem::path& directory);

RepairOutcome repairStreamFile(const std::filesystem::path& path,
                               const RepairOptions& options = {});

} // namespace vaskel
