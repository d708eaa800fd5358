#include "max.hpp"

#include <cmath>
#include <limits>

namespace pelorin::driver {

double max_abs(const Vec& v) {
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

}  // namespace pelorin::driver
