// Constitutive relations of one element of the engine: e-log s' with Cc/Cr
// lines, creep with Ca/tref, e-log k, written in the plastic void ratio.
//
//   ep = e + Cr*log10(s'/sigvref)        constant along a Cr line
//   P(s') = esigvref - (Cc - Cr)*log10(s'/sigvref)   ep on the compression line
//
// A state lies on or below the compression line: ep <= P(s').  The creep rate
// de/dt = -(alpha/tref)*exp((e - e_ncl(s'))/alpha), alpha = Ca/ln10, reads
// dep/dt = -(alpha/tref)*exp((ep - P(s'))/alpha), so w = exp(-ep/alpha) grows by
// (1/tref)*integral(exp(-P(s'(t))/alpha) dt) along any stress path: creep over a
// step is integrated exactly for a stress that varies linearly in time over the
// step (and for a constant one), at any step length.
#pragma once

#include <cmath>

#include "../soil/soil.hpp"

namespace pelorin::engine {

inline const double& kLn10 = soil::ln10;

// Properties of one element (all checked by the caller: Cc > Cr > 0,
// sigvref, kref, Ck, tref > 0, Ca >= 0).
struct Material {
    double Cc, Cr, sigvref, esigvref, kref, ekref, Ck, Ca, tref;

    double P(double s) const { return esigvref - (Cc - Cr) * std::log10(s / sigvref); }
    double e_of(double ep, double s) const { return ep - Cr * std::log10(s / sigvref); }
    // Permeability and its logarithmic derivative d ln k / de.
    double k(double e) const { return soil::get_ktest(e, ekref, kref, Ck); }
    double dlnk_de() const { return kLn10 / Ck; }
};

// Result of the local update of one element over a step.
struct Local {
    double ep;     // plastic void ratio at the end of the step
    double e;      // void ratio at the end of the step
    double de_ds;  // d e / d s1 (s1: effective stress at the end of the step)
};

// ln of g(d) = (1/dt) * integral over the step of (s(t)/s1)^m, s linear from
// s0 to s1, d = 1 - s0/s1 (< 1), and its derivative with respect to d.
struct LogG {
    double value, ddd;
};
LogG log_path_factor(double d, double m);

// d ln g / dd, d != 0, from L = ln(1 - d), q = (m+1) L and em = 1 - exp(-|q|):
// ln g = E(q) + B(d), E(q) = ln(expm1(q)/q), B(d) = ln(-ln(1-d)/d), each
// derivative by its series near 0 (where its terms cancel).  Every candidate
// is computed and one selected, so that a loop over elements vectorises.
inline double path_factor_slope(double d, double mp1, double L, double q, double em) {
    const double dE_small = 0.5 + q / 12.0;
    const double dE_pos = 1.0 / em - 1.0 / q;
    const double dE_neg = 1.0 - 1.0 / em - 1.0 / q;
    const double dE = std::fabs(q) < 1e-5 ? dE_small : q > 0.0 ? dE_pos : dE_neg;
    const double dB_small = 0.5 + d * (5.0 / 12.0) + d * d * (3.0 / 8.0);
    const double dB_big = -1.0 / ((1.0 - d) * L) - 1.0 / d;
    const double dB = std::fabs(d) < 1e-3 ? dB_small : dB_big;
    return dE * mp1 * (-1.0 / (1.0 - d)) + dB;
}

// One step of an element from plastic void ratio ep0 at effective stress s0 to
// the effective stress s1 > 0 over a time dt >= 0: creep along the linear
// stress path, then the bound ep <= P(s1).  While a load outruns creep the
// state thus rides on the compression line exactly (creep applied after a
// move onto the line would leave it a step-size-dependent distance below).
Local local_update(const Material& mat, double ep0, double s0, double s1, double dt,
                   double ln_dt_tref);

}  // namespace pelorin::engine
