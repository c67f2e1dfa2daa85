// What the renderer makes of each request to stop that it receives (Ctrl-C, SIGTERM, SIGHUP).
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace vaskel {

// A request this soon after the first is absorbed: a logout sends SIGHUP and SIGTERM together,
// and the clean stop that the first one started is what keeps every consumed chunk. A later one
// is a user who will not wait.
inline constexpr std::int64_t kStopGraceNs = 1000000000;

// Safe in a signal handler and across threads: lock-free atomics only.
class StopRequests {
public:
    enum class Then { Stop, Absorb, ExitNow };

    // A request received at `nowNs` on the steady clock: the first sets the stop flag, later ones
    // within kStopGraceNs of it are absorbed, and after that the process is to end at once.
    [[nodiscard]] Then onRequest(std::int64_t nowNs) noexcept {
        std::int64_t first = kNone;
        if (firstAt_.compare_exchange_strong(first, nowNs)) {
            stop_.store(true);
            return Then::Stop;
        }
        // Another thread's reading may be the later one: a negative difference is within.
        return nowNs - first < kStopGraceNs ? Then::Absorb : Then::ExitNow;
    }

    const std::atomic<bool>& stopFlag() const { return stop_; }

private:
    static constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::min();
    static_assert(std::atomic<bool>::is_always_lock_free);
    static_assert(std::atomic<std::int64_t>::is_always_lock_free);

    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> firstAt_{kNone};
};

} // namespace vaskel
