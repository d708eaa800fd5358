// Convergence measure: the largest absolute value of a node array.
#pragma once

#include "../core/interrupt.hpp"
#include "../core/views.hpp"

namespace pelorin::driver {

// max(max(v), -min(v)); NaN when any entry is NaN.  v must not be empty.
// A contiguous, aligned view is scanned by max_abs_raw.
double max_abs(const Vec& v);

// The same over n >= 1 contiguous doubles, four running extremes at a time.
double max_abs_raw(const double* v, std::ptrdiff_t n);

// A scan's largest and smallest value and whether any value is NaN.  The
// scans of consecutive parts, joined in order, give the max_abs_of of one
// scan of the whole, bit for bit (the sign of a zero extreme shows only when
// every value is a zero, and then every extreme is the first value).
struct Extremes {
    double hi, lo;
    bool nan;
};
Extremes extremes_raw(const double* v, std::ptrdiff_t n);
Extremes join(const Extremes& first, const Extremes& then);
double max_abs_of(const Extremes& e);

}  // namespace pelorin::driver
