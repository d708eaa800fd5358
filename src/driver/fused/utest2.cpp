// The Newton step of a pass (its rows and the elimination), beside
// src/solver/utest2.cpp, which it must match operation for operation (its
// plain-run diagonal: the creep path with the damping sign).
#include "kernels.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace pelorin::driver {

namespace {

// The share of the interior rows of a Newton step the run's thread builds
// (and eliminates as they come; the rest on the worker).  0.4 .. 0.6
// measured the same within the noise of a shared machine.
constexpr double kRowsShare = 0.5;

}  // namespace

struct Fused::Terms {
    double dresdutest = 0.0;
    double dresdavtest = 0.0;
    double dresdktest = 0.0;
    double dresdsigvtest = 0.0;
    double dresdetest = 0.0;
    double dresddztest = 0.0;
    double detestdutest = 0.0;
    double detestdsigvtest = 0.0;
    double dktestdetest = 0.0;
    double davtestdsigvtest = 0.0;
    double ddztestdetest = 0.0;
};

namespace {

// The plain run's diagonal (the creep path with the damping sign).
template <class T>
double diagonal(const T& t) {
    double d = t.dktestdetest * t.dresdktest * t.detestdutest;
    d = d + (t.dresdutest - t.dresdsigvtest);
    d = d - t.davtestdsigvtest * t.dresdavtest;
    d = d + t.ddztestdetest * t.dresddztest * t.detestdutest;
    const double creep = t.detestdutest - t.detestdsigvtest;
    d = d + creep * t.dresdetest;
    return d;
}

}  // namespace

// Creep rate factor of node j's trial state under the row's alpha (> 0): for
// the node's own alpha the one the void-ratio iteration left (the same sum
// and product, terms swapped).
FUSED_INLINE double Fused::E(std::ptrdiff_t j, double al, bool& bad) {
    if (at_ok[j] && alpha[j] == al) return At[j];
    ++counts.log10;
    ++counts.exp;
    const double lg = log10_(q(r.sigvtest[j], sigvref[j], bad));
    const double t1 = lg * q(Cc[j], al, bad);
    return exp_(t1 + q(r.etest[j] - esigvref[j], al, bad));
}

FUSED_INLINE double Fused::D(std::ptrdiff_t j, double al, double dt, bool& bad) {
    (void)dt;
    const double e = E(j, al, bad);
    if (!ck_ok[j]) bad = true;
    return e * h5[j] + 1;
}

// dk/de: 10^((e - ekref)/Ck) as the permeability of the trial state
// computed it, times ln 10 kref / Ck.
FUSED_INLINE double Fused::K(std::ptrdiff_t j, bool& bad) {
    if (p_ok[j]) return P[j] * kfac[j];
    ++counts.pow;
    const double pw = pow10_(q(r.etest[j] - ekref[j], Ck[j], bad));
    return pw * q(ln10 * kref[j], Ck[j], bad);
}

FUSED_INLINE double Fused::neighbour_slope(std::ptrdiff_t j, double al, double dt, bool& bad) {
    const double av = r.avtest[j];
    if (!(al > 0)) return av;
    if (sn_ok[j] && alpha[j] == al) return Sn[j];
    const double d = D(j, al, dt, bad);
    return q(av, d, bad);
}

FUSED_INLINE void Fused::creep_terms(std::ptrdiff_t i, double al, double onepe, double av,
                                     double dt, Terms& t, bool& bad) {
    (void)onepe;
    (void)av;
    if (!st_ok[i] || !ck_ok[i]) bad = true;
    const double Ei = E(i, al, bad);
    double g = g0[i];
    g = q(g, r.sigvtest[i], bad);
    g = q(g, tref[i], bad);
    g = q(g, 1 + r.elast[i], bad);
    t.dresdsigvtest = Ei * g;
    t.dresdetest = Ei * rde[i];
    t.detestdutest = neighbour_slope(i, al, dt, bad);
}

FUSED_INLINE double Fused::detestdsigvtest_of(std::ptrdiff_t i, double al, double dt, bool& bad) {
    const double Ei = E(i, al, bad);
    if (!ck_ok[i]) bad = true;
    double g = gt[i];
    g = q(g, r.sigvtest[i], bad);
    g = q(g, ln10, bad);
    return q(Ei * g, sn_ok[i] ? Dn[i] : D(i, al, dt, bad), bad);
}

// d(avtest)/d(sigvtest): its preconsolidation stress is get_avtest's of the
// step (the same sum and products, terms swapped).
FUSED_INLINE double Fused::compressibility_slope(std::ptrdiff_t j, double eps, bool& bad) {
    const double st = r.sigvtest[j];
    const double sl = r.sigvlast[j];
    const double W = (st - sl) * (ln10 * st) * (st - sl);
    if (!sm_ok[j]) {
        bad = true;
        return 0.0;
    }
    const double sm = sigmap[j];
    const double cc = Cc[j];
    const double cr = Cr[j];
    if (std::fabs(q(st - sl, sl, bad)) > eps) {
        if (sl >= sm && st > sl) {
            ++counts.log;
            return q((st - log_(q(st, sl, bad)) * st - sl) * cc, W, bad);
        }
        if (sm > st || sl > st) {
            ++counts.log;
            return q((st - log_(q(st, sl, bad)) * st - sl) * cr, W, bad);
        }
        counts.log += 2;
        const double virgin = (st - log_(q(st, sm, bad)) * st - sl) * cc;
        const double recomp = log_(q(sm, sl, bad)) * (cr * st);
        return q(virgin - recomp, W, bad);
    }
    if (eps >= std::fabs(q(st - sm, sm, bad))) return q(q(-cc * ln10, st, bad), st, bad);
    return q(q(-cr * ln10, st, bad), st, bad);
}

void Fused::interior_row(std::ptrdiff_t i, const double* u, double dt, double eps, bool& bad_) {
    const double gw = gammaw;
    const double *zl = r.zlast, *zt = r.ztest, *kt = r.ktest;
    Terms t;
    const double al = alpha[i];
    const double dzlast = (zl[i + 1] - zl[i - 1]) * 0.5;
    const double dztest = (zt[i + 1] - zt[i - 1]) * 0.5;
    // The divisors tested once: dztest, and 1 + elast (the step's; its
    // residual equation was evaluated inline, so it is not 0); gammaw is not 0.
    bool bad = dztest == 0.0 || !st_ok[i];

    const double av_i = r.avtest[i];
    const double onepe = 1 + r.elast[i];
    // The residual of the pass divided the same numbers.
    const double storage = stor[i];
    const double kt_i = kt[i];
    t.dresdutest = storage - dt * kt_i / dztest / dztest / gw;

    const double kt_m = kt[i - 1];
    const double kt_p = kt[i + 1];
    const double th1 = Thg / dztest;
    const double thdz2 = th1 / dztest;
    // (dt/8/gw)/dz/dz and (-dt/gw)/dz/dz are this times 1/4 and -2 when the
    // step's scalars are (dt/8 and -dt are dt/2 scaled by a power of two)
    // and the quotients stay well inside the normal range, where rounding
    // commutes with scaling by a power of two.
    const bool scaled = in_range(th1) && in_range(thdz2);
    const double dresduim1test = (kt_i + (kt_m - kt_p) * 0.25) * thdz2;
    const double dresduip1test = (kt_i + (kt_p - kt_m) * 0.25) * thdz2;

    const double ul_i = r.ulast[i];
    const double ut_i = u[i];
    t.dresdavtest = (ul_i - ut_i) / onepe;

    const double ut_m = u[i - 1];
    const double ut_p = u[i + 1];
    const double curv = ut_m - 2 * ut_i + ut_p;
    t.dresdktest = curv * thdz2;

    const double t8dz2 =
        scaled && t8_scaled ? thdz2 * 0.25 : T8g / dztest / dztest;
    const double dresdkim1test = (ut_m - ut_p) * t8dz2;
    const double dresdkip1test = -dresdkim1test;

    double deim1testduim1test;
    double deip1testduip1test;
    if (al > 0) {
        creep_terms(i, al, onepe, av_i, dt, t, bad);
        deim1testduim1test = neighbour_slope(i - 1, al, dt, bad);
        deip1testduip1test = neighbour_slope(i + 1, al, dt, bad);
        t.detestdsigvtest = detestdsigvtest_of(i, al, dt, bad);
    } else {
        t.detestdutest = av_i;
        deim1testduim1test = r.avtest[i - 1];
        deip1testduip1test = r.avtest[i + 1];
    }

    const double grad = (kt_p - kt_m) * 0.25 * (ut_p - ut_m);
    double dzf = scaled && md_scaled ? thdz2 * -2.0 : mdg / dztest / dztest;
    dzf = dzf / dztest;
    t.dresddztest = (grad + curv * kt_i) * dzf;

    t.dktestdetest = K(i, bad);
    const double dkim1testdeim1test = K(i - 1, bad);
    const double dkip1testdeip1test = K(i + 1, bad);

    t.davtestdsigvtest = compressibility_slope(i, eps, bad);
    t.ddztestdetest = ddz[i];
    (void)dzlast;

    const double dresdu = diagonal(t);
    const std::ptrdiff_t rr = (dtype == 2) ? i : i - 1;
    b[rr] = dresdu;
    if (i >= 2) a[rr] = dkim1testdeim1test * dresdkim1test * deim1testduim1test + dresduim1test;
    if (i < N - 1)
        c[rr] = dkip1testdeip1test * dresdkip1test * deip1testduip1test + dresduip1test;
    if (bad) bad_ = true;
}

void Fused::bottom_rows(const double* u, double dt, double eps, bool& bad) {
    const double gw = gammaw;
    const double *zl = r.zlast, *zt = r.ztest, *kt = r.ktest;
    Terms t;
    const double al = alpha[N];
    {
        const double dztest = (zt[N] - zt[N - 2]) * 0.5;
        const double k1 = kt[N - 1];
        const double kn = kt[N];
        const double k2 = kt[N - 2];
        const double thdz2 = q(q(q(dt * 0.5, gw, bad), dztest, bad), dztest, bad);
        const double dresduip1test = (k1 + (kn - k2) * 0.25) * thdz2;
        const double u2 = u[N - 2];
        const double un = u[N];
        const double dresdkip1test =
            (u2 - un) * q(q(q(dt * (-0.125), gw, bad), dztest, bad), dztest, bad);
        const double deip1testduip1test = neighbour_slope(N, al, dt, bad);
        const double kN = K(N, bad);
        c[N - 2] = kN * dresdkip1test * deip1testduip1test + dresduip1test;
    }
    const double dzlast = zl[N] - zl[N - 1];
    const double dztest = zt[N] - zt[N - 1];

    const double av_n = r.avtest[N];
    const double onepe = 1 + r.elast[N];
    const double storage = q(-av_n, onepe, bad);
    const double kn = kt[N];
    const double km = kt[N - 1];
    const double t8dz2 = q(q(q(dt * 0.125, gw, bad), dztest, bad), dztest, bad);
    t.dresdutest = storage - (kn * 3 + km) * t8dz2;
    const double dresduim1test = t8dz2 * (kn * 3 + km);

    const double ul_n = r.ulast[N];
    const double ut_n = u[N];
    t.dresdavtest = q(ul_n - ut_n, onepe, bad);

    const double ut_m = u[N - 1];
    t.dresdktest = (ut_n - ut_m) * q(q(q(dt * (-0.375), gw, bad), dztest, bad), dztest, bad);
    const double dresdkim1test =
        (ut_n - ut_m) * q(q(q(dt * (-0.125), gw, bad), dztest, bad), dztest, bad);

    double deim1testduim1test;
    if (al > 0) {
        creep_terms(N, al, onepe, av_n, dt, t, bad);
        deim1testduim1test = neighbour_slope(N - 1, al, dt, bad);
        t.detestdsigvtest = detestdsigvtest_of(N, al, dt, bad);
    } else {
        t.detestdutest = av_n;
        deim1testduim1test = r.avtest[N - 1];
    }

    double dzf = q(dt * 0.25, gw, bad);
    dzf = q(dzf, dztest, bad);
    dzf = q(dzf, dztest, bad);
    dzf = q(dzf, dztest, bad);
    t.dresddztest = (kn * 3 + km) * dzf * (ut_n - ut_m);

    t.dktestdetest = K(N, bad);
    const double dkim1testdeim1test = K(N - 1, bad);
    t.davtestdsigvtest = compressibility_slope(N, eps, bad);
    t.ddztestdetest = q(dzlast, onepe, bad);

    b[N - 1] = diagonal(t);
    a[N - 1] = dkim1testdeim1test * dresdkim1test * deim1testduim1test + dresduim1test;
}

void Fused::top_rows(const double* u, double dt, double eps, bool& bad) {
    const double gw = gammaw;
    const double *zl = r.zlast, *zt = r.ztest, *kt = r.ktest;
    Terms t;
    const double al = alpha[0];
    {
        const double dztest = (zt[2] - zt[0]) * 0.5;
        const double k1 = kt[1];
        const double k0 = kt[0];
        const double k2 = kt[2];
        const double thdz2 = q(q(q(dt * 0.5, gw, bad), dztest, bad), dztest, bad);
        const double dresduim1test = (k1 + (k0 - k2) * 0.25) * thdz2;
        const double u0 = u[0];
        const double u2 = u[2];
        const double dresdkim1test =
            (u0 - u2) * q(q(q(dt * 0.125, gw, bad), dztest, bad), dztest, bad);
        const double deim1testduim1test = neighbour_slope(0, al, dt, bad);
        const double k0d = K(0, bad);
        a[1] = k0d * dresdkim1test * deim1testduim1test + dresduim1test;
    }
    const double dzlast = zl[1] - zl[0];
    const double dztest = zt[1] - zt[0];

    const double av_0 = r.avtest[0];
    const double onepe = 1 + r.elast[0];
    const double storage = q(-av_0, onepe, bad);
    const double t8dz2 = q(q(q(dt * 0.125, gw, bad), dztest, bad), dztest, bad);
    const double k0 = kt[0];
    const double k1 = kt[1];
    t.dresdutest = storage - t8dz2 * (k0 * 3 + k1);
    const double dresduip1test = t8dz2 * (k0 * 3 + k1);

    const double ut_0 = u[0];
    const double ut_1 = u[1];
    t.dresdktest = q(q(q(dt * (-0.375), gw, bad), dztest, bad), dztest, bad) * (ut_0 - ut_1);
    const double dresdkip1test =
        (ut_0 - ut_1) * q(q(q(dt * (-0.125), gw, bad), dztest, bad), dztest, bad);

    double dzf = q(dt * 0.25, gw, bad);
    dzf = q(dzf, dztest, bad);
    dzf = q(dzf, dztest, bad);
    dzf = q(dzf, dztest, bad);
    t.dresddztest = dzf * (k0 * 3 + k1) * (ut_0 - ut_1);

    const double ul_0 = r.ulast[0];
    t.dresdavtest = q(ul_0 - ut_0, onepe, bad);

    double deip1testduip1test;
    if (al > 0) {
        creep_terms(0, al, onepe, av_0, dt, t, bad);
        deip1testduip1test = neighbour_slope(1, al, dt, bad);
        t.detestdsigvtest = detestdsigvtest_of(0, al, dt, bad);
    } else {
        t.detestdutest = av_0;
        deip1testduip1test = r.avtest[1];
    }

    t.dktestdetest = K(0, bad);
    const double dkip1testdeip1test = K(1, bad);
    t.davtestdsigvtest = compressibility_slope(0, eps, bad);
    t.ddztestdetest = q(dzlast, onepe, bad);

    b[0] = diagonal(t);
    c[0] = dkip1testdeip1test * dresdkip1test * deip1testduip1test + dresduip1test;
}

namespace {

// The interior rows of the Newton step over node ranges, for the nodes
// whose cached values are all there: a loop of the logs of
// d(avtest)/d(sigvtest) (their arguments are get_avtest's, kept by the trial
// state of the pass: la, lb and how many of them, nlog), then a loop of the
// rows.  The vector loops have no calls and no reductions but the flags, so
// they compute the same bits vectorised or not; every branch of a row is
// computed and the one the node takes is selected.  A node whose row needs
// anything the loops do not have (among them a node whose trial state went
// through the checked calls: p_ok 0) is marked slow (its row is then built by
// interior_row); a zero divisor sets bad, which sends the pass to the calls.
struct RowsIn {
    const double *u, *ul, *el, *zt, *kt, *av, *st, *sl, *stor, *At, *Sn, *Dn, *P, *kfac, *g0,
        *rde, *gt, *tref, *ddz, *alpha, *sigmap, *Cc, *Cr;
    const std::int64_t *st_ok, *ck_ok, *at_ok, *sn_ok, *p_ok, *sm_ok;
    double dt, gw, Thg, eps;
    bool t8_scaled, md_scaled;
    std::ptrdiff_t shift;  // row of node i: i - shift
};

struct RowsOut {
    double *la, *lb, *L1, *L2, *a, *b, *c;
    std::int64_t *nlog, *slow;
};

PELORIN_VECTOR std::int64_t newton_rows(const RowsIn& in, const RowsOut& out, std::ptrdiff_t i0,
                                        std::ptrdiff_t i1) {
    const double *u = in.u, *ul = in.ul, *el = in.el, *zt = in.zt, *kt = in.kt, *av = in.av,
                 *stv = in.st, *slv = in.sl, *stor = in.stor, *At = in.At, *Sn = in.Sn,
                 *Dn = in.Dn, *P = in.P, *kfac = in.kfac, *g0 = in.g0, *rde = in.rde,
                 *gt = in.gt, *tref = in.tref, *ddz = in.ddz, *alpha = in.alpha,
                 *sigmap = in.sigmap, *Cc = in.Cc, *Cr = in.Cr, *L1 = out.L1, *L2 = out.L2;
    const std::int64_t *st_ok = in.st_ok, *ck_ok = in.ck_ok, *at_ok = in.at_ok,
                       *sn_ok = in.sn_ok, *p_ok = in.p_ok, *sm_ok = in.sm_ok;
    const std::int64_t* nlog = out.nlog;
    double *a = out.a - in.shift, *b = out.b - in.shift, *c = out.c - in.shift;
    std::int64_t* slow = out.slow;
    const double dt = in.dt, gw = in.gw, Thg = in.Thg, eps = in.eps;
    const bool t8s = in.t8_scaled, mds = in.md_scaled;
    std::int64_t bad = 0;
#pragma GCC ivdep
    for (std::ptrdiff_t i = i0; i < i1; ++i) {
        const double al = alpha[i];
        const bool creep = al > 0;
        const double dztest = (zt[i + 1] - zt[i - 1]) * 0.5;
        bad |= dztest == 0.0;
        bad |= st_ok[i] ^ 1;
        const double av_i = av[i];
        const double onepe = 1 + el[i];
        const double kt_i = kt[i];
        const double dresdutest = stor[i] - dt * kt_i / dztest / dztest / gw;
        const double kt_m = kt[i - 1];
        const double kt_p = kt[i + 1];
        const double th1 = Thg / dztest;
        const double thdz2 = th1 / dztest;
        const bool scaled = in_range(th1) & in_range(thdz2);
        const double dresduim1test = (kt_i + (kt_m - kt_p) * 0.25) * thdz2;
        const double dresduip1test = (kt_i + (kt_p - kt_m) * 0.25) * thdz2;
        const double ut_i = u[i];
        const double dresdavtest = (ul[i] - ut_i) / onepe;
        const double ut_m = u[i - 1];
        const double ut_p = u[i + 1];
        const double curv = ut_m - 2 * ut_i + ut_p;
        const double dresdktest = curv * thdz2;
        // (Rows whose quotients are not scaled are built by interior_row.)
        const double t8dz2 = thdz2 * 0.25;
        const double dresdkim1test = (ut_m - ut_p) * t8dz2;
        const double dresdkip1test = -dresdkim1test;

        // The creep terms (creep_terms, detestdsigvtest_of) from the
        // cached rate factor and slopes.
        const double st = stv[i];
        const double Ei = At[i];
        const double gs = g0[i] / st / tref[i] / onepe;
        const double gd = gt[i] / st / ln10;
        bad |= creep & ((ck_ok[i] ^ 1) | (st == 0.0));
        const double dresdsigvtest = pick(creep, Ei * gs, 0.0);
        const double dresdetest = pick(creep, Ei * rde[i], 0.0);
        const double detestdutest = pick(creep, Sn[i], av_i);
        const double deim1testduim1test = pick(creep, Sn[i - 1], av[i - 1]);
        const double deip1testduip1test = pick(creep, Sn[i + 1], av[i + 1]);
        const double detestdsigvtest = pick(creep, Ei * gd / Dn[i], 0.0);
        const std::int64_t cached = at_ok[i] & sn_ok[i] & sn_ok[i - 1] & (alpha[i - 1] == al) &
                                    sn_ok[i + 1] & (alpha[i + 1] == al);

        const double grad = (kt_p - kt_m) * 0.25 * (ut_p - ut_m);
        const double dzf = thdz2 * -2.0 / dztest;
        const double dresddztest = (grad + curv * kt_i) * dzf;

        const double dktestdetest = P[i] * kfac[i];
        const double dkim1testdeim1test = P[i - 1] * kfac[i - 1];
        const double dkip1testdeip1test = P[i + 1] * kfac[i + 1];

        // compressibility_slope with the logs of the loop before.
        const double sl = slv[i], sm = sigmap[i], cc = Cc[i], cr = Cr[i];
        const double W = (st - sl) * (ln10 * st) * (st - sl);
        const bool far = nlog[i] != 0;
        const bool c1 = (sl >= sm) & (st > sl);
        const bool c2 = (sm > st) | (sl > st);
        const double l1 = L1[i];
        const double one = (st - l1 * st - sl) * pick(c1, cc, cr);
        const double virgin = (st - l1 * st - sl) * cc;
        const double recomp = L2[i] * (cr * st);
        const double two = virgin - recomp;
        const bool tangent = eps >= std::fabs((st - sm) / sm);
        const double near = pick(tangent, -cc * ln10, -cr * ln10) / st / st;
        const double davtestdsigvtest = pick(far, pick(c1 | c2, one, two) / W, near);
        bad |= (far & (W == 0.0)) | ((!far) & ((sm == 0.0) | (st == 0.0)));

        double d = dktestdetest * dresdktest * detestdutest;
        d = d + (dresdutest - dresdsigvtest);
        d = d - davtestdsigvtest * dresdavtest;
        d = d + ddz[i] * dresddztest * detestdutest;
        const double cr_ = detestdutest - detestdsigvtest;
        d = d + cr_ * dresdetest;
        b[i] = d;
        a[i] = dkim1testdeim1test * dresdkim1test * deim1testduim1test + dresduim1test;
        c[i] = dkip1testdeip1test * dresdkip1test * deip1testduip1test + dresduip1test;
        slow[i] = (creep & (cached ^ 1)) | !(scaled & t8s & mds) |
                  ((p_ok[i - 1] & p_ok[i] & p_ok[i + 1] & sm_ok[i]) ^ 1);
    }
    return bad;
}

}  // namespace

bool Fused::utest2(const double* u, const double* res, double dt) {
    bool bad = false;
    const double eps = pa * 1e-10;
    // (Every node's D and void-ratio slope, Dn, Sn and sn_ok, are the trial
    // state's.)
    const std::ptrdiff_t shift = dtype == 2 ? 0 : 1;
    const RowsIn in{u,        r.ulast,  r.elast,    r.ztest,    r.ktest,    r.avtest,
                    r.sigvtest, r.sigvlast, stor.data(), At.data(), Sn.data(),  Dn.data(),
                    P.data(), kfac.data(), g0.data(), rde.data(), gt.data(), tref.data(),
                    ddz.data(), alpha.data(), sigmap.data(), Cc.data(), Cr.data(),
                    st_ok.data(), ck_ok.data(), at_ok.data(), sn_ok.data(), p_ok.data(),
                    sm_ok.data(), dt, gammaw, Thg, eps, t8_scaled, md_scaled,
                    shift};
    const RowsOut out{la.data(), lb.data(), L1.data(), L2.data(), a.data(),
                      b.data(),  c.data(),  nlog.data(), slow.data()};
    // The right-hand side and the boundary rows first (they own the entries
    // of the interior rows next to them: a of node 1's row, c of node
    // N - 1's).
    double a_first = 0.0, c_last = 0.0;
    a[0] = 0.0;
    c[rows - 1] = 0.0;
    if (dtype == 0) {
        for (std::ptrdiff_t i = 1; i <= N - 1; ++i) x[i - 1] = res[i];
    } else if (dtype == 1) {
        for (std::ptrdiff_t i = 1; i <= N; ++i) x[i - 1] = res[i];
        bottom_rows(u, dt, eps, bad);
        c_last = c[N - 2];
    } else {
        for (std::ptrdiff_t i = 0; i <= N - 1; ++i) x[i] = res[i];
        top_rows(u, dt, eps, bad);
        a_first = a[1];
    }
    // The interior rows in groups of nodes.  The rows are eliminated as
    // soon as they are final (the same operations as a sweep after all
    // rows), one row alongside each log of the next group, so that the
    // elimination's serial chain runs while the logs compute.  The rows of
    // the nodes marked slow are built again through interior_row.
    constexpr std::ptrdiff_t kGroup = 32;
    std::ptrdiff_t done = 0, split = N;
    bool badw = false;
    // On two threads the worker builds the rows of the nodes from `split`
    // on (without the elimination, which waits for the rows before them).
    // The logs of node i's row (none, one or two), counted in n.
    const auto row_logs = [&](std::ptrdiff_t i, auto& n) {
        const std::int64_t nl = nlog[i];
        if (nl != 0) {
            L1[i] = log_(la[i]);
            if (nl == 2) L2[i] = log_(lb[i]);
            n += nl;
        }
    };
    parts(1, N, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, int part) {
        if (part == 1) {
            split = lo;
            for (std::ptrdiff_t i0 = lo; i0 < hi; i0 += kGroup) {
                const std::ptrdiff_t i1 = std::min(i0 + kGroup, hi);
                for (std::ptrdiff_t i = i0; i < i1; ++i) row_logs(i, wcounts_.log);
                badw |= newton_rows(in, out, i0, i1) != 0;
            }
            return;
        }
        for (std::ptrdiff_t i0 = lo; i0 < hi; i0 += kGroup) {
            interrupt_point(i0 - 1);
            const std::ptrdiff_t i1 = std::min(i0 + kGroup, hi);
            // Rows of the nodes before i0 (and the top row) are final.
            const std::ptrdiff_t ready = i0 - shift;
            for (std::ptrdiff_t i = i0; i < i1; ++i) {
                row_logs(i, counts.log);
                if (done < ready) eliminate_row(done++, bad);
            }
            eliminate(done, ready, bad);
            done = ready;
            bad |= newton_rows(in, out, i0, i1) != 0;
            for (std::ptrdiff_t i = i0; i < i1; ++i)
                if (slow[i]) interior_row(i, u, dt, eps, bad);
            if (i0 == 1) a[1 - shift] = a_first;
            if (i1 == N) c[N - 1 - shift] = c_last;
        }
    }, kRowsShare);
    if (split < N) {
        // The worker's part: its rows built one by one, and the link of the
        // last interior row.
        bad |= badw;
        for (std::ptrdiff_t i = split; i < N; ++i)
            if (slow[i]) interior_row(i, u, dt, eps, bad);
        c[N - 1 - shift] = c_last;
    }
    eliminate(done, rows, bad);
    if (bad) return false;
    for (std::ptrdiff_t k = rows - 2; k >= 0; --k) x[k] = x[k] - x[k + 1] * c[k];
    return true;
}

void Fused::write_utest2(const double* u, double* out) const {
    switch (dtype) {
        case 0:
            for (std::ptrdiff_t k = 0; k <= rows - 1; ++k) out[k + 1] = u[k + 1] - x[k];
            out[0] = 0;
            out[N] = 0;
            break;
        case 1:
            for (std::ptrdiff_t k = 0; k <= rows - 1; ++k) out[k + 1] = u[k + 1] - x[k];
            out[0] = 0;
            break;
        default:
            for (std::ptrdiff_t k = 0; k <= rows - 1; ++k) out[k] = u[k] - x[k];
            out[N] = 0;
            break;
    }
}

}  // namespace pelorin::driver
