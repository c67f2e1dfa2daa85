// The bridge's own buffer between the audio callback and the shared rings: seconds of every
// port, so that a renderer held up by a busy disk costs memory here, not an overflow. One writer
// (the process callback) and one reader (the bridge's mover thread); neither ever waits for the
// other, and the writer never allocates: every sample's place is made in the constructor.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vaskel::jack_bridge {

class FrameBuffer {
public:
    // Sized once, before either side runs. Every page is touched now (value-initialised), so the
    // callback never faults one in.
    void reset(std::uint32_t ports, std::uint64_t capacityFrames) {
        ports_ = ports;
        capacity_ = std::max<std::uint64_t>(capacityFrames, 1);
        samples_.assign(static_cast<std::size_t>(ports * capacity_), 0.0f);
        written_.store(0, std::memory_order_relaxed);
        read_.store(0, std::memory_order_relaxed);
        peak_.store(0, std::memory_order_relaxed);
    }

    std::uint64_t capacity() const { return capacity_; }

    // Writer side. Copies `frames` frames of every port (port(p) gives port p's samples) and
    // publishes them, or, when they do not all fit, copies nothing and returns false: a period is
    // never taken in part.
    template <typename Port> bool write(std::uint64_t frames, Port&& port) {
        const std::uint64_t written = written_.load(std::memory_order_relaxed);
        const std::uint64_t fill = written - read_.load(std::memory_order_acquire);
        if (frames > capacity_ - fill) {
            return false;
        }
        const std::uint64_t at = written % capacity_;
        const std::uint64_t first = std::min(frames, capacity_ - at);
        for (std::uint32_t p = 0; p < ports_; ++p) {
            const float* from = port(p);
            float* ring = samples_.data() + std::size_t{p} * capacity_;
            std::memcpy(ring + at, from, static_cast<std::size_t>(first) * sizeof(float));
            std::memcpy(ring, from + first,
                        static_cast<std::size_t>(frames - first) * sizeof(float));
        }
        // Only the writer raises the peak, so a plain load and store suffice.
        if (fill + frames > peak_.load(std::memory_order_relaxed)) {
            peak_.store(fill + frames, std::memory_order_relaxed);
        }
        written_.store(written + frames, std::memory_order_release);
        return true;
    }

    // Reader side. The frames published and not yet released, oldest first, as at most two
    // contiguous runs: the one from readPosition() to the end of the storage, then the rest
    // from position 0.
    std::uint64_t readable() const {
        return written_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed);
    }
    std::uint64_t readPosition() const { return read_.load(std::memory_order_relaxed) % capacity_; }
    const float* port(std::uint32_t p, std::uint64_t position) const {
        return samples_.data() + std::size_t{p} * capacity_ + position;
    }
    // Hands `frames` frames (at most readable()) back to the writer.
    void release(std::uint64_t frames) {
        read_.store(read_.load(std::memory_order_relaxed) + frames, std::memory_order_release);
    }

    // Either side: frames waiting now, and the most that ever waited.
    std::uint64_t fill() const {
        return written_.load(std::memory_order_acquire) - read_.load(std::memory_order_acquire);
    }
    std::uint64_t peak() const { return peak_.load(std::memory_order_relaxed); }

private:
    std::uint32_t ports_ = 0;
    std::uint64_t capacity_ = 1;
    std::vector<float> samples_; // per port, capacity_ frames
    // Counts of frames since the start, never wrapped: their difference is the fill.
    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> read_{0};
    std::atomic<std::uint64_t> peak_{0};
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

} // namespace vaskel::jack_bridge
