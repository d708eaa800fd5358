// The residual of a pass, beside src/solver/residual.cpp (and the creep
// term of src/solver/creep.hpp), which it must match operation for
// operation.
#include "kernels.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace pelorin::driver {

// creep::rate_factor of node j for the state (e, s) under alpha (> 0).
FUSED_INLINE double Fused::rate(std::ptrdiff_t j, double e, double s, double al, bool& bad,
                                Counts& n) {
    ++n.exp;
    ++n.log10;
    return exp_(q(e - esigvref[j], al, bad) +
                    q(Cc[j], al, bad) * log10_(q(s, sigvref[j], bad)));
}

// creep::term of node j in the residual.
FUSED_INLINE double Fused::creep_term(std::ptrdiff_t j, bool& bad, Counts& n) {
    if (!fq_ok[j] || !al_ok[j]) {
        bad = true;
        return 0.0;
    }
    const double at = at_ok[j] ? At[j] : rate(j, r.etest[j], r.sigvtest[j], alpha[j], bad, n);
    return fq[j] * (at + Al[j]);
}

namespace {

// The residual's interior equations over node range [i0, i1) (a vector
// loop, as the Newton rows).  A creeping node without the trial rate factor
// gets the equation without its creep term and is marked slow.
struct ResIn {
    const double *u, *ul, *el, *zt, *kt, *av, *cl, *gl, *alpha, *fq, *At, *Al;
    const std::int64_t *st_ok, *fq_ok, *al_ok, *at_ok;
    double Th, T8;
};

PELORIN_VECTOR std::int64_t residual_rows(
    const ResIn& in, double* out, double* stor, std::int64_t* slow, std::ptrdiff_t i0,
    std::ptrdiff_t i1) {
    const double *u = in.u, *ul = in.ul, *el = in.el, *zt = in.zt, *kt = in.kt, *av = in.av,
                 *cl = in.cl, *gl = in.gl, *alpha = in.alpha, *fq = in.fq, *At = in.At,
                 *Al = in.Al;
    const std::int64_t *st_ok = in.st_ok, *fq_ok = in.fq_ok, *al_ok = in.al_ok,
                       *at_ok = in.at_ok;
    const double Th = in.Th, T8 = in.T8;
    std::int64_t bad = 0;
#pragma GCC ivdep
    for (std::ptrdiff_t i = i0; i < i1; ++i) {
        const bool creep = alpha[i] > 0.0;
        const double dztest = (zt[i + 1] - zt[i - 1]) * 0.5;
        // dztest tested once; 1 + elast is the step's (st_ok).
        bad |= (st_ok[i] ^ 1) | (dztest == 0.0) | (creep & ((fq_ok[i] & al_ok[i]) ^ 1));
        const double s = -av[i] / (1.0 + el[i]);
        stor[i] = s;
        double res = s * (u[i] - ul[i]);
        const double condtest = kt[i] * ((u[i + 1] - 2.0 * u[i]) + u[i - 1]) / dztest / dztest;
        res = (cl[i] + condtest) * Th + res;
        const double gradtest =
            (kt[i + 1] - kt[i - 1]) * (u[i + 1] - u[i - 1]) / dztest / dztest;
        res = (gl[i] + gradtest) * T8 + res;
        const std::int64_t cached = at_ok[i];
        out[i] = pick(creep & cached, res + fq[i] * (At[i] + Al[i]), res);
        slow[i] = creep & (cached ^ 1);
    }
    return bad;
}

}  // namespace

bool Fused::residual(const double* u, double dt, double* out) {
    bool bad = false;
    const double *ul = r.ulast, *kl = r.klast, *kt = r.ktest, *zl = r.zlast, *zt = r.ztest;
    const double *av = r.avtest, *el = r.elast;
    // N >= 3: there are interior equations.
    const double Th = q(0.5 * dt, gammaw, bad);
    const double T8 = q(0.125 * dt, gammaw, bad);
    const ResIn in{u,         ul,        el,          zt,          kt,          av,
                   cl.data(), gl.data(), alpha.data(), fq.data(), At.data(), Al.data(),
                   st_ok.data(), fq_ok.data(), al_ok.data(), at_ok.data(), Th, T8};
    constexpr std::ptrdiff_t kRange = 0x4000;
    bool badp[2] = {false, false};
    parts(1, N, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, int part) {
        bool& bd = badp[part];
        Counts& n = counts_of(part);
        for (std::ptrdiff_t i0 = lo; i0 < hi; i0 += kRange) {
            interrupt_point(i0 - 1);
            const std::ptrdiff_t i1 = std::min(i0 + kRange, hi);
            bd |= residual_rows(in, out, stor.data(), slow.data(), i0, i1) != 0;
            if (bd) return;
            // The creep term with the rate factor evaluated here.
            for (std::ptrdiff_t i = i0; i < i1; ++i)
                if (slow[i]) out[i] = out[i] + creep_term(i, bd, n);
        }
    });
    if (badp[0] || badp[1]) return false;

    // The one-sided equation of an impermeable end b with neighbour m.
    auto boundary = [&](std::ptrdiff_t bn, std::ptrdiff_t m, std::ptrdiff_t lo, std::ptrdiff_t hi,
                        double dzlast, double dztest) {
        double res = q(-av[bn], 1.0 + el[bn], bad) * (u[bn] - ul[bn]);
        const double condlast = q(q(kl[bn] * (ul[m] - ul[bn]), dzlast, bad), dzlast, bad);
        const double condtest = q(q(kt[bn] * (u[m] - u[bn]), dztest, bad), dztest, bad);
        res = (condlast + condtest) * Th + res;
        const double gradlast =
            q(q((kl[hi] - kl[lo]) * (ul[hi] - ul[lo]), dzlast, bad), dzlast, bad);
        const double gradtest = q(q((kt[hi] - kt[lo]) * (u[hi] - u[lo]), dztest, bad), dztest, bad);
        res = (gradlast + gradtest) * T8 + res;
        if (alpha[bn] > 0.0) res = res + creep_term(bn, bad, counts);
        return res;
    };
    switch (dtype) {
        case 0:
            out[0] = 0.0;
            out[N] = 0.0;
            break;
        case 1:
            out[0] = 0.0;
            out[N] = boundary(N, N - 1, N - 1, N, zl[N] - zl[N - 1], zt[N] - zt[N - 1]);
            break;
        default:
            out[N] = 0.0;
            out[0] = boundary(0, 1, 0, 1, zl[1] - zl[0], zt[1] - zt[0]);
            break;
    }
    return !bad;
}

}  // namespace pelorin::driver
