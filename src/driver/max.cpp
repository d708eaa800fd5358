#include "max.hpp"

#include "fused/fused.hpp"

#include <cmath>
#include <limits>

namespace pelorin::driver {

double max_abs(const Vec& v) {
    if (v.len > 0) {
        if (const double* d = raw_data(v, v.len)) return max_abs_raw(d, v.len);
    }
    double hi = v[0], lo = v[0];
    bool nan = std::isnan(hi);
    for (std::ptrdiff_t i = 1; i < v.len && !nan; ++i) {
        interrupt_point(i);
        const double x = v[i];
        if (std::isnan(x)) nan = true;
        if (x > hi) hi = x;
        if (x < lo) lo = x;
    }
    if (nan) return std::numeric_limits<double>::quiet_NaN();
    const double neg = -lo;
    return neg > hi ? neg : hi;
}

double max_abs_raw(const double* v, std::ptrdiff_t n) { return max_abs_of(extremes_raw(v, n)); }

Extremes extremes_raw(const double* v, std::ptrdiff_t n) {
    // Four running extremes at a time: the same result as one scan in order,
    // as a nonzero extreme has the same bits whichever of its occurrences is
    // kept, and over zeros alone every extreme stays v[0].
    double hi[4] = {v[0], v[0], v[0], v[0]}, lo[4] = {v[0], v[0], v[0], v[0]};
    bool nan = std::isnan(v[0]);
    std::ptrdiff_t i = 1;
    for (; i + 4 <= n; i += 4) {
        if (((i + 3) & 0x3FFF) < 4) interrupt_point((i + 3) & ~std::ptrdiff_t{0x3FFF});
        for (int m = 0; m < 4; ++m) {
            const double x = v[i + m];
            nan |= x != x;
            hi[m] = x > hi[m] ? x : hi[m];
            lo[m] = x < lo[m] ? x : lo[m];
        }
    }
    for (; i < n; ++i) {
        const double x = v[i];
        nan |= x != x;
        hi[0] = x > hi[0] ? x : hi[0];
        lo[0] = x < lo[0] ? x : lo[0];
    }
    Extremes e{hi[0], lo[0], nan};
    for (int m = 1; m < 4; ++m) e = join(e, Extremes{hi[m], lo[m], false});
    return e;
}

Extremes join(const Extremes& first, const Extremes& then) {
    return Extremes{then.hi > first.hi ? then.hi : first.hi,
                    then.lo < first.lo ? then.lo : first.lo, first.nan || then.nan};
}

double max_abs_of(const Extremes& e) {
    if (e.nan) return std::nan("");
    const double neg = -e.lo;
    return neg > e.hi ? neg : e.hi;
}

}  // namespace pelorin::driver
