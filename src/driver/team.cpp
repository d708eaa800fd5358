#include "team.hpp"

#include <chrono>
#include <ctime>
#include <system_error>

namespace pelorin::driver {

namespace {

// How long a waiter spins before it sleeps.  Long enough to bridge the
// serial parts of a pass at moderate sizes, short against a scheduler tick
// (5 us measured 1.7x slower at N = 1000 than 30 us; 30 and 100 us the same).
constexpr std::int64_t kSpinNs = 50'000;

// Splits of a window of the adaptive mode, and how many splits the worker
// rests after a window in which the time after the run's own part came to
// more than 3/4 of the part's own (the worker about saved nothing), or in
// which the run's thread ran less than 4/5 of the time (the cores are
// shared with more threads than they have: a second thread then costs the
// others as much as it saves; two runs at once, N = 1e4, each took 1.5x
// the time of a run on one thread).
constexpr int kWindow = 128;
constexpr int kRest = 2048;

// CPU time of the calling thread, or -1.
std::int64_t thread_cpu_ns() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
    timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) == 0)
        return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
#endif
    return -1;
}

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

void Team::Gate::raise(std::uint64_t v) {
    value.store(v, std::memory_order_seq_cst);
    if (sleepers.load(std::memory_order_seq_cst) > 0) {
        std::lock_guard<std::mutex> l(m);
        cv.notify_one();
    }
}

void Team::Gate::await(std::uint64_t v) {
    if (value.load(std::memory_order_acquire) >= v) return;
    const std::int64_t until = Poller::now_ns() + kSpinNs;
    for (unsigned k = 1;; ++k) {
        for (int r = 0; r < 8; ++r) relax();
        if (value.load(std::memory_order_acquire) >= v) return;
        if ((k & 31) == 0 && Poller::now_ns() > until) break;
    }
    std::unique_lock<std::mutex> l(m);
    sleepers.fetch_add(1, std::memory_order_seq_cst);
    while (value.load(std::memory_order_seq_cst) < v) cv.wait(l);
    sleepers.fetch_sub(1, std::memory_order_relaxed);
}

bool Team::start(bool adaptive) {
    adaptive_ = adaptive;
    if (running()) return true;
    try {
        worker_ = std::thread([this] { loop(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

Team::~Team() {
    if (!running()) return;
    stop_.store(true);
    posted_.raise(++gen_);
    worker_.join();
}

std::ptrdiff_t Team::split_point(std::ptrdiff_t lo, std::ptrdiff_t hi, double share,
                                 std::ptrdiff_t align) {
    const auto at = lo + static_cast<std::ptrdiff_t>(share * static_cast<double>(hi - lo));
    const std::ptrdiff_t mid = (at + align / 2) / align * align;
    if (mid <= lo) return lo;
    if (mid >= hi) return hi;
    return mid;
}

void Team::post(Job job, void* ctx, std::ptrdiff_t lo, std::ptrdiff_t hi) {
    job_ = job;
    ctx_ = ctx;
    lo_ = lo;
    hi_ = hi;
    mine_ = false;
    posted_.raise(++gen_);
}

bool Team::take_back() {
    std::uint64_t before = gen_ - 1;
    mine_ = taken_.compare_exchange_strong(before, gen_, std::memory_order_acq_rel);
    return mine_;
}

void Team::finish() {
    if (!mine_ && !take_back()) done_.await(gen_);
}

void Team::account(std::int64_t own, std::int64_t after) {
    if (splits_ == 0) {
        wall0_ = Poller::now_ns();
        cpu0_ = thread_cpu_ns();
    }
    own_ns_ += own;
    after_ns_ += after;
    if (++splits_ < kWindow) return;
    const std::int64_t wall = Poller::now_ns() - wall0_, cpu = thread_cpu_ns() - cpu0_;
    if (after_ns_ * 4 > own_ns_ * 3 || (cpu0_ >= 0 && cpu * 5 < wall * 4)) resting_ = kRest;
    splits_ = 0;
    own_ns_ = after_ns_ = 0;
}

void Team::loop() {
    for (std::uint64_t next = 1;;) {
        posted_.await(next);
        if (stop_.load()) return;
        // The newest generation, unless the run's thread took it back (the
        // job's fields then belong to the run's thread again).
        const std::uint64_t g = posted_.value.load(std::memory_order_acquire);
        next = g + 1;
        std::uint64_t before = g - 1;
        if (!taken_.compare_exchange_strong(before, g, std::memory_order_acq_rel)) continue;
        job_(ctx_, lo_, hi_, 1);
        done_.raise(g);
    }
}

}  // namespace pelorin::driver
