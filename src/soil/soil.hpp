// Scalar soil relations of one node: permeability, compressibility over a
// stress step, and the void ratio at the end of a step with creep.
#pragma once

#include <cmath>

namespace pelorin::soil {

inline const double ln10 = std::log(10.0);

// Convergence tolerance of the void-ratio iteration and its update budget.
constexpr double kEtol = 1e-12;
constexpr int kMaxUpdates = 100;

// Relative band within which a stress step counts as negligible (the tangent
// stands in for the secant there).
constexpr double kTangentBand = 1e-5;

// k = kref * 10^((etest - ekref) / Ck)
double get_ktest(double etest, double ekref, double kref, double Ck);

// Secant (or tangent, for a negligible step) coefficient of compressibility
// for the step sigvlast -> sigvtest.
double get_avtest(double elast, double sigvlast, double sigvtest, double eref,
                  double sigvref, double Cc, double Cr);

// Void ratio at the end of a step.  `converged` false means the Newton
// iteration did not meet its tolerance: the caller reports the int -1.
struct EtestResult {
    bool converged;
    double e;
};
EtestResult get_etest(double etest, double elast, double eref, double alpha,
                      double tref, double sigvtest, double sigvlast, double sigvref,
                      double Cc, double avtest, double utest, double ulast, double dt);

}  // namespace pelorin::soil
