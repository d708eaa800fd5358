#include "material.hpp"

#include <algorithm>
#include <cmath>

namespace pelorin::engine {

namespace {

// E(q) = ln(expm1(q)/q) and its derivative, without overflow or cancellation.
void log_expm1_over(double q, double& E, double& dE) {
    if (std::fabs(q) < 1e-5) {
        E = q / 2.0 + q * q / 24.0;
        dE = 0.5 + q / 12.0;
    } else if (q > 0.0) {
        const double em = -std::expm1(-q);  // 1 - exp(-q)
        E = q + std::log(em) - std::log(q);
        dE = 1.0 / em - 1.0 / q;
    } else {
        const double em = -std::expm1(q);  // 1 - exp(q) > 0
        E = std::log(em) - std::log(-q);
        dE = -std::exp(q) / em - 1.0 / q;
    }
}

// Softplus ln(1 + exp(y)) and its derivative (the logistic function), from
// one exponential.
inline void softplus(double y, double& f, double& df) {
    const double x = std::exp(-std::fabs(y));
    const double l = std::log1p(x);
    f = y > 0.0 ? y + l : l;
    df = y > 0.0 ? 1.0 / (1.0 + x) : x / (1.0 + x);
}

}  // namespace

LogG log_path_factor(double d, double m) {
    if (d == 0.0) return {0.0, -0.5 * m};
    // g = -expm1(q)/((m+1) d), q = (m+1) ln(1-d) = E(q) + B(d),
    // B(d) = ln(-ln(1-d)/d).
    const double L = std::log1p(-d);
    const double q = (m + 1.0) * L;
    double E, dE;
    log_expm1_over(q, E, dE);
    const double B = std::log(-L / d);
    const double dB = std::fabs(d) < 1e-3 ? 0.5 + d * (5.0 / 12.0) + d * d * (3.0 / 8.0)
                                          : -1.0 / ((1.0 - d) * L) - 1.0 / d;
    return {E + B, dE * (m + 1.0) * (-1.0 / (1.0 - d)) + dB};
}

Local local_update(const Material& mat, double ep0, double s0, double s1, double dt,
                   double ln_dt_tref) {
    const double l1 = std::log10(s1 / mat.sigvref);
    const double P1 = mat.esigvref - (mat.Cc - mat.Cr) * l1;
    const double dP = -(mat.Cc - mat.Cr) / (kLn10 * s1);  // dP/ds1
    double ep = ep0;
    double dep = 0.0;
    if (mat.Ca > 0.0 && dt > 0.0) {
        const double alpha = mat.Ca / kLn10;
        const double m = (mat.Cc - mat.Cr) / mat.Ca;
        const double d = (s1 - s0) / s1;
        const LogG g = log_path_factor(d, m);
        // Creep over the step: alpha*ln(1 + (dt/tau0)*g), tau0 = tref*exp((P1 - ep0)/alpha),
        // in the log form y = ln(dt/tref) - (P1 - ep0)/alpha + ln g (no overflow).
        const double y = ln_dt_tref - (P1 - ep0) / alpha + g.value;
        const double dy = m / s1 + g.ddd * (s0 / (s1 * s1));
        double f, df;
        softplus(y, f, df);
        ep -= alpha * f;
        dep -= alpha * df * dy;
    }
    // The compression line bounds the state: a load faster than creep can
    // follow moves it along the line.
    if (ep > P1) {
        ep = P1;
        dep = dP;
    }
    return {ep, ep - mat.Cr * l1, dep - mat.Cr / (kLn10 * s1)};
}

}  // namespace pelorin::engine
