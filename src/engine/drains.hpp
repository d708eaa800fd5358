// Vertical drains: the radial outflow of every element into the drains of its
// unit cell, averaged over the cell under equal vertical strain (Hansbo 1981;
// Barron 1948), as a sink of each element's mass balance next to its
// vertical flow (Walker & Indraratna 2009, for layered soils).
//
// The radial outflow per unit volume of soil is (kh/gammaw) eta (u - u_d), with
// eta = 2/(re^2 (mu + mu_w(z))) given per element (the package computes it
// from the drains' geometry, smear and well resistance at the element's centre,
// its initial depth) and kh = kh_ratio k(e) from the element's e-log k law.  In
// the solids coordinate an element of S solids holds S (1 + e) of soil, so its
// mass balance S de/dt = F_in - F_out gains
//     - S (1 + e) (kh(e)/gammaw) eta (u - u_d(t)),
// which depends on the element's own u only: the Jacobian stays tridiagonal.
// Before the installation time there is no radial flow.  The drains discharge
// into the column's drained end (its top; its base when only that drains):
// u_d = u_b(t) - p(t), u_b the pore pressure held there (0 unless the loading
// changes it) and p(t) a vacuum, piecewise linear.
#pragma once

#include <string>
#include <vector>

#include "loading.hpp"

namespace pelorin::engine {

struct Drains {
    std::vector<double> eta;       // N: 1/m^2 (0: no drain at this element)
    std::vector<double> kh_ratio;  // N: kh/kv
    double start = 0.0;            // installation time, days
    PiecewiseLinear drain_u;       // -p(t) in kPa (a vacuum: negative); empty: 0
    bool active() const { return !eta.empty(); }
};

// Throws InputError("drains", element) for a description that cannot be run.
void check_drains(const Drains& d, int N);

// Times the sub-steps must land on (installation, corners of u_d) within
// (0, t_end), increasing, each with whether the solution's rate jumps there
// (then the time stepping starts afresh, as after a load change).
struct Break {
    double time;
    bool jump;
};
std::vector<Break> drain_breaks(const Drains& d, double t_end);

// -p at the end t1 of a sub-step from t0, on the piece of p the sub-step lies
// on (sub-steps land on its corners: one that ends on a jump takes the value
// before it, whatever the last digit of t0 + dt).
double drain_pressure(const Drains& d, double t0, double t1);

// The largest |u_d| over the run (a pore-pressure scale of the error control).
double drain_scale(const Drains& d);

// Adds dt times the sink to the residual R and its derivative to the diagonal
// di for a sub-step that starts at t0 and ends at t1 (radial flow once t0 >=
// start).  S, e, dedu the elements' solids, void ratios and d e/d u; K and
// dKdu the engine's k/(gammaw (1 + e)) and its derivative in u; ub the pore
// pressure at the end the drains discharge into, at t1.
void drain_sink(const Drains& d, int N, const double* S, const double* e, const double* dedu,
                const double* K, const double* dKdu, const double* u, double ub, double dt,
                double t0, double t1, double* R, double* di);

// With fills, the sink's part of the border dR/ds (drains.hpp's sink through
// e and K, whose effective stress moves with the settlement s along w: d/ds =
// -w d/du): subtracted from b.  w holds one value for all elements when uniform.
void drain_border(const Drains& d, int N, const double* e, const double* dedu, const double* K,
                  const double* dKdu, const double* S, const double* u, double ub,
                  const double* w, bool uniform, double dt, double t0, double t1, double* b);

// The sink's conductance S (1 + e) kh eta / gammaw of element i at void ratio
// e, K = k/(gammaw (1 + e)): for the relaxation time of a first sub-step.
inline double drain_conductance(const Drains& d, int i, double S, double e, double K) {
    return d.active() ? S * (1.0 + e) * (1.0 + e) * K * d.kh_ratio[i] * d.eta[i] : 0.0;
}

}  // namespace pelorin::engine
