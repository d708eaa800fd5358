#include "material.hpp"

#include <algorithm>
#include <cmath>

namespace pelorin::engine {

namespace {

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
    // g = -expm1(q)/((m+1) d), q = (m+1) ln(1-d): with em = 1 - exp(-|q|),
    // g = exp(max(q, 0)) em / ((m+1) |d|), one logarithm without overflow.
    const double mp1 = m + 1.0;
    const double L = std::log1p(-d);
    const double q = mp1 * L;
    const double em = -std::expm1(-std::fabs(q));
    const double value = std::max(q, 0.0) + std::log(em / (mp1 * std::fabs(d)));
    return {value, path_factor_slope(d, mp1, L, q, em)};
}

Local local_update(const Material& mat, double ep0, double s0, double s1, double dt,
                   double ln_dt_tref) {
    const double lr = std::log(s1 / mat.sigvref);
    const double P1 = mat.esigvref - (mat.Cc - mat.Cr) / kLn10 * lr;
    const double dP = -(mat.Cc - mat.Cr) / kLn10 / s1;  // dP/ds1
    double ep = ep0;
    double dep = 0.0;
    if (mat.Ca > 0.0 && dt > 0.0) {
        const double alpha = mat.Ca / kLn10;
        const double m = (mat.Cc - mat.Cr) / mat.Ca;
        const double d = (s1 - s0) / s1;
        const LogG g = log_path_factor(d, m);
        // Creep over the step: alpha*ln(1 + (dt/tau0)*g), tau0 = tref*exp((P1 - ep0)/alpha),
        // in the log form y = ln(dt/tref) - (P1 - ep0)/alpha + ln g (no overflow), with
        // (P1 - ep0)/alpha = (esigvref - ep0)/alpha - m ln(s1/sigvref).
        const double y = (ln_dt_tref - (mat.esigvref - ep0) / alpha + m * lr) + g.value;
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
    return {ep, ep - mat.Cr / kLn10 * lr, dep - mat.Cr / kLn10 / s1};
}

}  // namespace pelorin::engine
