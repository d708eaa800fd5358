// A second thread for the node loops of one run.
//
// The run's thread splits a node range in two, runs the lower part itself
// and hands the upper part to the worker, and waits for it: each node's
// arithmetic is the same code whichever thread runs it, so the results do not
// depend on the number of threads.  The worker belongs to the run (made by
// start, joined by the destructor, whichever way the run ends) and never
// throws: the parts it runs make no calls that can.
//
// Waiting spins for a short while, then sleeps: the cores may be shared with
// other work, and a spinning waiter must not keep the other thread from
// running.  For the same reason the run's thread takes the upper part back
// when the worker has not started it by the time the lower part is done, and
// (unless two threads were asked for) it rests the worker for a while when
// waiting for it, or doing its part, took most of what the worker should
// have saved, or when the run's thread itself had to wait for a core: with
// the cores busy, two threads are slower than one.
//
// The run's interruption points are silent inside a split part (a poll may
// run host code, which must not run while the worker works); the poller is
// asked once the worker is done.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "../core/interrupt.hpp"

namespace pelorin::driver {

class Team {
public:
    Team() = default;
    ~Team();
    Team(const Team&) = delete;
    Team& operator=(const Team&) = delete;

    // Starts the worker; false (one thread) when it cannot be made.
    // adaptive: rest the worker while it does not gain.
    bool start(bool adaptive);
    bool running() const { return worker_.joinable(); }

    // Where [lo, hi) splits: a multiple of `align` near lo + share (hi - lo),
    // lo or hi when a part would be empty.
    static std::ptrdiff_t split_point(std::ptrdiff_t lo, std::ptrdiff_t hi, double share,
                                      std::ptrdiff_t align);

    // f(lo, mid, 0) here and f(mid, hi, 1) on the worker (or here, after
    // the first, when the worker has not taken it), both done on return.
    // f must not throw in part 1.
    template <class F>
    void run(std::ptrdiff_t lo, std::ptrdiff_t mid, std::ptrdiff_t hi, F& f) {
        if (resting_ > 0) {
            --resting_;
            f(lo, mid, 0);
            f(mid, hi, 1);
            return;
        }
        const std::int64_t t0 = adaptive_ ? Poller::now_ns() : 0;
        post(&call<F>, &f, mid, hi);
        std::int64_t t1 = 0;
        try {
            PollerScope quiet(nullptr);
            f(lo, mid, 0);
            if (adaptive_) t1 = Poller::now_ns();
            if (take_back()) f(mid, hi, 1);
        } catch (...) {
            finish();
            throw;
        }
        finish();
        if (adaptive_) account(t1 - t0, Poller::now_ns() - t1);
        // The worker is idle: the poller may run host code now.
        checkpoint();
    }

private:
    using Job = void (*)(void*, std::ptrdiff_t, std::ptrdiff_t, int);
    template <class F>
    static void call(void* f, std::ptrdiff_t lo, std::ptrdiff_t hi, int part) {
        (*static_cast<F*>(f))(lo, hi, part);
    }

    // A counter one side raises and the other waits on.
    struct Gate {
        std::atomic<std::uint64_t> value{0};
        std::atomic<int> sleepers{0};
        std::mutex m;
        std::condition_variable cv;
        void raise(std::uint64_t v);
        void await(std::uint64_t v);  // until value >= v
    };

    void post(Job job, void* ctx, std::ptrdiff_t lo, std::ptrdiff_t hi);
    // The upper part of the current generation is not taken: take it here.
    bool take_back();
    // Waits for the worker when it took the upper part.
    void finish();
    void loop();
    // The time of the lower part and the time after it (waiting for the
    // worker, or its part done here).
    void account(std::int64_t own, std::int64_t after);

    std::thread worker_;
    Gate posted_, done_;
    std::uint64_t gen_ = 0;
    // The last generation whose upper part one of the threads took.
    std::atomic<std::uint64_t> taken_{0};
    bool mine_ = false;  // the run's thread took the current one back
    // The job of generation gen_ (written before posted_ is raised, read by
    // the worker once it took it).
    Job job_ = nullptr;
    void* ctx_ = nullptr;
    std::ptrdiff_t lo_ = 0, hi_ = 0;
    std::atomic<bool> stop_{false};
    bool adaptive_ = false;
    int splits_ = 0, resting_ = 0;
    std::int64_t own_ns_ = 0, after_ns_ = 0, wall0_ = 0, cpu0_ = 0;
};

}  // namespace pelorin::driver
