// Residual of the discretised one-dimensional consolidation equation.
//
// Node i balances the change of stored water (compressibility times the
// pressure change), the flow to its neighbours and the volume change from
// creep.  The flow is averaged between the start and the end of the step
// (Crank-Nicolson), which gives the half-step factors Th = 0.5*dt/gammaw and
// T8 = 0.125*dt/gammaw.  Every 1 + e denominator uses the previous void ratio.
//
// Indices are used as the difference stencil writes them (i - 1, N - 1, ...)
// and go through the views' bounds-checked access, whose one wrap of a
// negative index is what a column without interior nodes runs into.
#include <cstddef>

#include "creep.hpp"
#include "solver.hpp"

namespace pelorin::solver {

namespace {

struct StepFactors {
    double Th, T8;
};

// Computed at the first node equation: a column without any equation never
// divides by gammaw.
inline StepFactors step_factors(double dt, double gammaw) {
    const double Th = div(0.5 * dt, gammaw);
    const double T8 = div(0.125 * dt, gammaw);
    return {Th, T8};
}

// One-sided equation of an impermeable end node b whose only neighbour is m;
// lo/hi are min/max of (b, m) so that the product of the two one-sided
// differences has the same sign at either end.  dzlast/dztest are the full
// lengths of the boundary element.
double boundary_equation(const ResidualIn& in, const StepFactors& f, std::ptrdiff_t b,
                         std::ptrdiff_t m, std::ptrdiff_t lo, std::ptrdiff_t hi, double dzlast,
                         double dztest) {
    double res = div(-in.avtest[b], 1.0 + in.elast[b]) * (in.utest[b] - in.ulast[b]);

    const double condlast = div(div(in.klast[b] * (in.ulast[m] - in.ulast[b]), dzlast), dzlast);
    const double condtest = div(div(in.ktest[b] * (in.utest[m] - in.utest[b]), dztest), dztest);
    res = (condlast + condtest) * f.Th + res;

    const double gradlast =
        div(div((in.klast[hi] - in.klast[lo]) * (in.ulast[hi] - in.ulast[lo]), dzlast), dzlast);
    const double gradtest =
        div(div((in.ktest[hi] - in.ktest[lo]) * (in.utest[hi] - in.utest[lo]), dztest), dztest);
    res = (gradlast + gradtest) * f.T8 + res;

    const double alpha = div(in.Ca[b], creep::ln10);
    if (alpha > 0.0)
        res = res + creep::term<true>(b, alpha, in.dt, in.tref, in.elast, in.etest, in.esigvref,
                                      in.Cc, in.sigvtest, in.sigvlast, in.sigvref);
    return res;
}

}  // namespace

void get_residual(const ResidualIn& in, Vec residual) {
    const std::ptrdiff_t N = in.N;
    const Vec& ulast = in.ulast;
    const Vec& utest = in.utest;
    const Vec& klast = in.klast;
    const Vec& ktest = in.ktest;
    const Vec& zlast = in.zlast;
    const Vec& ztest = in.ztest;

    StepFactors f{0.0, 0.0};
    if (N - 1 >= 1) f = step_factors(in.dt, in.gammaw);

    for (std::ptrdiff_t i = 1; i <= N - 1; ++i) {
        interrupt_point(i);
        const double alpha = div(in.Ca[i], creep::ln10);
        const double dzlast = (zlast[i + 1] - zlast[i - 1]) * 0.5;
        const double dztest = (ztest[i + 1] - ztest[i - 1]) * 0.5;

        // Storage: water released by the compression of the step.
        double res = div(-in.avtest[i], 1.0 + in.elast[i]) * (utest[i] - ulast[i]);

        // Conduction, mean of the previous and the trial state.
        const double condlast =
            div(div(klast[i] * ((ulast[i + 1] - 2.0 * ulast[i]) + ulast[i - 1]), dzlast), dzlast);
        const double condtest =
            div(div(ktest[i] * ((utest[i + 1] - 2.0 * utest[i]) + utest[i - 1]), dztest), dztest);
        res = (condlast + condtest) * f.Th + res;

        // Permeability gradient times pressure gradient (centred differences).
        const double gradlast = div(
            div((klast[i + 1] - klast[i - 1]) * (ulast[i + 1] - ulast[i - 1]), dzlast), dzlast);
        const double gradtest = div(
            div((ktest[i + 1] - ktest[i - 1]) * (utest[i + 1] - utest[i - 1]), dztest), dztest);
        res = (gradlast + gradtest) * f.T8 + res;

        if (alpha > 0.0)
            res = res + creep::term<true>(i, alpha, in.dt, in.tref, in.elast, in.etest,
                                          in.esigvref, in.Cc, in.sigvtest, in.sigvlast,
                                          in.sigvref);
        residual[i] = res;
    }

    switch (in.drainagetype) {
        case 0:
            residual[0] = 0.0;
            residual[N] = 0.0;
            break;
        case 1: {
            residual[0] = 0.0;
            if (N - 1 < 1) f = step_factors(in.dt, in.gammaw);
            const double dzlast = zlast[N] - zlast[N - 1];
            const double dztest = ztest[N] - ztest[N - 1];
            residual[N] = boundary_equation(in, f, N, N - 1, N - 1, N, dzlast, dztest);
            break;
        }
        case 2: {
            residual[N] = 0.0;
            if (N - 1 < 1) f = step_factors(in.dt, in.gammaw);
            const double dzlast = zlast[1] - zlast[0];
            const double dztest = ztest[1] - ztest[0];
            residual[0] = boundary_equation(in, f, 0, 1, 0, 1, dzlast, dztest);
            break;
        }
        default:
            // Unknown boundary selection: both ends keep their 0.
            break;
    }
}

}  // namespace pelorin::solver
