// Scalar soil relations of one node: permeability, compressibility over a
// stress step, and the void ratio at the end of a step with creep.
#pragma once

namespace pelorin::soil {

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
