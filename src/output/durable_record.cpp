#include "output/durable_record.h"

#include "common/byte_order.h"

#include <algorithm>

namespace vaskel {

namespace {

constexpr std::uint32_t kMagic = 0x52554456; // "VDUR"
constexpr std::size_t kMaxLengths = 128;
constexpr std::size_t kChecksumAt = kDurableSlotBytes - 8;

std::uint64_t fnv1a(std::span<const std::uint8_t> bytes) {
    std::uint64_t hash = 0xcbf29ce484222325;
    for (const std::uint8_t byte : bytes) {
        hash = (hash ^ byte) * 0x100000001b3;
    }
    return hash;
}

std::optional<DurableLengths> parseSlot(std::span<const std::uint8_t> slot) {
    const std::uint32_t streams = loadLE32(slot, 4);
    if (loadLE32(slot, 0) != kMagic || streams == 0 || streams > kMaxLengths ||
        loadLE64(slot, kChecksumAt) != fnv1a(slot.first(kChecksumAt))) {
        return std::nullopt;
    }
    DurableLengths parsed;
    parsed.generation = loadLE64(slot, 8);
    for (std::uint32_t i = 0; i < streams; ++i) {
        parsed.lengths.push_back(loadLE64(slot, 16 + 8 * std::size_t{i}));
    }
    return parsed;
}

} // namespace

DurableSlot encodeDurableSlot(std::uint64_t generation, std::span<const std::uint64_t> lengths) {
    DurableSlot slot{};
    const std::size_t streams = std::min(lengths.size(), kMaxLengths);
    storeLE32(slot, 0, kMagic);
    storeLE32(slot, 4, static_cast<std::uint32_t>(streams));
    storeLE64(slot, 8, generation);
    for (std::size_t i = 0; i < streams; ++i) {
        storeLE64(slot, 16 + 8 * i, lengths[i]);
    }
    storeLE64(slot, kChecksumAt, fnv1a(std::span(slot).first(kChecksumAt)));
    return slot;
}

std::optional<DurableLengths> parseDurableRecord(std::span<const std::uint8_t> bytes) {
    std::optional<DurableLengths> newest;
    for (std::size_t at = 0; at + kDurableSlotBytes <= std::min(bytes.size(), kDurableFileBytes);
         at += kDurableSlotBytes) {
        auto slot = parseSlot(bytes.subspan(at, kDurableSlotBytes));
        if (slot && (!newest || slot->generation > newest->generation)) {
            newest = std::move(slot);
        }
    }
    return newest;
}

std::error_code DurableRecord::create(const platform::Directory& root) {
    generation_ = 0;
    if (const std::error_code removed = root.remove(kDurableFileName)) {
        return removed;
    }
    return file_.create(root, kDurableFileName, platform::NewFile::Readers::Anyone);
}

std::error_code DurableRecord::write(std::span<const std::uint64_t> lengths) {
    ++generation_;
    const DurableSlot slot = encodeDurableSlot(generation_, lengths);
    const std::uint64_t at = (generation_ % 2) * kDurableSlotBytes;
    if (const std::error_code written = file_.writeAt(at, slot.data(), slot.size())) {
        return written;
    }
    return file_.sync();
}

} // namespace vaskel
