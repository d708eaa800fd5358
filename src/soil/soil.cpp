// Scalar soil relations of one node.
//
// The void ratio follows the normal compression line e = eref - Cc*log10(s/sigvref)
// and lines of slope Cr below the preconsolidation stress; the permeability
// varies by a power of ten with the void ratio; secondary compression (creep)
// adds a rate term exp((e - eref)/alpha + (Cc/alpha)*log10(s/sigvref)).
//
// Every quotient goes through div() so that a zero divisor is reported the
// way the module reports it; the order of operations is kept as the relations
// are written, so that results are reproducible to the last bit.
#include "soil.hpp"

#include <cmath>

#include "../core/errors.hpp"

namespace pelorin::soil {

double get_ktest(double etest, double ekref, double kref, double Ck) {
    return kref * std::pow(10.0, div(etest - ekref, Ck));
}

double get_avtest(double elast, double sigvlast, double sigvtest, double eref, double sigvref,
                  double Cc, double Cr) {
    const double dC = Cc - Cr;
    if (dC == 0.0) raise(ErrKind::FloatDivision, __FILE__, __LINE__);

    // Preconsolidation stress: where the normal compression line meets the
    // line of slope Cr through the previous state.
    const double sigmap = std::pow(
        10.0, div(((eref - elast) + Cc * std::log10(sigvref)) - Cr * std::log10(sigvlast), dC));

    // Void-ratio decrease over the step.
    double De;
    if (sigvlast >= sigmap && sigvtest > sigvlast) {
        // Virgin loading along the normal compression line.
        De = Cc * std::log10(div(sigvtest, sigvlast));
    } else if (sigvtest < sigmap || sigvtest < sigvlast) {
        // Recompression or unloading.
        De = Cr * std::log10(div(sigvtest, sigvlast));
    } else {
        // The step crosses the preconsolidation stress.
        const double virgin = Cc * std::log10(div(sigvtest, sigmap));
        De = virgin + Cr * std::log10(div(sigmap, sigvlast));
    }

    // Tangent compressibility for a negligible step (on the normal
    // compression line, or below the preconsolidation stress); the secant
    // otherwise.  The step test is only made when the first test holds.
    if (std::fabs(div(sigmap - sigvlast, sigvlast)) < kTangentBand &&
        std::fabs(div(sigvlast - sigvtest, sigvtest)) < kTangentBand)
        return div(div(Cc, sigvlast), ln10);
    if (sigvtest < sigmap && std::fabs(div(sigvlast - sigvtest, sigvtest)) < kTangentBand)
        return div(div(Cr, sigvlast), ln10);
    return div(De, sigvtest - sigvlast);
}

EtestResult get_etest(double etest, double elast, double eref, double alpha, double tref,
                      double sigvtest, double sigvlast, double sigvref, double Cc, double avtest,
                      double utest, double ulast, double dt) {
    // Without creep the void ratio follows the pressure change linearly.
    if (!(alpha > 0.0)) return {true, elast + avtest * (utest - ulast)};

    if (tref == 0.0) raise(ErrKind::FloatDivision, __FILE__, __LINE__);
    if (sigvref == 0.0) raise(ErrKind::FloatDivision, __FILE__, __LINE__);

    // Trapezoidal integration of the void-ratio change over the step: the
    // compression from the pore-pressure change minus the mean creep of the
    // two ends, res(e) = du - (B + A(e))*F - e + elast.
    const double du = (utest - ulast) * avtest;
    const double g = div(Cc, alpha) * std::log10(div(sigvtest, sigvref));
    const double B =
        std::exp(div(Cc, alpha) * std::log10(div(sigvlast, sigvref)) + div(elast - eref, alpha));
    const double F = div(dt * 0.5 * alpha, tref);
    // dres/de = (dt*(-0.5)/tref)*A(e) - 1; the factor is fixed over the step.
    const double dAfac = div(dt * (-0.5), tref);

    double e = etest;
    double A = std::exp(div(e - eref, alpha) + g);
    double res = ((du - (B + A) * F) - e) + elast;
    int I = 0;
    // A residual that is not a number fails this test and ends the loop.
    while (std::fabs(res) > kEtol) {
        const double dres_detest = dAfac * A - 1.0;
        e = e - div(res, dres_detest);
        A = std::exp(div(e - eref, alpha) + g);
        res = ((du - (B + A) * F) - e) + elast;
        I = I + 1;
        if (I == kMaxUpdates) return {false, e};
    }
    return {true, e};
}

}  // namespace pelorin::soil
