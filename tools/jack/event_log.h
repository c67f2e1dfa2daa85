// Events the JACK callbacks see (an xrun, a port disconnected, a client gone), handed to the
// bridge's thread without a lock, a wait or an allocation: an append-only array of fixed slots,
// made whole before the client is activated. A slot is claimed by one atomic increment and
// published by a release store; the reader takes the slots in order up to the first one not yet
// published. A take keeps at most kMaxTakeSheetEvents events, so no slot is ever reused; later
// ones are only counted.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace vaskel::jack_bridge {

enum class EventKind : std::uint8_t { Xrun, PortDisconnected, ClientGone };

struct RawEvent {
    std::uint64_t frame = 0; // frames of every stream taken when it happened
    EventKind kind = EventKind::Xrun;
    std::uint32_t portA = 0, portB = 0; // a disconnection's two ports (jack_port_id_t)
    std::array<char, 72> client{};      // a client's name, cut to fit, always terminated
};

class EventLog {
public:
    explicit EventLog(std::size_t capacity)
        : capacity_(capacity), slots_(std::make_unique<Slot[]>(capacity)) {}

    // Any thread, any number of them at once. False when the log is full (counted).
    bool push(const RawEvent& event) {
        const std::size_t at = claimed_.fetch_add(1, std::memory_order_relaxed);
        if (at >= capacity_) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        slots_[at].event = event;
        slots_[at].ready.store(true, std::memory_order_release);
        return true;
    }

    // The reader only: the next published event, in the order the slots were claimed.
    const RawEvent* next() {
        if (read_ >= capacity_ || !slots_[read_].ready.load(std::memory_order_acquire)) {
            return nullptr;
        }
        return &slots_[read_++].event;
    }

    std::size_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

    // A client name into an event's fixed field.
    static void copyName(std::array<char, 72>& to, const char* name) {
        const std::size_t length = name == nullptr ? 0 : ::strnlen(name, to.size() - 1);
        if (length != 0) {
            std::memcpy(to.data(), name, length);
        }
        to[length] = '\0';
    }

private:
    struct Slot {
        RawEvent event;
        std::atomic<bool> ready{false};
    };
    std::size_t capacity_;
    std::unique_ptr<Slot[]> slots_;
    std::atomic<std::size_t> claimed_{0};
    std::atomic<std::size_t> dropped_{0};
    std::size_t read_ = 0;
};

} // namespace vaskel::jack_bridge
