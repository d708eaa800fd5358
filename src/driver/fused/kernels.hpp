// What the inline passes' files share (private to src/driver/fused): their
// transcendental functions, the branch-free select and the flagging
// division, and the Thomas elimination of the two column solvers.
//
// Each file of a pass holds the formulas of one file of the relations or
// the column solvers, with the same operations in the same order; a
// division q(a, b, bad) is the checked one without the throw.  Where a
// cached value stands in for a fresh evaluation, the comment says why its
// arguments are the same bits.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "../../core/interrupt.hpp"
#include "../../core/simd.hpp"
#include "../../soil/soil.hpp"
#include "fused.hpp"

// The small helpers of a row are inlined into it (left to itself the
// compiler calls them, which costs a tenth of a pass).
#define FUSED_INLINE __attribute__((always_inline)) inline

namespace pelorin::driver {

// The passes' transcendental functions.  A benchmark build (PELORIN_TAPE,
// every file of the passes built with it) records their results in one run
// and replays them in the next, which then takes the same path to the bit
// without evaluating them: the time of everything else a pass does.  It can
// also keep their arguments, by kind.
#ifdef PELORIN_TAPE
namespace tape {
extern double *cur, *end;  // null: neither record nor replay
extern bool replay;
extern std::vector<double>* args;  // log10, exp, pow (10 to the), log
}  // namespace tape

namespace {

inline double taped(int kind, double x, double (*f)(double)) {
    if (tape::args) tape::args[kind].push_back(x);
    if (!tape::cur) return f(x);
    if (tape::cur == tape::end) throw std::length_error("tape too short");
    if (tape::replay) return *tape::cur++;
    return *tape::cur++ = f(x);
}

inline double log10_(double x) { return taped(0, x, [](double v) { return std::log10(v); }); }
inline double exp_(double x) { return taped(1, x, [](double v) { return std::exp(v); }); }
inline double pow10_(double y) { return taped(2, y, [](double v) { return std::pow(10.0, v); }); }
inline double log_(double x) { return taped(3, x, [](double v) { return std::log(v); }); }

#else
namespace {

inline double log10_(double x) { return std::log10(x); }
inline double exp_(double x) { return std::exp(x); }
inline double pow10_(double y) { return std::pow(10.0, y); }
inline double log_(double x) { return std::log(x); }
#endif

// The void-ratio iteration's tolerance and budget, and the band of a
// negligible stress step: the relations' own.
using soil::kEtol;
using soil::kMaxUpdates;
using soil::kTangentBand;
using soil::ln10;

// Well inside the normal range: scaling by 1/8 .. 8 keeps it normal.
inline bool in_range(double v) {
    const double m = std::fabs(v);
    return (m >= 0x1p-1016) & (m <= 0x1p1016);
}

// c ? x : y with both evaluated (so that a loop of them has no branches
// and vectorises).
inline double pick(bool c, double x, double y) {
    std::uint64_t a, b;
    std::memcpy(&a, &x, sizeof a);
    std::memcpy(&b, &y, sizeof b);
    const std::uint64_t m = std::uint64_t{0} - static_cast<std::uint64_t>(c);
    const std::uint64_t r = (a & m) | (b & ~m);
    double o;
    std::memcpy(&o, &r, sizeof o);
    return o;
}

// a / b; a zero divisor (where the checked division raises) flags.
inline double q(double a, double b, bool& bad) {
    bad |= (b == 0.0);
    return a / b;
}

}  // namespace

// Thomas algorithm over the rows (the forward sweep divides).
FUSED_INLINE void Fused::eliminate_row(std::ptrdiff_t k, bool& bad) {
    if (k == 0) {
        const double b0 = b[0];
        c[0] = q(c[0], b0, bad);
        x[0] = q(x[0], b0, bad);
        return;
    }
    const double m = q(1.0, b[k] - c[k - 1] * a[k], bad);
    c[k] = c[k] * m;
    x[k] = (x[k] - x[k - 1] * a[k]) * m;
}

}  // namespace pelorin::driver
