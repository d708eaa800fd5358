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

}  // namespace pelorin::driver
