#include "team.hpp"

#include <chrono>
#include <system_error>

namespace pelorin::driver {

namespace {

// How long a waiter spins before it sleeps.  Long enough to bridge the
// serial parts of a pass at moderate sizes, short against a scheduler tick.
constexpr std::int64_t kSpinNs = 30'000;

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

bool Team::start() {
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
