// Time grid whose points crowd towards the start: tmin plus a geometric
// sequence from tstart to tmax - tmin.
#pragma once

#include "../core/interrupt.hpp"
#include "../core/views.hpp"

namespace pelorin::inputs {

// The divisor tests, made before anything is computed or allocated.
void logspace_check(int Ntime, double tstart);
// Fills t (Ntime entries, made by the caller) with the grid.
void logspace_fill(double tmin, double tmax, int Ntime, double tstart, const Vec& t);

}  // namespace pelorin::inputs
