// Secondary compression (creep) of one node, shared by the column solvers.
//
// A state (e, s) of node j creeps at a rate proportional to
//     exp((e - esigvref[j])/alpha + (Cc[j]/alpha)*log10(s/sigvref[j])),
// which is 1 on the normal compression line at the reference stress.  Over a
// step of length dt the void-ratio change from creep is taken as the mean of
// the rates at both ends, so a node's volumetric creep term is
//     Q(j) = 0.5*alpha*dt/tref[j]/(1 + elast[j]) * (At(j) + Al(j)),
// with At the rate factor of the trial state and Al that of the previous one.
#pragma once

#include <cmath>
#include <cstddef>

#include "../core/errors.hpp"
#include "../core/views.hpp"

namespace pelorin::solver::creep {

inline const double ln10 = std::log(10.0);

// Creep rate factor of the state (e, sigv) of a node with reference point
// (sigvref, eref), compression index Cc and creep coefficient alpha > 0.
// A zero sigvref raises FloatDivision.
inline double rate_factor(double e, double eref, double alpha, double Cc, double sigv,
                          double sigvref) {
    return std::exp(div(e - eref, alpha) + div(Cc, alpha) * std::log10(div(sigv, sigvref)));
}

// Q(j) for a node whose creep coefficient alpha is > 0 (the caller tests it).
// HostTref selects how a zero tref[j] is reported: the residual evaluates
// this term on the interpreter's float objects (HostFloatDivision), the trial
// step on doubles (FloatDivision).  Array reads and divisions happen in the
// order the term is written: tref, 1 + elast, then the trial and the previous
// rate factors.
template <bool HostTref>
inline double term(std::ptrdiff_t j, double alpha, double dt, const Vec& tref, const Vec& elast,
                   const Vec& etest, const Vec& esigvref, const Vec& Cc, const Vec& sigvtest,
                   const Vec& sigvlast, const Vec& sigvref) {
    const double t = tref[j];
    double f = HostTref ? hdiv(0.5 * alpha * dt, t) : div(0.5 * alpha * dt, t);
    f = div(f, 1.0 + elast[j]);
    const double At = rate_factor(etest[j], esigvref[j], alpha, Cc[j], sigvtest[j], sigvref[j]);
    const double Al = rate_factor(elast[j], esigvref[j], alpha, Cc[j], sigvlast[j], sigvref[j]);
    return f * (At + Al);
}

}  // namespace pelorin::solver::creep
