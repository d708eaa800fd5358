// Interruption points of long loops.
//
// A computation that may run for seconds calls `interrupt_point(i)` inside its
// loops.  Every 16384 iterations that reads a monotonic clock, and when the
// thread's poller is due it is called; the poller (installed by whoever runs
// the computation, e.g. the Python module, which checks for Ctrl-C there) may
// throw to abandon the computation.  Without a poller the points cost one
// test of a thread-local pointer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace pelorin {

class Poller {
public:
    virtual ~Poller() = default;
    // Called at most once per `interval` from the interruption points.
    virtual void poll() = 0;

    // The clock test: polls when the interval has passed since the last poll.
    void tick() {
        const std::int64_t now = now_ns();
        if (now - last_ns_ >= interval_ns) {
            last_ns_ = now;
            poll();
        }
    }
    void reset() { last_ns_ = now_ns(); }

    std::int64_t interval_ns = 20'000'000;  // 20 ms

    static std::int64_t now_ns() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

private:
    std::int64_t last_ns_ = now_ns();
};

// The poller of the calling thread, or null.
inline thread_local Poller* current_poller = nullptr;

// Installs a poller for the lifetime of the guard (restoring the previous
// one, so that nested computations keep theirs).
class PollerScope {
public:
    explicit PollerScope(Poller* p) : saved_(current_poller) { current_poller = p; }
    ~PollerScope() { current_poller = saved_; }
    PollerScope(const PollerScope&) = delete;
    PollerScope& operator=(const PollerScope&) = delete;

private:
    Poller* saved_;
};

// Every 2^14 iterations of a loop: the clock test of the thread's poller.
inline void interrupt_point(std::ptrdiff_t i) {
    if ((i & 0x3FFF) == 0 && current_poller) current_poller->tick();
}

// At the coarse points of a computation (a time step, a correction).
inline void checkpoint() {
    if (current_poller) current_poller->tick();
}

}  // namespace pelorin
