#include "logspace.hpp"

#include <cmath>

namespace pelorin::inputs {

static double steps(int Ntime) { return static_cast<double>(static_cast<long long>(Ntime) - 1); }

void logspace_check(int Ntime, double tstart) {
    if (tstart == 0.0) raise(ErrKind::FloatDivision, __FILE__, __LINE__);
    if (steps(Ntime) == 0.0) raise(ErrKind::FloatDivision, __FILE__, __LINE__);
}

void logspace_fill(double tmin, double tmax, int Ntime, double tstart, const Vec& t) {
    const double dlogt = div(std::log10(div(tmax - tmin, tstart)), steps(Ntime));
    // The exponent is accumulated step by step; the last time equals tmax up
    // to the rounding of that sum.
    double logt = std::log10(tstart);
    for (int j = 0; j < Ntime; ++j) {
        interrupt_point(j);
        t[j] = std::pow(10.0, logt) + tmin;
        logt = logt + dlogt;
    }
}

}  // namespace pelorin::inputs
