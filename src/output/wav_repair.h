// Makes a stream file left by a stopped capture readable, its samples bit for bit unchanged:
// the header's sizes are set to the whole frames on disk, in place while they fit the 32-bit
// RIFF fields, as an RF64 file beyond that.
#pragma once

#include "output/wav_inspect.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace vaskel {

enum class RepairAction {
    LeftFinalised, // already readable: not touched
    InPlace,       // the size fields rewritten (and a partial trailing frame cut off)
    Rf64,          // rewritten as RF64 beside it and renamed over it
    Refused,       // not a file of ours: not touched
    Failed,        // could not be repaired: the original stays as it was
};

struct RepairOutcome {
    RepairAction action = RepairAction::Failed;
    WavLayout before;    // the layout found
    std::string message; // why it was refused or failed
};

struct RepairOptions {
    // Test only: a non-zero value ends the process abruptly once this many sample bytes of a
    // new RF64 file are written, as a crash or a power cut would, to prove the original
    // survives that.
    std::uint64_t testCrashAfterBytes = 0;
    // Called between copies with the sample bytes copied so far and the total.
    ReadProgress progress;
};

// Name of the new RF64 file while it is written, beside the original.
std::filesystem::path repairTempPath(const std::filesystem::path& path);

RepairOutcome repairStreamFile(const std::filesystem::path& path,
                               const RepairOptions& options = {});

} // namespace vaskel
