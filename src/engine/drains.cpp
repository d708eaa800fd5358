// The sink of vertical drains (see drains.hpp for the model).
#include "drains.hpp"

#include <algorithm>
#include <cmath>

#include "engine.hpp"

namespace pelorin::engine {

double drain_pressure(const Drains& d, double t0, double t1) {
    const PiecewiseLinear& f = d.drain_u;
    if (f.empty()) return 0.0;
    const auto next = std::upper_bound(f.time.begin(), f.time.end(), t0);
    return f.before(next == f.time.end() ? t1 : std::min(t1, *next));
}

void check_drains(const Drains& d, int N) {
    if (!d.active()) return;
    if (static_cast<int>(d.eta.size()) != N || static_cast<int>(d.kh_ratio.size()) != N)
        throw InputError("drains", -1, "drains: eta and kh_ratio need one entry per element");
    for (int i = 0; i < N; ++i) {
        if (!(d.eta[i] >= 0.0) || !std::isfinite(d.eta[i]))
            throw InputError("drains", i, "drains: eta must be finite and >= 0 (element " +
                                              std::to_string(i) + ")");
        if (!(d.kh_ratio[i] > 0.0) || !std::isfinite(d.kh_ratio[i]))
            throw InputError("drains", i, "drains: kh_ratio must be finite and > 0 (element " +
                                              std::to_string(i) + ")");
    }
    if (!(d.start >= 0.0) || !std::isfinite(d.start))
        throw InputError("drains", -1, "drains: start must be a finite time >= 0");
    const PiecewiseLinear& r = d.drain_u;
    if (r.time.size() != r.value.size())
        throw InputError("drains", -1, "drains: vacuum time and value must have the same length");
    for (size_t j = 0; j < r.time.size(); ++j) {
        if (!std::isfinite(r.time[j]) || r.time[j] < 0.0 || (j > 0 && r.time[j] < r.time[j - 1]))
            throw InputError("drains", static_cast<int>(j),
                             "drains: vacuum time must be finite, >= 0 and non-decreasing "
                             "(entry " + std::to_string(j) + ")");
        if (!std::isfinite(r.value[j]))
            throw InputError("drains", static_cast<int>(j),
                             "drains: vacuum value is not finite (entry " + std::to_string(j) + ")");
        if (j + 2 < r.time.size() && r.time[j] == r.time[j + 2])
            throw InputError("drains", static_cast<int>(j),
                             "drains: vacuum time repeats three times (entry " +
                                 std::to_string(j) + "): a jump has one value before and one after");
    }
}

std::vector<Break> drain_breaks(const Drains& d, double t_end) {
    std::vector<Break> out;
    if (!d.active()) return out;
    auto add = [&](double t, bool jump) {
        if (!(t > 0.0 && t < t_end)) return;
        for (auto& b : out)
            if (b.time == t) {
                b.jump = b.jump || jump;
                return;
            }
        out.push_back({t, jump});
    };
    add(d.start, true);
    const PiecewiseLinear& r = d.drain_u;
    for (size_t j = 0; j < r.time.size(); ++j) {
        const bool jump = j + 1 < r.time.size() && r.time[j + 1] == r.time[j] &&
                          r.value[j + 1] != r.value[j];
        // A kink needs no fresh start: the rate stays continuous and BDF2's
        // error estimate sees the change of slope like any other.
        add(r.time[j], jump);
    }
    std::sort(out.begin(), out.end(), [](const Break& a, const Break& b) { return a.time < b.time; });
    return out;
}

double drain_scale(const Drains& d) {
    double m = 0.0;
    if (d.active())
        for (double v : d.drain_u.value) m = std::max(m, std::fabs(v));
    return m;
}

void drain_sink(const Drains& d, int N, const double* S, const double* e, const double* dedu,
                const double* K, const double* dKdu, const double* u, double ub, double dt,
                double t0, double t1, double* R, double* di) {
    if (!d.active() || t0 < d.start) return;
    const double ud = ub + drain_pressure(d, t0, t1);
    for (int i = 0; i < N; ++i) {
        // Q = S (1 + e) kh/gammaw eta = S kr eta (1 + e)^2 K, with d/du through e and K.
        const double a = S[i] * d.kh_ratio[i] * d.eta[i];
        const double ope = 1.0 + e[i];
        const double Q = a * ope * ope * K[i];
        const double dQ = a * (2.0 * ope * dedu[i] * K[i] + ope * ope * dKdu[i]);
        const double x = u[i] - ud;
        R[i] += dt * Q * x;
        di[i] += dt * (Q + x * dQ);
    }
}

void drain_border(const Drains& d, int N, const double* e, const double* dedu, const double* K,
                  const double* dKdu, const double* S, const double* u, double ub,
                  const double* w, bool uniform, double dt, double t0, double t1, double* b) {
    if (!d.active() || t0 < d.start) return;
    const double ud = ub + drain_pressure(d, t0, t1);
    for (int i = 0; i < N; ++i) {
        const double a = S[i] * d.kh_ratio[i] * d.eta[i];
        const double ope = 1.0 + e[i];
        const double dQ = a * (2.0 * ope * dedu[i] * K[i] + ope * ope * dKdu[i]);
        b[i] -= dt * (u[i] - ud) * dQ * (uniform ? w[0] : w[i]);
    }
}

}  // namespace pelorin::engine
