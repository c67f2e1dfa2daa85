#include "platform/time.h"
#include "platform/win32_api.h"

#include <immintrin.h>
// timeBeginPeriod; after windows.h, which it needs.
#include <mmsystem.h>

namespace vaskel::platform {

namespace {

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 1803 and later); older systems refuse it.
constexpr DWORD kHighResolutionTimer = 0x00000002;

} // namespace

// The performance counter, in nanoseconds.
std::int64_t SteadyClock::now() {
    // Read once per process: the counter's rate never changes while the system runs.
    static const std::int64_t counterFrequency = [] {
        LARGE_INTEGER frequency{};
        ::QueryPerformanceFrequency(&frequency);
        return static_cast<std::int64_t>(frequency.QuadPart);
    }();
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    return counterToNanoseconds(counter.QuadPart, counterFrequency);
}

void sleepMilliseconds(std::uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

FineSleep::FineSleep() {
    HANDLE timer =
        ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
    if (timer == nullptr) {
        // Older systems: a plain timer follows the system timer resolution, so raise that to
        // its finest, 1 ms, for as long as the sleep is held.
        resolution_.reset(::timeBeginPeriod(1) == TIMERR_NOERROR);
        timer = ::CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    timer_.reset(reinterpret_cast<NativeHandle>(timer));
}

void FineSleep::sleepFor(std::int64_t nanoseconds) const {
    if (nanoseconds <= 0) {
        return;
    }
    HANDLE timer = reinterpret_cast<HANDLE>(timer_.get());
    // A negative due time is relative, in 100 ns units; a started unit counts whole.
    LARGE_INTEGER due{};
    due.QuadPart = -((nanoseconds + 99) / 100);
    if (timer != nullptr && ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
        ::WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0) {
        return;
    }
    ::Sleep(static_cast<DWORD>((nanoseconds + 999999) / 1000000));
}

void FineSleep::lowerResolution(const bool&) noexcept {
    ::timeEndPeriod(1);
}

void yieldThread() {
    ::SwitchToThread();
}

void spinPause() {
    _mm_pause();
}

} // namespace vaskel::platform
