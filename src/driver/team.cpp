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
    stop_ = true;
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
    posted_.raise(++gen_);
}

void Team::finish() { done_.await(gen_); }

void Team::loop() {
    for (std::uint64_t g = 1;; ++g) {
        posted_.await(g);
        if (stop_) return;
        job_(ctx_, lo_, hi_, 1);
        done_.raise(g);
    }
}

}  // namespace pelorin::driver
