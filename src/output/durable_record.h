// How far each stream file is known to be on the disk: kept beside the files while a capture
// runs, so that a repair after a power cut can tell audio that reached the disk from what the
// file system left behind (on ext4 a file's size may reach the disk before its data, and the
// pages between read as zeros).
//
// The file holds two slots of a fixed size, written in turn in place: a power cut while one is
// written leaves the other whole. A slot: "VDUR", the stream count, a generation that grows by
// one with each write, one length per stream (bytes of the file from its start, header
// included), zeros up to 128 lengths, and an FNV-1a checksum of all that, little-endian
// throughout. A reader takes the whole slot with the highest generation.
#pragma once

#include "platform/file.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

namespace vaskel {

inline constexpr const char* kDurableFileName = "render-durable.dat";
inline constexpr std::size_t kDurableSlotBytes = 16 + 8 * 128 + 8;
inline constexpr std::size_t kDurableFileBytes = 2 * kDurableSlotBytes;

using DurableSlot = std::array<std::uint8_t, kDurableSlotBytes>;

// The slot for `lengths` (1 to 128 of them) at `generation`.
DurableSlot encodeDurableSlot(std::uint64_t generation, std::span<const std::uint64_t> lengths);

struct DurableLengths {
    std::uint64_t generation = 0;
    std::vector<std::uint64_t> lengths; // per stream, in index order
};

// The newest whole slot of a record file's bytes; empty when neither is whole.
std::optional<DurableLengths> parseDurableRecord(std::span<const std::uint8_t> bytes);

// The record of one capture, made afresh in its output root (a leftover of an earlier capture is
// removed first, and the file is created exclusively, never followed through a link).
class DurableRecord {
public:
    [[nodiscard]] std::error_code create(const platform::Directory& root);
    // Writes the next slot with `lengths` and returns once it is on the disk.
    [[nodiscard]] std::error_code write(std::span<const std::uint64_t> lengths);
    bool isOpen() const { return file_.isOpen(); }

private:
    platform::NewFile file_;
    std::uint64_t generation_ = 0;
};

} // namespace vaskel
