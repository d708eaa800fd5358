// The first solve of a step (the tridiagonal trial step right after the
// load change), beside src/solver/utest.cpp, which it must match operation
// for operation.
#include "kernels.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace pelorin::driver {

// Coefficient of the pressure above (lower) or below interior node i.
FUSED_INLINE double Fused::link(std::ptrdiff_t i, double mTh, double dztest, bool lower,
                                bool& bad) const {
    const double s = q(q(mTh, dztest, bad), dztest, bad);
    const double dk = 0.25 * (r.ktest[i + 1] - r.ktest[i - 1]);
    return s * (lower ? r.ktest[i] - dk : r.ktest[i] + dk);
}

// (A call from the Newton step too, as the sweep's: not inlined.)
void Fused::eliminate(std::ptrdiff_t k0, std::ptrdiff_t k1, bool& bad) {
    for (std::ptrdiff_t k = k0; k < k1; ++k) eliminate_row(k, bad);
}

bool Fused::sweep(bool& bad) {
    for (std::ptrdiff_t k0 = 0; k0 < rows; k0 += 0x4000) {
        interrupt_point(k0);
        eliminate(k0, std::min(k0 + 0x4000, rows), bad);
    }
    return !bad;
}

// get_utest right after the load change: the trial state is the previous
// one (etest = elast, sigvtest = sigvlast), so the trial creep rate factor
// of creep::term is the previous state's.
namespace {

// The interior rows of the first solve of a step over node range [i0, i1)
// (a vector loop, as the Newton rows).
struct FirstIn {
    const double *kl, *kt, *zl, *zt, *ul, *av, *el, *alpha, *fq, *Al;
    const std::int64_t *fq_ok, *al_ok;
    double dt, gw, Th, T8, mTh;
    std::ptrdiff_t shift;
};

PELORIN_VECTOR std::int64_t first_rows(
    const FirstIn& in, double* a_, double* b_, double* c_, double* x_, std::ptrdiff_t i0,
    std::ptrdiff_t i1) {
    const double *kl = in.kl, *kt = in.kt, *zl = in.zl, *zt = in.zt, *ul = in.ul, *av = in.av,
                 *el = in.el, *alpha = in.alpha, *fq = in.fq, *Al = in.Al;
    const std::int64_t *fq_ok = in.fq_ok, *al_ok = in.al_ok;
    double *a = a_ - in.shift, *b = b_ - in.shift, *c = c_ - in.shift, *x = x_ - in.shift;
    const double dt = in.dt, gw = in.gw, Th = in.Th, T8 = in.T8, mTh = in.mTh;
    std::int64_t bad = 0;
#pragma GCC ivdep
    for (std::ptrdiff_t i = i0; i < i1; ++i) {
        const bool creep = alpha[i] > 0.0;
        const double dzlast = (zl[i + 1] - zl[i - 1]) * 0.5;
        const double dztest = (zt[i + 1] - zt[i - 1]) * 0.5;
        const double onepe = 1.0 + el[i];
        bad |= (dztest == 0.0) | (dzlast == 0.0) | (onepe == 0.0) |
               (creep & ((fq_ok[i] & al_ok[i]) ^ 1));
        // link(): the coefficients of the pressures above and below.
        const double s = mTh / dztest / dztest;
        const double dk = 0.25 * (kt[i + 1] - kt[i - 1]);
        a[i] = s * (kt[i] - dk);
        c[i] = s * (kt[i] + dk);
        const double storage = av[i] / onepe;
        const double conduction = dt * kt[i] / gw / dztest / dztest;
        b[i] = storage + conduction;
        // The trial state is the previous one: the trial creep rate factor
        // of creep::term is the previous state's.
        const double qc = pick(creep, fq[i] * (Al[i] + Al[i]), 0.0);
        const double lap = (ul[i - 1] - 2.0 * ul[i]) + ul[i + 1];
        const double xr = qc + lap * (kl[i] * Th / dzlast / dzlast);
        const double x0 = xr + av[i] * ul[i] / onepe;
        const double du = ul[i + 1] - ul[i - 1];
        const double grad = du * (T8 / dzlast / dzlast);
        x[i] = grad * (kl[i + 1] - kl[i - 1]) + x0;
    }
    return bad;
}

}  // namespace

bool Fused::utest(double dt) {
    bool bad = false;
    const double *kl = r.klast, *kt = r.ktest, *zl = r.zlast, *zt = r.ztest, *ul = r.ulast;
    const double *av = r.avtest, *el = r.elast;
    const double gw = gammaw;
    const double Th = q(0.5 * dt, gw, bad);
    const double T8 = q(0.125 * dt, gw, bad);
    const double mTh = q(dt * (-0.5), gw, bad);
    auto creep_of = [&](std::ptrdiff_t j, double al) {
        if (!(al > 0.0)) return 0.0;
        if (!fq_ok[j] || !al_ok[j]) {
            bad = true;
            return 0.0;
        }
        return fq[j] * (Al[j] + Al[j]);
    };

    const FirstIn in{kl,        kt,          zl,           zt,           ul,       av,
                     el,        alpha.data(), fq.data(),    Al.data(),    fq_ok.data(),
                     al_ok.data(), dt,        gw,           Th,           T8,       mTh,
                     dtype == 2 ? 0 : 1};
    std::int64_t badp[2] = {0, 0};
    parts(1, N, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, int part) {
        for (std::ptrdiff_t i0 = lo; i0 < hi; i0 += 0x4000) {
            interrupt_point(i0 - 1);
            badp[part] |= first_rows(in, a.data(), b.data(), c.data(), x.data(), i0,
                                     std::min(i0 + 0x4000, hi));
        }
    });
    if (bad || badp[0] || badp[1]) return false;
    // Every entry the sweep reads is written but these two (the boundary
    // rows below own the links next to them).
    a[0] = 0.0;
    c[rows - 1] = 0.0;

    if (dtype == 1) {
        {
            const double dzlink = (zt[N] - zt[N - 2]) * 0.5;
            c[N - 2] = link(N - 1, mTh, dzlink, false, bad);
        }
        const double al = alpha[N];
        const double dzlast = zl[N] - zl[N - 1];
        const double dztest = zt[N] - zt[N - 1];
        const double storage = q(av[N], 1.0 + el[N], bad);
        const double conduction = q(q(Th * kt[N], dztest, bad), dztest, bad);
        b[N - 1] = storage + conduction;
        const double s = q(q(mTh, dztest, bad), dztest, bad);
        a[N - 1] = s * (kt[N] - 0.25 * (kt[N] - kt[N - 1]));
        const double qc = creep_of(N, al);
        const double cl = q(q(kl[N] * Th * (ul[N - 1] - ul[N]), dzlast, bad), dzlast, bad);
        const double xr = qc + cl;
        x[N - 1] = xr + q(av[N] * ul[N], 1.0 + el[N], bad);
        const double g = q(q(T8, dzlast, bad), dzlast, bad) * (ul[N] - ul[N - 1]);
        x[N - 1] = g * (kl[N] - kl[N - 1]) + x[N - 1];
    } else if (dtype == 2) {
        {
            const double dzlink = (zt[2] - zt[0]) * 0.5;
            a[1] = link(1, mTh, dzlink, true, bad);
        }
        const double al = alpha[0];
        const double dzlast = zl[1] - zl[0];
        const double dztest = zt[1] - zt[0];
        const double storage = q(av[0], 1.0 + el[0], bad);
        const double conduction = q(q(Th * kt[0], dztest, bad), dztest, bad);
        b[0] = storage + conduction;
        const double s = q(q(mTh, dztest, bad), dztest, bad);
        c[0] = s * (kt[0] + 0.25 * (kt[1] - kt[0]));
        const double qc = creep_of(0, al);
        const double cl = q(q(kl[0] * Th * (ul[1] - ul[0]), dzlast, bad), dzlast, bad);
        const double xr = qc + cl;
        x[0] = xr + q(av[0] * ul[0], 1.0 + el[0], bad);
        const double g = q(q(T8, dzlast, bad), dzlast, bad) * (ul[1] - ul[0]);
        x[0] = g * (kl[1] - kl[0]) + x[0];
    }
    if (bad) return false;
    if (!sweep(bad)) return false;
    for (std::ptrdiff_t i = rows - 2; i >= 0; --i) x[i] = x[i] - c[i] * x[i + 1];
    return true;
}

void Fused::write_utest(double* out) const {
    switch (dtype) {
        case 0:
            out[0] = 0.0;
            out[N] = 0.0;
            for (std::ptrdiff_t k = 0; k < rows; ++k) out[k + 1] = x[k];
            break;
        case 1:
            out[0] = 0.0;
            for (std::ptrdiff_t k = 0; k < rows; ++k) out[k + 1] = x[k];
            break;
        default:
            out[N] = 0.0;
            for (std::ptrdiff_t k = 0; k < rows; ++k) out[k] = x[k];
            break;
    }
}

}  // namespace pelorin::driver
