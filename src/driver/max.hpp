// Convergence measure: the largest absolute value of a node array.
#pragma once

#include "../core/interrupt.hpp"
#include "../core/views.hpp"

namespace pelorin::driver {

// max(max(v), -min(v)); NaN when any entry is NaN.  v must not be empty.
double max_abs(const Vec& v);

}  // namespace pelorin::driver
