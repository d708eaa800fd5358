// Time stepping of the engine.
//
// Each sub-step solves the mass balance of every element for the excess pore
// pressures at the end of the step, u, by Newton's method.  The void ratio of
// an element depends only on its own u (local update of material.hpp), so the
// residual is tridiagonal in u and its Jacobian is exact.
//
// Time integration: backward Euler for the first two sub-steps after every load
// change (L-stable, damps the jump of the pore pressure), then variable-step
// BDF2 (L-stable, second order, one Newton solve per step, zero-stable for
// step ratios below 1 + sqrt 2; growth is limited to 2).  The local error is
// estimated from the difference between the solution and the extrapolation of
// the previous sub-steps (Milne's device), on the pore pressures (RMS over the
// solids, relative to the load) and on the settlement; over the first steps
// of a stage, whose extrapolation crosses the load jump, each is passed
// through the step's own matrix (I - h gamma J)^-1 as stiff codes do, so that an
// element that drains within the step (sand against clay, a fine element at
// an interface) does not count a change that any step would make as an
// error; rejected steps shrink.  Sub-steps land exactly on the changes of
// the load factor and on every corner of the loading's functions
// (loading.hpp); an output time between them is written from the
// interpolating polynomial of the accepted steps around it.
// A run stops when its step falls a million times below the stage's first
// step (the finest element's relaxation time) or to the last digits of the
// time since the load change: both scales of the stage, not of the run.
#include "engine.hpp"

#include "../core/simd.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

namespace pelorin::engine {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// Derived quantities of every element at a trial u.
struct Cells {
    std::vector<double> s, ep, e, dedu, K, dKdu;
    void resize(int n) {
        for (auto* v : {&s, &ep, &e, &dedu, &K, &dKdu}) v->assign(n, 0.0);
    }
};

// Element constants of the local update, one array each (per run).
struct Props {
    std::vector<double> inv_sref, cdl, crl, esref, alpha, m, mp1, creeps, kc, ekref, kfac,
        ln_tref;
    // The effective stress the soil relations see: s for s > 40 delta, else
    // delta (1 + ln(1 + exp(s/delta - 1))), smooth and never below delta.
    // Where pore water pushes up under a sealed end with little overburden
    // (creep below a sealed top, unloading) s' approaches 0 as its e-log law
    // allows, into the last digits of sig - u; below delta, 1e-8 of the
    // column's stress scale, the element swells no further, so that the
    // equations stay well posed.
    double delta = 0.0;
    explicit Props(const Column& col) {
        const int n = col.N;
        for (auto* v : {&inv_sref, &cdl, &crl, &esref, &alpha, &m, &mp1, &creeps, &kc, &ekref,
                        &kfac, &ln_tref})
            v->resize(n);
        for (int i = 0; i < n; ++i) {
            const Material& mt = col.mat[i];
            const bool creep = mt.Ca > 0.0;
            inv_sref[i] = 1.0 / mt.sigvref;
            cdl[i] = (mt.Cc - mt.Cr) / kLn10;
            crl[i] = mt.Cr / kLn10;
            esref[i] = mt.esigvref;
            alpha[i] = creep ? mt.Ca / kLn10 : 0.0;
            m[i] = creep ? (mt.Cc - mt.Cr) / mt.Ca : 0.0;
            mp1[i] = m[i] + 1.0;
            creeps[i] = creep ? 1.0 : 0.0;
            kc[i] = mt.dlnk_de();
            ekref[i] = mt.ekref;
            kfac[i] = mt.kref / col.gammaw;
            ln_tref[i] = col.ln_tref[i];
            delta = std::max(delta, std::max(col.sigma0[i], mt.sigvref));
        }
        delta *= 1e-8;
    }
};

// The part of the creep exponent fixed over a step: ln(dt/tref) -
// (esigvref - ep0)/alpha for creeping elements (creep[i] 1), nothing
// otherwise (creep[i] 0).
struct StepConst {
    std::vector<double> base, creep;
    void set(const Props& p, const std::vector<double>& ep0, double dt) {
        const int n = static_cast<int>(ep0.size());
        base.resize(n);
        creep.resize(n);
        const double ln_dt = dt > 0.0 ? std::log(dt) : 0.0;
        for (int i = 0; i < n; ++i) {
            const bool on = p.creeps[i] > 0.0 && dt > 0.0;
            creep[i] = on ? 1.0 : 0.0;
            base[i] = on ? (ln_dt - p.ln_tref[i]) - (p.esref[i] - ep0[i]) / p.alpha[i] : 0.0;
        }
    }
};

// A pass over the elements runs in blocks of kBlock: arithmetic loops without
// calls or branches (every candidate computed, the element's own selected),
// which the compiler vectorises, built for the instruction sets of simd.hpp
// and picked at run time; the transcendental functions in scalar loops between
// them.  IEEE +, -, *, / give the same bits in a vector lane as in a scalar
// register and nothing is contracted into fused multiply-adds, so the
// results do not depend on which build runs.
constexpr int kBlock = simd::kBlock;

struct Block {
    double r[kBlock], d[kBlock], lr[kBlock], L[kBlock], q[kBlock], em[kBlock], arg[kBlock],
        z[kBlock], t[kBlock], f[kBlock], kx[kBlock], kv[kBlock], g[kBlock];
};

struct PassIn {
    const Props& p;
    const StepConst& sc;
    const double *sig, *u, *s0, *ep0;
};

// Effective stresses; the smallest (and any not finite) through the floor
// of Props::delta, g = d s_floored / d s; false if one is not positive.
PELORIN_VECTOR bool pass_stress(int lo, int n, const PassIn& in, Block& b, Cells& c) {
    const double* __restrict sig = in.sig + lo;
    const double* __restrict u = in.u + lo;
    double* __restrict s = c.s.data() + lo;
    const double edge = 40.0 * in.p.delta;
    int low = 0;
    for (int i = 0; i < n; ++i) {
        const double s1 = sig[i] - u[i];
        low |= !(s1 > edge);
        s[i] = s1;
        b.g[i] = 1.0;
    }
    if (!low) return true;
    int bad = 0;
    const double dl = in.p.delta;
    for (int i = 0; i < n; ++i) {
        if (s[i] > edge) continue;
        const double x = s[i] / dl - 1.0, ex = std::exp(-std::fabs(x));
        const double sp = dl * (1.0 + std::max(x, 0.0) + std::log1p(ex));  // delta (1 + ln(1 + e^x))
        b.g[i] = x >= 0.0 ? 1.0 / (1.0 + ex) : ex / (1.0 + ex);
        bad |= !(sp > 0.0);
        s[i] = sp;
    }
    return bad == 0;
}

// Ratios to sigvref and d = 1 - s0/s1.
PELORIN_VECTOR void pass_ratio(int lo, int n, const PassIn& in, Block& b, const Cells& c) {
    const double* __restrict s0 = in.s0 + lo;
    const double* __restrict isr = in.p.inv_sref.data() + lo;
    const double* __restrict s = c.s.data() + lo;
    for (int i = 0; i < n; ++i) {
        const double s1 = s[i];
        b.r[i] = s1 * isr[i];
        b.d[i] = (s1 - s0[i]) / s1;
    }
}

PELORIN_VECTOR void pass_q(int lo, int n, const PassIn& in, Block& b) {
    const double* __restrict mp1 = in.p.mp1.data() + lo;
    for (int i = 0; i < n; ++i) b.q[i] = mp1[i] * b.L[i];
}

PELORIN_VECTOR void pass_arg(int lo, int n, const PassIn& in, Block& b) {
    const double* __restrict mp1 = in.p.mp1.data() + lo;
    for (int i = 0; i < n; ++i) {
        const double a = b.em[i] / (mp1[i] * std::fabs(b.d[i]));
        b.arg[i] = b.d[i] == 0.0 ? 1.0 : a;
    }
}

PELORIN_VECTOR void pass_exponent(int lo, int n, const PassIn& in, Block& b) {
    const double* __restrict base = in.sc.base.data() + lo;
    const double* __restrict m = in.p.m.data() + lo;
    for (int i = 0; i < n; ++i) {
        b.z[i] = (base[i] + m[i] * b.lr[i]) + std::max(b.q[i], 0.0);
    }
}

// The local update (creep along the linear stress path, then the bound of
// the compression line) and the exponent of the permeability; false if a
// void ratio or its slope is not physical.
PELORIN_VECTOR bool pass_state(int lo, int n, const PassIn& in, Block& b, Cells& c) {
    const Props& p = in.p;
    const double* __restrict s0 = in.s0 + lo;
    const double* __restrict ep0 = in.ep0 + lo;
    const double* __restrict creep = in.sc.creep.data() + lo;
    const double* __restrict m = p.m.data() + lo;
    const double* __restrict mp1 = p.mp1.data() + lo;
    const double* __restrict alpha = p.alpha.data() + lo;
    const double* __restrict esref = p.esref.data() + lo;
    const double* __restrict cdl = p.cdl.data() + lo;
    const double* __restrict crl = p.crl.data() + lo;
    const double* __restrict ekref = p.ekref.data() + lo;
    const double* __restrict kc = p.kc.data() + lo;
    const double* __restrict s = c.s.data() + lo;
    double* __restrict ep_out = c.ep.data() + lo;
    double* __restrict e_out = c.e.data() + lo;
    double* __restrict dedu = c.dedu.data() + lo;
    int bad = 0;
    for (int i = 0; i < n; ++i) {
        const double s1 = s[i], is1 = 1.0 / s1, d = b.d[i];
        const double slope = path_factor_slope(d, mp1[i], b.L[i], b.q[i], b.em[i]);
        const double ddd = d == 0.0 ? -0.5 * m[i] : slope;
        const double dy = m[i] * is1 + ddd * (s0[i] * (is1 * is1));
        const double t = b.t[i], f = b.f[i];
        const double df = t < INFINITY ? t / (1.0 + t) : 1.0;
        const bool on = creep[i] > 0.0;
        double ep = on ? ep0[i] - alpha[i] * f : ep0[i];
        double dep = on ? -(alpha[i] * df * dy) : 0.0;
        const double P1 = esref[i] - cdl[i] * b.lr[i];
        const double dP = -cdl[i] * is1;
        const bool above = ep > P1;
        ep = above ? P1 : ep;
        dep = above ? dP : dep;
        const double e = ep - crl[i] * b.lr[i];
        const double de_ds = dep - crl[i] * is1;
        bad |= !(e > 0.0 && e < INFINITY && std::fabs(de_ds) < INFINITY);
        ep_out[i] = ep;
        e_out[i] = e;
        dedu[i] = -de_ds * b.g[i];
        b.kx[i] = (e - ekref[i]) * kc[i];
    }
    return bad == 0;
}

// Conductances k/(gammaw (1 + e)); false if one is not a positive number (a
// permeability law driven out of the range of doubles).
PELORIN_VECTOR bool pass_conductivity(int lo, int n, const PassIn& in, Block& b, Cells& c) {
    const double* __restrict kfac = in.p.kfac.data() + lo;
    const double* __restrict kc = in.p.kc.data() + lo;
    const double* __restrict e = c.e.data() + lo;
    const double* __restrict dedu = c.dedu.data() + lo;
    double* __restrict K = c.K.data() + lo;
    double* __restrict dKdu = c.dKdu.data() + lo;
    int bad = 0;
    for (int i = 0; i < n; ++i) {
        const double iope = 1.0 / (1.0 + e[i]);
        const double k = kfac[i] * b.kv[i] * iope;
        K[i] = k;
        dKdu[i] = k * (kc[i] - iope) * dedu[i];
        bad |= !(k > 0.0 && k < INFINITY && std::fabs(dKdu[i]) < INFINITY);
    }
    return bad == 0;
}

bool evaluate_cells(const Column& col, const Props& p, const StepConst& sc,
                    const std::vector<double>& ep0, const std::vector<double>& s0,
                    const std::vector<double>& sig_tot, const std::vector<double>& u, Cells& c) {
    const PassIn in{p, sc, sig_tot.data(), u.data(), s0.data(), ep0.data()};
    Block b;
    for (int lo = 0; lo < col.N; lo += kBlock) {
        const int n = std::min(kBlock, col.N - lo);
        if (!pass_stress(lo, n, in, b, c)) return false;
        pass_ratio(lo, n, in, b, c);
        for (int i = 0; i < n; ++i) {
            b.lr[i] = std::log(b.r[i]);
            b.L[i] = std::log1p(-b.d[i]);
        }
        pass_q(lo, n, in, b);
        for (int i = 0; i < n; ++i) b.em[i] = -std::expm1(-std::fabs(b.q[i]));
        pass_arg(lo, n, in, b);
        pass_exponent(lo, n, in, b);
        // Creep: f = ln(1 + t), t = exp(y) = exp(z) * arg; where t would
        // overflow, from y itself (the derivative is then 1).
        for (int i = 0; i < n; ++i) {
            const double t = std::exp(b.z[i]) * b.arg[i];
            if (t < 1e300) {
                b.t[i] = t;
                b.f[i] = std::log1p(t);
            } else {
                const double y = b.z[i] + std::log(b.arg[i]);
                b.t[i] = INFINITY;
                b.f[i] = y + std::log1p(std::exp(-y));
            }
        }
        if (!pass_state(lo, n, in, b, c)) return false;
        for (int i = 0; i < n; ++i) b.kv[i] = std::exp(b.kx[i]);
        if (!pass_conductivity(lo, n, in, b, c)) return false;
    }
    return true;
}

// Face terms of a step, dt times the flux F_f = G_f (u_f - u_{f-1}) and its
// derivatives with respect to u_{f-1} (l) and u_f (r); faces 0 and N carry
// nothing here (the drained ends are added afterwards).
struct Faces {
    std::vector<double> F, Fl, Fr;
};

PELORIN_VECTOR void face_terms(int N, const double* __restrict S, const double* __restrict K,
                               const double* __restrict dKdu, const double* __restrict u,
                               double dt, double* __restrict tF, double* __restrict tFl,
                               double* __restrict tFr) {
    for (int f = 1; f < N; ++f) {
        const double Kl = K[f - 1], Kr = K[f];
        const double D = S[f - 1] * Kr + S[f] * Kl;
        const double G = 2.0 * Kl * Kr / D;
        const double dGl = 2.0 * Kr * Kr * S[f - 1] / (D * D);
        const double dGr = 2.0 * Kl * Kl * S[f] / (D * D);
        const double du = u[f] - u[f - 1];
        tF[f] = dt * (G * du);
        tFr[f] = dt * (G + du * dGr * dKdu[f]);    // dF/du_f
        tFl[f] = dt * (-G + du * dGl * dKdu[f - 1]);  // dF/du_{f-1}
    }
}

// R_i = S_i (a0 (e_i - base_i) + hist_i) + dt F_i - dt F_{i+1} (F_f flows
// upward into cell f - 1).  The runner passes the last level as the base and
// the rest of the history as differences of levels, so that an element
// whose void ratio does not move (at the floor of s', where its storage
// vanishes) adds exactly nothing: a rounding of a0 e + hist there would
// stand alone against fluxes of order dt and throw its u off by eps/dt.
PELORIN_VECTOR void cell_rows(int N, const double* __restrict S, const double* __restrict e,
                              const double* __restrict dedu, const double* __restrict base,
                              const double* __restrict hist, double a0,
                              const double* __restrict tF,
                              const double* __restrict tFl, const double* __restrict tFr,
                              double* __restrict R, double* __restrict lo,
                              double* __restrict di, double* __restrict up) {
    for (int i = 0; i < N; ++i) {
        R[i] = S[i] * (a0 * (e[i] - base[i]) + hist[i]) + tF[i] - tF[i + 1];
        di[i] = S[i] * a0 * dedu[i] + tFr[i] - tFl[i + 1];
        up[i] = -tFr[i + 1];
        lo[i] = tFl[i];
    }
}

// Mass-balance residual and its tridiagonal Jacobian for the cells `c`, for the
// sub-step from absolute time t0 over dt (the drains' sink, drains.hpp), about
// the last level `base`.  ubt, ubb: the pore pressures held at the drained top
// and bottom.
void assemble(const Column& col, const Cells& c, const std::vector<double>& base,
              const std::vector<double>& hist, double a0, double dt, double t0,
              const std::vector<double>& u, StepSystem& sys, Faces& w, double ubt = 0.0,
              double ubb = 0.0) {
    const int N = col.N;
    const auto& S = col.S;
    for (auto* v : {&sys.R, &sys.lo, &sys.di, &sys.up}) v->resize(N);
    for (auto* v : {&w.F, &w.Fl, &w.Fr}) {
        v->resize(N + 1);
        (*v)[0] = 0.0;
        (*v)[N] = 0.0;
    }
    face_terms(N, S.data(), c.K.data(), c.dKdu.data(), u.data(), dt, w.F.data(), w.Fl.data(),
               w.Fr.data());
    cell_rows(N, S.data(), c.e.data(), c.dedu.data(), base.data(), hist.data(), a0, w.F.data(),
              w.Fl.data(), w.Fr.data(), sys.R.data(), sys.lo.data(), sys.di.data(), sys.up.data());
    if (col.drainage == 0 || col.drainage == 1) {  // drained top: u = ubt on face 0
        const double G = 2.0 * c.K[0] / S[0];
        const double du = u[0] - ubt;
        sys.R[0] += dt * G * du;
        sys.di[0] += dt * (G + du * 2.0 / S[0] * c.dKdu[0]);
    }
    if (col.drainage == 0 || col.drainage == 2) {  // drained bottom: u = ubb on face N
        const int i = N - 1;
        const double G = 2.0 * c.K[i] / S[i];
        const double du = u[i] - ubb;
        sys.R[i] += dt * G * du;
        sys.di[i] += dt * (G + du * 2.0 / S[i] * c.dKdu[i]);
    }
    // The drains discharge where the column drains: at its top, else at its base.
    const double ub = col.drainage == 2 ? ubb : ubt;
    drain_sink(col.drains, N, S.data(), c.e.data(), c.dedu.data(), c.K.data(), c.dKdu.data(),
               u.data(), ub, dt, t0, t0 + dt, sys.R.data(), sys.di.data());
}

// The border of a step with fills.  The fills' loads depend on the settlement
// of the top, which depends on every element: instead of the loads q_f the
// settlement s is the one more unknown, q_f = q_f(s) (loading.hpp), with the
// row Z = s - sum_c S_c (e0_c - e_c) = 0.  The two forms have the same
// solutions (given one, q = q(s) or s = sum S (e0 - e) gives the other), and
// this one has a single border for any number of fills: the total stress of
// element c moves with s along w_c = sum_f I_fc dq_f/ds.  Then
//   dR_i/ds = sum_j (dR_i/ds'_j) w_j, ds'_j/ds = w_j,
// from the mass term (de/ds' = -dedu) and the conductances (dK/ds' = -dKdu)
// of the faces around i; dZ/du_j = S_j dedu_j, dZ/ds = 1 - sum S dedu w.
// With w the same in every element (fills over the whole column) a face's
// term is -w times the sum of its two state derivatives in `faces`, tFl + tFr.
void border(const Column& col, const Cells& c, const std::vector<double>& w, bool uniform,
            const Faces& faces, double a0, double dt, const std::vector<double>& u, double ubt,
            double ubb, double s, StepSystem& sys, std::vector<double>& dF) {
    const int N = col.N;
    const auto& S = col.S;
    const auto& K = c.K;
    sys.b.resize(N);
    sys.c.resize(N);
    double d = 1.0, settle = 0.0;
    if (uniform) {  // one pass, w[0] for all
        const double w0 = w[0];
        double dFl = 0.0, m = 0.0;
        for (int i = 0; i < N; ++i) {
            const double dFr = i + 1 < N ? -w0 * (faces.Fl[i + 1] + faces.Fr[i + 1]) : 0.0;
            const double mi = S[i] * c.dedu[i];
            sys.b[i] = -a0 * mi * w0 + dFl - dFr;
            sys.c[i] = mi;
            m += mi;
            settle += S[i] * (col.e0[i] - c.e[i]);
            dFl = dFr;
        }
        d -= m * w0;
    } else {
        dF.assign(N + 1, 0.0);
        for (int f = 1; f < N; ++f) {
            const double Kl = K[f - 1], Kr = K[f];
            const double D = S[f - 1] * Kr + S[f] * Kl;
            const double dGl = 2.0 * Kr * Kr * S[f - 1] / (D * D);
            const double dGr = 2.0 * Kl * Kl * S[f] / (D * D);
            const double du = u[f] - u[f - 1];
            dF[f] = -dt * du * (dGl * c.dKdu[f - 1] * w[f - 1] + dGr * c.dKdu[f] * w[f]);
        }
        for (int i = 0; i < N; ++i) {
            sys.b[i] = -S[i] * a0 * c.dedu[i] * w[i] + dF[i] - dF[i + 1];
            sys.c[i] = S[i] * c.dedu[i];
            d -= S[i] * c.dedu[i] * w[i];
            settle += S[i] * (col.e0[i] - c.e[i]);
        }
    }
    const double wt = w[0], wb = uniform ? w[0] : w[N - 1];
    if (col.drainage == 0 || col.drainage == 1)
        sys.b[0] -= dt * (u[0] - ubt) * 2.0 / S[0] * c.dKdu[0] * wt;
    if (col.drainage == 0 || col.drainage == 2) {
        const int i = N - 1;
        sys.b[i] -= dt * (u[i] - ubb) * 2.0 / S[i] * c.dKdu[i] * wb;
    }
    sys.d = d;
    sys.Z = s - settle;
}

// Solves the tridiagonal system (lo, di, up) for two right-hand sides at once,
// x = r and y = b, each in place.
void thomas2(const StepSystem& sys, std::vector<double>& r, std::vector<double>& b,
             std::vector<double>& work) {
    const int n = static_cast<int>(r.size());
    work.resize(n);
    double p = sys.di[0];
    r[0] /= p;
    b[0] /= p;
    for (int i = 1; i < n; ++i) {
        work[i] = sys.up[i - 1] / p;
        p = sys.di[i] - sys.lo[i] * work[i];
        r[i] = (r[i] - sys.lo[i] * r[i - 1]) / p;
        b[i] = (b[i] - sys.lo[i] * b[i - 1]) / p;
    }
    for (int i = n - 2; i >= 0; --i) {
        r[i] -= work[i + 1] * r[i + 1];
        b[i] -= work[i + 1] * b[i + 1];
    }
}

// Solves the tridiagonal system (lo, di, up) x = r in place of r.
void thomas(const StepSystem& sys, std::vector<double>& r, std::vector<double>& work) {
    const int n = static_cast<int>(r.size());
    work.resize(n);
    double b = sys.di[0];
    r[0] /= b;
    for (int i = 1; i < n; ++i) {
        work[i] = sys.up[i - 1] / b;
        b = sys.di[i] - sys.lo[i] * work[i];
        r[i] = (r[i] - sys.lo[i] * r[i - 1]) / b;
    }
    for (int i = n - 2; i >= 0; --i) r[i] -= work[i + 1] * r[i + 1];
}

// The bordered system [T b; c' d] (x, y) = (r, z) by block elimination (the
// bordering algorithm, Keller 1977; the same as Sherman-Morrison on the rank-one
// term once y is eliminated): T x0 = r, T x1 = b, y = (z - c.x0)/(d - c.x1),
// x = x0 - y x1.  d - c.x1 is the settlement's own pivot after the
// elements': near 1 for a fill (1 + the fill's buoyant weight times the
// compliance of the column), never near 0.
double bordered(const StepSystem& sys, std::vector<double>& r, double z,
                std::vector<double>& x1, std::vector<double>& work) {
    const int n = static_cast<int>(r.size());
    x1 = sys.b;
    thomas2(sys, r, x1, work);
    double cr = 0.0, cx = 0.0;
    for (int i = 0; i < n; ++i) {
        cr += sys.c[i] * r[i];
        cx += sys.c[i] * x1[i];
    }
    const double y = (z - cr) / (sys.d - cx);
    for (int i = 0; i < n; ++i) r[i] -= y * x1[i];
    return y;
}

class Runner {
public:
    Runner(const Column& col, const std::vector<double>& time, const std::vector<double>& lf,
           const Loading& loading, const Options& opt, Output& out, const Callbacks& cb,
           Stats& st)
        : col_(col), time_(time), lf_(lf), opt_(opt), out_(out), cb_(cb), st_(st), N_(col.N),
          props_(col), path_(col, loading) {}

    void run();

private:
    bool try_step(double h, double& err, int& order);
    bool newton(double a0, double h);
    void filter(double a0, std::vector<double>& r);
    void blame_state(const Cells& c);
    void fail(int element, const char* quantity) {
        fail_elem_ = element;
        fail_qty_ = quantity;
    }
    double restart_step() const;
    bool eval(const std::vector<double>& u, double s, Cells& c);
    void system(const Cells& c, const std::vector<double>& u, double s, double a0, double h,
                StepSystem& sys);
    bool cross_corners();
    void loading_stress(double s, std::vector<double>& out);
    double settlement() const;
    void write(int j, double lf, double t, const double* settlement = nullptr);
    void write_between(int j, double t);
    void poll();

    const Column& col_;
    const std::vector<double>& time_;
    const std::vector<double>& lf_;
    const Options& opt_;
    Output& out_;
    const Callbacks& cb_;
    Stats& st_;
    const int N_;
    const Props props_;
    // The loading besides the load factor, its values at the end of the
    // current step (pv_), the stress of its loads without the fills there
    // (sig_step_), the pore pressures it holds at the ends (ubt_, ubb_), and
    // with fills the settlement unknown of the start of Newton (sg_) and of
    // a trial (sgt_), and the stress a settlement correction moves (wscale_).
    LoadPath path_;
    std::vector<double> pv_, sig_step_, sig_trial_, q_, dq_, w_, dF_, x1_, jump_, lnow_, sref_;
    std::vector<double> hL_[3];  // the loading's total stress at each level
    double ubt_ = 0.0, ubb_ = 0.0, sg_ = 0.0, sgt_ = 0.0, ds_ = 0.0, wscale_ = 0.0;

    // Time: t_ absolute; within a stage the steps count from its start t0_
    // (local time tl_), so that a short step after a late load change keeps
    // its digits.
    double t_ = 0.0, t0_ = 0.0, tl_ = 0.0;
    double load_ = 0.0, U_ = 1.0, s_floor_ = 0.0, Ssum_ = 0.0, ntol_ = 0.0, stol_ = 0.0;
    std::vector<double> u_, ep_, e_, s_, sig_tot_;
    // The last sub-step levels of the current stage, newest first.
    int nlev_ = 0;
    double ht_[3] = {0, 0, 0}, hs_[3] = {0, 0, 0};
    std::vector<double> hu_[3], he_[3], hep_[3], hsg_[3];
    // Output: the interpolated state and the permeabilities of a column.
    std::vector<double> iu_, ie_, iep_, is_, wk_, wlk_, wK_, wxn_, wun_;
    // Work space of a step.
    Cells cells_, trial_;
    StepSystem sys_, tsys_;
    StepConst sc_;
    Faces faces_;
    std::vector<double> inv_S_;
    std::vector<double> un_, ut_, du_, hist_, work_, pred_, fu_, fs_;
    std::chrono::steady_clock::time_point last_poll_;
    // Trial first steps left to a stage (see run) and the error below which
    // one is tried again longer.
    int probes_ = 0;
    double probe_h_ = 0.0, probe_err_ = 0.0;  // the last trial's
    static constexpr double kProbe = 0.3;
    std::string why_ = "the time error stays above rtol";  // last reason for a rejection
    int fail_elem_ = -1;                                    // and what held it back
    std::string fail_qty_;
};

void Runner::poll() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_poll_ >= std::chrono::milliseconds(50)) {
        last_poll_ = now;
        if (cb_.poll) cb_.poll();
    }
}

// A first sub-step after a load change: a fraction of the shortest relaxation
// time of an element, S de/du over the conductances of its two faces.
double Runner::restart_step() const {
    double tau = INFINITY;
    for (int i = 0; i < N_; ++i) {
        const Material& m = col_.mat[i];
        const Local L = local_update(m, ep_[i], s_[i], s_[i], 0.0, 0.0);
        const double K = m.k(e_[i]) / (col_.gammaw * (1.0 + e_[i]));
        // Both half cells, as if drained, and the drains' sink once they act.
        double G = 4.0 * K / col_.S[i];
        if (t_ >= col_.drains.start) G += drain_conductance(col_.drains, i, col_.S[i], e_[i], K);
        tau = std::min(tau, col_.S[i] * (-L.de_ds) / G);
    }
    return std::max(tau * std::sqrt(opt_.rtol), 1e-300);
}

// The cells at the end of the step for the pore pressures u and (with
// fills) the settlement s.
bool Runner::eval(const std::vector<double>& u, double s, Cells& c) {
    const std::vector<double>* sig = &sig_tot_;
    if (path_.active()) {
        sig = &sig_step_;
        if (path_.coupled()) {
            path_.fill_loads(pv_, s, q_, dq_);
            if (path_.uniform()) {
                const double Q = path_.uniform_sum(q_);
                sig_trial_.resize(N_);
                for (int i = 0; i < N_; ++i) sig_trial_[i] = sig_step_[i] + Q;
            } else {
                sig_trial_ = sig_step_;
                path_.add_fills(q_, sig_trial_);
            }
            sig = &sig_trial_;
        }
    }
    return evaluate_cells(col_, props_, sc_, ep_, s_, *sig, u, c);
}

// The step's residual and Jacobian at (u, s), bordered with fills.
void Runner::system(const Cells& c, const std::vector<double>& u, double s, double a0, double h,
                    StepSystem& sys) {
    assemble(col_, c, e_, hist_, a0, h, t_, u, sys, faces_, ubt_, ubb_);
    if (!path_.coupled()) return;
    path_.fill_loads(pv_, s, q_, dq_);
    if (path_.uniform()) w_.assign(1, path_.uniform_sum(dq_));
    else path_.fill_direction(dq_, w_);
    border(col_, c, w_, path_.uniform(), faces_, a0, h, u, ubt_, ubb_, s, sys, dF_);
    drain_border(col_.drains, N_, c.e.data(), c.dedu.data(), c.K.data(), c.dKdu.data(),
                 col_.S.data(), u.data(), col_.drainage == 2 ? ubb_ : ubt_, w_.data(),
                 path_.uniform(), h, t_, t_ + h, sys.b.data());
}

// The total stress of the loading at the values pv_ (sig_step_ made from
// them) with the fills at the settlement s.
void Runner::loading_stress(double s, std::vector<double>& out) {
    out = sig_step_;
    if (!path_.coupled()) return;
    path_.fill_loads(pv_, s, q_, dq_);
    path_.add_fills(q_, out);
}

double Runner::settlement() const {
    double settle = 0.0;
    for (int i = 0; i < N_; ++i) settle += col_.S[i] * (col_.e0[i] - e_[i]);
    return settle;
}

// Moves the loading past every corner reached (t_): a jump of a load or a
// fill acts at once, undrained (the pore pressures take the total stress's
// change, the effective stresses stay); true if a function jumps, after which
// the steps restart.  A kink (a ramp begins or ends) keeps the steps' history:
// the void ratios that the BDF formula differentiates stay continuously
// differentiable through it (the fluxes are continuous in time), and the
// error estimate, which sees the kink in the pore pressures, shortens the
// steps there as far as it takes; a restart would only begin again from the
// finest element's relaxation time.
bool Runner::cross_corners() {
    bool jumped = false;
    while (path_.next_corner() <= t_) {
        std::vector<double> before;
        if (!path_.cross(before)) continue;
        jumped = true;
        const std::vector<double>& after = path_.start_values();
        std::vector<double> dv(after.size());
        for (size_t i = 0; i < dv.size(); ++i) dv[i] = after[i] - before[i];
        jump_.assign(N_, 0.0);
        path_.add_loads(dv, jump_);
        if (path_.coupled()) {
            const double s = settlement();
            std::vector<double> qb, qa;
            path_.fill_loads(before, s, qb, dq_);
            path_.fill_loads(after, s, qa, dq_);
            for (size_t f = 0; f < qa.size(); ++f) qa[f] -= qb[f];
            path_.add_fills(qa, jump_);
        }
        for (int i = 0; i < N_; ++i) u_[i] += jump_[i];
    }
    return jumped;
}

// Newton's method for the step from the start `un_` (already evaluated into
// cells_ and assembled into sys_); false, with the reason, if it fails.
bool Runner::newton(double a0, double h) {
    auto merit = [&](const StepSystem& s) {
        double m = 0.0;
        for (int i = 0; i < N_; ++i) {
            const double r = s.R[i] * inv_S_[i];
            m += r * r;
        }
        // The settlement row as if it were the strain of each element.
        if (path_.coupled()) m += N_ * (s.Z / Ssum_) * (s.Z / Ssum_);
        return m;
    };
    double phi = merit(sys_);
    double last = 0.0;  // the length of the last full correction taken (0: none)
    const double edge = 40.0 * props_.delta;  // where the floor of s' begins
    for (int it = 0; it < opt_.max_newton; ++it) {
        poll();  // long columns: Ctrl-C within a Newton iteration, not a whole sub-step
        du_.resize(N_);
        for (int i = 0; i < N_; ++i) du_[i] = -sys_.R[i];
        if (path_.coupled()) ds_ = bordered(sys_, du_, -sys_.Z, x1_, work_);
        else thomas(sys_, du_, work_);
        ++st_.newton;
        double dmax = 0.0;
        int imax = 0;
        for (int i = 0; i < N_; ++i) {
            const double a = std::fabs(du_[i]);
            if (!(a <= dmax)) {
                dmax = a;
                imax = i;
            }
        }
        fail(imax, "Newton correction");
        // With fills the settlement's correction counts by the stress it moves.
        if (path_.coupled()) {
            const double a = std::fabs(ds_) * wscale_;
            if (!(a <= dmax)) dmax = a;
        }
        if (!std::isfinite(dmax)) {
            why_ = "the Newton correction is not finite";
            return false;
        }
        // With loads varying in time the correction must also be small in
        // the settlement it makes, sum S de/du |du|.  On a ramp the undrained
        // part of the column sits at the kink of e(s') between the
        // compression and the swelling line (its s' stays at the start
        // value), where Newton converges only linearly: a correction below
        // ntol_ leaves a residual of its own size, and an element as soft as
        // a normally consolidated clay at a few kPa turns it into a void ratio
        // error that the kink ratchets down the compression line step after
        // step (a sealed top under a slow ramp settled centimetres in a day,
        // and the steps collapsed).  A constant stage never sits there.
        double dvol = 0.0;
        if (path_.active())
            for (int i = 0; i < N_; ++i) dvol += col_.S[i] * cells_.dedu[i] * std::fabs(du_[i]);
        // Converged by the size of this correction, without taking it: where
        // Newton contracts (theta = |du_k| / |du_k-1| <= 1/2 after a full
        // step), the current iterate lies within |du_k| / (1 - theta) of the
        // solution (Deuflhard 2004, Newton Methods for Nonlinear Problems,
        // its a-posteriori estimate), so a correction below ntol_ (1 -
        // theta) leaves it within ntol_, the test the correction itself had to
        // pass before; the pass that would evaluate the corrected state is
        // saved.  The state kept is the one evaluated, consistent in u, e and
        // s'.  The first correction of a step has no contraction to go by.
        if (last > 0.0) {
            const double theta = dmax / last;
            if (theta <= 0.5 && dmax <= ntol_ * (1.0 - theta) && dvol <= stol_) return true;
        }
        // The total stress of the iterate, for the geometric continuation.
        if (path_.active()) loading_stress(sg_, sref_);
        const std::vector<double>& sref = path_.active() ? sref_ : sig_tot_;
        double lam = 1.0;
        bool ok = false;
        for (int ls = 0; ls < 12; ++ls, lam *= 0.5) {
            if (ls > 0) poll();
            ut_.resize(N_);
            // A correction that would take more than half of an element's
            // effective stress away continues geometrically: s' keeps
            // (s'/2) exp(2 ds/s' + 1), the same value and slope at ds = -s'/2,
            // never 0.  The swelling line steepens as 1/s' (de/ds' = -Cr/(ln 10
            // s')), so where pore water pushes s' towards 0 (creep under a
            // sealed end with little overburden) the tangent from above
            // overshoots into the floor of Props::delta and the iterates swing
            // across the bend; along ln s' that law is straight.  A small
            // correction, and so the converged step, is untouched.
            // The total stress is the step's loading at the iterate's settlement.
            for (int i = 0; i < N_; ++i) {
                const double s = sref[i] - un_[i], ds = -lam * du_[i];
                ut_[i] = ds < -0.5 * s && s > edge
                             ? sref[i] - 0.5 * s * std::exp(2.0 * ds / s + 1.0)
                             : un_[i] + lam * du_[i];
            }
            sgt_ = sg_ + lam * ds_;
            if (!eval(ut_, sgt_, trial_)) {
                if (ls == 0) blame_state(trial_);
                continue;
            }
            ++st_.evaluations;
            system(trial_, ut_, sgt_, a0, h, tsys_);
            const double phit = merit(tsys_);
            if (phit <= (1.0 - 1e-4 * lam) * phi || lam * dmax <= ntol_) {
                ok = true;
                phi = phit;
                break;
            }
        }
        if (!ok) {
            why_ = "no damped Newton correction reduced the residual with a physical state "
                   "(effective stress > 0, void ratio > 0, a finite permeability)";
            return false;
        }
        std::swap(un_, ut_);
        std::swap(cells_, trial_);
        std::swap(sys_, tsys_);
        sg_ = sgt_;
        if (lam * dmax <= ntol_ && lam == 1.0 && dvol <= stol_) return true;
        last = lam == 1.0 ? dmax : 0.0;
    }
    why_ = "Newton did not converge in max_newton iterations";
    return false;
}

// The element whose trial state is not physical: the first with an effective
// stress <= 0, else the first with a void ratio that is not positive and finite.
void Runner::blame_state(const Cells& c) {
    for (int i = 0; i < N_; ++i)
        if (!(c.s[i] > 0.0)) return fail(i, "effective stress");
    for (int i = 0; i < N_; ++i)
        if (!(c.e[i] > 0.0 && c.e[i] < INFINITY)) return fail(i, "void ratio");
    for (int i = 0; i < N_; ++i)
        if (!(c.K[i] > 0.0 && c.K[i] < INFINITY)) return fail(i, "permeability");
}

// x = (M - (h/a0) J)^-1 r for the Jacobian of the converged step, sys_ =
// a0 M - h J (M = diag(S de/du), J the flux part): the filter through which
// a stiff error estimate passes (Hairer & Wanner, Solving ODEs II, IV.8;
// Shampine 1982).  A component with a relaxation time tau << h is damped by
// about tau/h, a slow one (tau >> h) passes unchanged.
// With fills the whole bordered matrix, the settlement row's right-hand side
// 0: the settlement is no state of its own but follows the elements, and this
// is the step's matrix with it eliminated (its Schur complement).
void Runner::filter(double a0, std::vector<double>& r) {
    if (path_.coupled()) bordered(sys_, r, 0.0, x1_, work_);
    else thomas(sys_, r, work_);
    for (int i = 0; i < N_; ++i) r[i] *= a0;
}

bool Runner::try_step(double h, double& err, int& order) {
    const double t1 = tl_ + h;
    // The loading at the end of the step, at its absolute time (the path
    // keeps it within the current piece, between two corners).
    if (path_.active()) {
        path_.values(t0_ + t1, pv_);
        sig_step_ = sig_tot_;
        path_.add_loads(pv_, sig_step_);
        ubt_ = path_.top(pv_);
        ubb_ = path_.bottom(pv_);
    }
    // BDF weights and the history part of the mass balance, about the last
    // level e_ (= he_[0]): a0 e - (1 + w) e_0 + w^2/(1 + w) e_1 = a0 (e - e_0)
    // - w^2/(1 + w) (e_0 - e_1).
    double a0 = 1.0;
    hist_.assign(N_, 0.0);
    order = nlev_ >= 3 ? 2 : 1;
    if (order == 2) {
        const double w = h / (ht_[0] - ht_[1]);
        a0 = (1.0 + 2.0 * w) / (1.0 + w);
        const double b = w * w / (1.0 + w);
        for (int i = 0; i < N_; ++i) hist_[i] = -b * (he_[0][i] - he_[1][i]);
    }
    // Predictor: extrapolation of the stage's levels (also the error
    // reference), the same weights for u and e.
    double l[3] = {1.0, 0.0, 0.0};
    if (nlev_ == 2) {
        const double r = h / (ht_[0] - ht_[1]);
        l[0] = 1.0 + r;
        l[1] = -r;
    } else if (nlev_ == 3) {
        const double x0 = ht_[0], x1 = ht_[1], x2 = ht_[2];
        l[0] = (t1 - x1) * (t1 - x2) / ((x0 - x1) * (x0 - x2));
        l[1] = (t1 - x0) * (t1 - x2) / ((x1 - x0) * (x1 - x2));
        l[2] = (t1 - x0) * (t1 - x1) / ((x2 - x0) * (x2 - x1));
    }
    double spred = hs_[0];
    if (nlev_ == 2) spred = l[0] * hs_[0] + l[1] * hs_[1];
    if (nlev_ == 3) spred = l[0] * hs_[0] + l[1] * hs_[1] + l[2] * hs_[2];
    pred_.resize(N_);
    if (nlev_ == 1) {
        pred_ = u_;
    } else if (!path_.active()) {
        for (int i = 0; i < N_; ++i) {
            double p = l[0] * hu_[0][i] + l[1] * hu_[1][i];
            if (nlev_ == 3) p += l[2] * hu_[2][i];
            pred_[i] = p;
        }
    } else {
        // With loads varying in time, the extrapolation of u less the total
        // stress of the loading, which is then added at the step's end: the
        // same while the levels lie on one ramp (the extrapolation of a linear
        // function is exact), and past a kink (a ramp ends or begins) the
        // undrained part of the column takes its known change of rate instead
        // of a predictor (and error reference) running on along the old ramp.
        loading_stress(spred, lnow_);
        for (int i = 0; i < N_; ++i) {
            double p = l[0] * (hu_[0][i] - hL_[0][i]) + l[1] * (hu_[1][i] - hL_[1][i]);
            if (nlev_ == 3) p += l[2] * (hu_[2][i] - hL_[2][i]);
            pred_[i] = p + lnow_[i];
        }
    }

    // Newton from the predictor; where that fails (the extrapolation of a
    // stiff element across a load change lands far from the solution), once
    // more from the start of the step.
    sc_.set(props_, ep_, h);
    bool solved = false;
    for (int start = nlev_ == 1 ? 1 : 0; start < 2 && !solved; ++start) {
        un_ = start == 0 ? pred_ : u_;
        sg_ = start == 0 ? spred : hs_[0];  // a retry starts from the step's own settlement
        if (!eval(un_, sg_, cells_)) {
            if (start == 1) {
                blame_state(cells_);
                why_ = "the state at the start of the sub-step is not physical";
                return false;
            }
            continue;
        }
        ++st_.evaluations;
        system(cells_, un_, sg_, a0, h, sys_);
        solved = newton(a0, h);
    }
    if (!solved) return false;

    // Local error estimate: the first step of a stage against its start
    // (half the change), later ones against the predictor (Milne's device),
    // each filtered by the step's own matrix so that an element that drains
    // within the step (a sand layer) does not hold it back for a change that
    // any step length would make.  The settlement's estimate is the sum over
    // the elements of S (e - e_predicted), filtered the same way.
    double settle = hs_[0];
    for (int i = 0; i < N_; ++i) settle += col_.S[i] * (e_[i] - cells_.e[i]);
    const double c = nlev_ == 1 ? 0.5 : nlev_ == 2 ? h / (t1 - ht_[1]) : 0.6 * h / (t1 - ht_[2]);
    // Filtered while the levels reach back to the load change (the first
    // three steps of a stage): there the extrapolation crosses the jump, and
    // a stiff element's difference stays whatever the step.  Later levels
    // are smooth and the plain differences hold.
    const bool jump = ht_[nlev_ - 1] == 0.0;
    fu_.resize(N_);
    if (jump) {
        for (int i = 0; i < N_; ++i) fu_[i] = col_.S[i] * cells_.dedu[i] * (un_[i] - pred_[i]);
        filter(a0, fu_);
    } else {
        for (int i = 0; i < N_; ++i) fu_[i] = un_[i] - pred_[i];
    }
    double su = 0.0, wu = -1.0;
    int iu = 0;
    for (int i = 0; i < N_; ++i) {
        const double w = col_.S[i] * fu_[i] * fu_[i];
        su += w;
        if (w > wu) {
            wu = w;
            iu = i;
        }
    }
    const double eu = c * std::sqrt(su / Ssum_) / (opt_.rtol * U_);
    double es = 0.0;
    int is = 0;
    if (nlev_ >= 2) {
        const double sscale = opt_.rtol * std::max(std::fabs(settle), s_floor_);
        fs_.resize(N_);
        for (int i = 0; i < N_; ++i) {
            double eh = l[0] * he_[0][i] + l[1] * he_[1][i];
            if (nlev_ == 3) eh += l[2] * he_[2][i];
            fs_[i] = col_.S[i] * (cells_.e[i] - eh);
        }
        if (jump) filter(a0, fs_);
        double ss = 0.0, ws = -1.0;
        for (int i = 0; i < N_; ++i) {
            const double d = jump ? col_.S[i] * cells_.dedu[i] * fs_[i] : fs_[i];
            ss += d;
            if (std::fabs(d) > ws) {
                ws = std::fabs(d);
                is = i;
            }
        }
        es = c * std::fabs(ss) / sscale;
    }
    err = std::max(eu, es);
    if (!std::isfinite(err)) {
        why_ = "the error estimate is not finite";
        return false;
    }
    if (err > 1.0) {  // a valid solve, but too inaccurate: rejected by the caller
        if (eu >= es) fail(iu, "pore pressure");
        else fail(is, "settlement");
        return true;
    }
    // A trial first step of a stage far inside the tolerance is not kept:
    // the caller tries a longer one from its estimate.
    if (probes_ > 0 && nlev_ == 1 && err < kProbe) return true;

    // Accept.
    tl_ = t1;
    t_ = t0_ + tl_;
    u_ = un_;
    ep_ = cells_.ep;
    e_ = cells_.e;
    s_ = cells_.s;
    for (int k = 2; k > 0; --k) {
        ht_[k] = ht_[k - 1];
        hs_[k] = hs_[k - 1];
        std::swap(hu_[k], hu_[k - 1]);
        std::swap(he_[k], he_[k - 1]);
        std::swap(hep_[k], hep_[k - 1]);
        std::swap(hsg_[k], hsg_[k - 1]);
        std::swap(hL_[k], hL_[k - 1]);
    }
    ht_[0] = tl_;
    hs_[0] = settle;
    hu_[0] = u_;
    he_[0] = e_;
    hep_[0] = ep_;
    hsg_[0] = s_;
    if (path_.active()) loading_stress(sg_, hL_[0]);
    nlev_ = std::min(nlev_ + 1, 3);
    return true;
}

void Runner::write(int j, double lf, double t, const double* settlement) {
    const int N = N_;
    const auto& S = col_.S;
    // Time-major: column j of a history of `rows` rows starts at j * rows.
    double* const ue = out_.ue ? out_.ue + static_cast<size_t>(j) * N : nullptr;
    double* const sigve = out_.sigve ? out_.sigve + static_cast<size_t>(j) * N : nullptr;
    double* const ee = out_.ee ? out_.ee + static_cast<size_t>(j) * N : nullptr;
    double* const ke = out_.ke ? out_.ke + static_cast<size_t>(j) * N : nullptr;
    const size_t jn = static_cast<size_t>(j) * (N + 1);
    double* const zn = out_.z ? out_.z + jn : nullptr;
    double* const u = out_.u ? out_.u + jn : nullptr;
    double* const sigv = out_.sigv ? out_.sigv + jn : nullptr;
    double* const en = out_.e ? out_.e + jn : nullptr;
    double* const kn = out_.k ? out_.k + jn : nullptr;
    const bool nodes = u || sigv || en || kn;
    // The permeability once per element when wanted (its logarithm for the
    // nodes', the conductances for the nodes' pore pressures).
    std::vector<double>& kel = wk_;
    std::vector<double>& lk = wlk_;
    std::vector<double>& K = wK_;
    const bool perm = ke || nodes;
    if (perm) {
        kel.resize(N);
        lk.resize(N);
        K.resize(N);
        for (int i = 0; i < N; ++i) {
            kel[i] = col_.mat[i].k(e_[i]);
            K[i] = kel[i] / (col_.gammaw * (1.0 + e_[i]));
        }
        if (kn)
            for (int i = 0; i < N; ++i) lk[i] = std::log(kel[i]);
    }
    double settle = 0.0;
    if (settlement) settle = *settlement;
    else for (int i = 0; i < N; ++i) settle += S[i] * (col_.e0[i] - e_[i]);
    if (ue) std::copy(u_.begin(), u_.end(), ue);
    if (sigve) std::copy(s_.begin(), s_.end(), sigve);
    if (ee) std::copy(e_.begin(), e_.end(), ee);
    if (ke) std::copy(kel.begin(), kel.end(), ke);
    if (out_.settlement) out_.settlement[j] = settle;
    // The loading acting at this time (t = 0: just after the start).
    const bool top_drained = col_.drainage != 2, bottom_drained = col_.drainage != 1;
    std::vector<double>& xn = wxn_;
    xn.assign(N + 1, 0.0);
    double ubt = 0.0, ubb = 0.0;
    if (path_.active()) {
        path_.values(t, pv_);
        path_.fill_loads(pv_, settle, q_, dq_);
        if (nodes)
            for (int i = 0; i <= N; ++i) xn[i] = path_.node_stress(pv_, q_, i);
        else xn[0] = path_.node_stress(pv_, q_, 0), xn[N] = path_.node_stress(pv_, q_, N);
        ubt = path_.top(pv_);
        ubb = path_.bottom(pv_);
        const int nf = path_.nfills();
        if (out_.fill_load)
            for (int f = 0; f < nf; ++f) out_.fill_load[static_cast<size_t>(j) * nf + f] = q_[f];
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (out_.load) out_.load[j] = col_.node_dsigv[0] * lf + xn[0];
    if (out_.boundary_top) out_.boundary_top[j] = top_drained ? ubt : nan;
    if (out_.boundary_bottom) out_.boundary_bottom[j] = bottom_drained ? ubb : nan;
    // Node positions: the bottom node stays; each element has its own height.
    if (zn) {
        double z = 0.0;
        zn[N] = col_.depth[N];
        for (int i = N - 1; i >= 0; --i) {
            z += S[i] * (col_.e0[i] - e_[i]);
            zn[i] = col_.depth[i] + z;
        }
    }
    {
        // Pore pressures at the nodes (only the ends' when no node history is kept).
        std::vector<double>& un = wun_;
        un.resize(N + 1);
        if (j == 0) {
            for (int i = 0; i <= N; ++i)
                un[i] = col_.node_dsigv[i] * lf + col_.node_ru[i] * col_.sig_node[i];
            if (path_.active())
                for (int i = 0; i <= N; ++i) un[i] += col_.node_useep[i] + xn[i];
        } else {
            if (nodes)
                for (int i = 1; i < N; ++i) {
                    const double Gl = K[i - 1] / S[i - 1], Gr = K[i] / S[i];
                    un[i] = (Gl * u_[i - 1] + Gr * u_[i]) / (Gl + Gr);
                }
            // A sealed end: zero slope, u = a + b x^2 through the two nearest centres.
            auto sealed = [&](int c0, int c1) {
                if (N == 1) return u_[c0];
                const double x0 = 0.5 * S[c0], x1 = S[c0] + 0.5 * S[c1];
                return (u_[c0] * x1 * x1 - u_[c1] * x0 * x0) / (x1 * x1 - x0 * x0);
            };
            un[0] = col_.drainage == 2 ? sealed(0, 1) : ubt;
            un[N] = col_.drainage == 1 ? sealed(N - 1, N - 2) : ubb;
        }
        for (int i = 0; i <= N; ++i) {
            const bool end = i == 0 || i == N;
            if (!nodes && !end) continue;
            const double sn =
                (col_.sig_node[i] + col_.node_useep[i]) + col_.node_dsigv[i] * lf + xn[i] - un[i];
            if (u) u[i] = un[i];
            if (sigv) sigv[i] = sn;
            if (!en && !kn && !end) continue;
            double e, k = 0.0;
            if (!end) {
                const double wl = S[i] / (S[i - 1] + S[i]);  // inverse distance weights
                e = wl * e_[i - 1] + (1.0 - wl) * e_[i];
                if (kn) k = std::exp(wl * lk[i - 1] + (1.0 - wl) * lk[i]);
            } else {
                // An end node: the state of its element carried to the node's stress.
                // At a drained end that is the whole load from the start: where the
                // compression line cannot carry it the run stops before this output
                // (its elements would follow), so that no written state has e <= 0.
                // Checked whatever the caller keeps: the run is the same.
                const int c = i == 0 ? 0 : N - 1;
                const Material& m = col_.mat[c];
                e = sn > 0.0 ? m.e_of(std::min(ep_[c], m.P(sn)), sn) : e_[c];
                k = m.k(e);
                if (!(e > 0.0 && k > 0.0 && k < INFINITY)) {
                    char buf[200];
                    std::snprintf(buf, sizeof buf,
                                  "the %s at the %s node would be %.4g at an effective stress of "
                                  "%.4g kPa (the compression line cannot carry the load there)",
                                  e > 0.0 ? "permeability" : "void ratio",
                                  i == 0 ? "top" : "bottom", e > 0.0 ? k : e, sn);
                    throw StepFailure(t_, buf, c, e > 0.0 ? "permeability" : "void ratio");
                }
            }
            if (en) en[i] = e;
            if (kn) kn[i] = k;
        }
    }
    st_.columns = j + 1;
    if (cb_.on_output) cb_.on_output(j, j == 0 ? 0.0 : time_[j - 1]);
}

// Output column j at the time t passed by the last accepted step, from the
// polynomial through the stage's levels (the last three, two after the
// first step of a stage): the interpolant of the BDF2 solution, of its
// order.  With loading over time, u less the loading's total stress is
// interpolated and the stress at t added, as the predictor does: the same on
// a ramp, and no overshoot of a kink inside the step's levels.  s' (total
// stress less u) and the void ratios stay smooth through a kink.
void Runner::write_between(int j, double t) {
    const double x = t - t0_;
    double l[3] = {0.0, 0.0, 0.0};
    if (nlev_ == 2) {
        l[0] = (x - ht_[1]) / (ht_[0] - ht_[1]);
        l[1] = 1.0 - l[0];
    } else {
        const double x0 = ht_[0], x1 = ht_[1], x2 = ht_[2];
        l[0] = (x - x1) * (x - x2) / ((x0 - x1) * (x0 - x2));
        l[1] = (x - x0) * (x - x2) / ((x1 - x0) * (x1 - x2));
        l[2] = (x - x0) * (x - x1) / ((x2 - x0) * (x2 - x1));
    }
    const int n = nlev_;
    // The settlement from its own levels (the sum of the elements' would
    // give the same but for rounding); the element states only as far as
    // the histories kept need them.
    double settle = 0.0;
    for (int k = 0; k < n; ++k) settle += l[k] * hs_[k];
    const Output& o = out_;
    // The end nodes' states are checked whatever is kept (write), and they
    // need u, e and the preconsolidation: those are always interpolated.
    const bool need_u = true, need_e = true, need_ep = true;
    const bool need_s = o.sigve != nullptr;
    const bool loads = path_.active() && need_u;
    if (loads) {
        path_.values(t, pv_);
        sig_step_ = sig_tot_;
        path_.add_loads(pv_, sig_step_);
        loading_stress(settle, lnow_);
    }
    auto blend = [&](const std::vector<double>* lev, std::vector<double>& v) {
        v.resize(N_);
        for (int i = 0; i < N_; ++i) {
            double a = 0.0;
            for (int k = 0; k < n; ++k) a += l[k] * lev[k][i];
            v[i] = a;
        }
    };
    if (need_u) {
        iu_.resize(N_);
        for (int i = 0; i < N_; ++i) {
            double a = 0.0;
            for (int k = 0; k < n; ++k) a += l[k] * (hu_[k][i] - (loads ? hL_[k][i] : 0.0));
            iu_[i] = loads ? a + lnow_[i] : a;
        }
    }
    if (need_e) blend(he_, ie_);
    if (need_ep) blend(hep_, iep_);
    if (need_s) blend(hsg_, is_);
    std::swap(u_, iu_);
    std::swap(e_, ie_);
    std::swap(ep_, iep_);
    std::swap(s_, is_);
    write(j, load_, t, &settle);
    std::swap(u_, iu_);
    std::swap(e_, ie_);
    std::swap(ep_, iep_);
    std::swap(s_, is_);
}

void Runner::run() {
    const int Nt = static_cast<int>(time_.size());
    last_poll_ = std::chrono::steady_clock::now();
    u_.resize(N_);
    ep_.resize(N_);
    e_ = col_.e0;
    s_.resize(N_);
    sig_tot_.resize(N_);
    for (auto& v : hu_) v.resize(N_);
    for (auto& v : he_) v.resize(N_);
    for (auto& v : hep_) v.resize(N_);
    for (auto& v : hsg_) v.resize(N_);
    cells_.resize(N_);
    trial_.resize(N_);
    inv_S_.resize(N_);
    for (int i = 0; i < N_; ++i) inv_S_[i] = 1.0 / col_.S[i];

    // Scales: the largest pore pressure the loads can cause, and a settlement
    // below which the settlement error is measured absolutely.
    double lfmax = 0.0;
    for (double f : lf_) lfmax = std::max(lfmax, std::fabs(f));
    U_ = 0.0;
    double smax = 0.0;
    for (int i = 0; i < N_; ++i) {
        U_ = std::max(U_, std::fabs(col_.dsigv[i]) * lfmax + std::fabs(col_.ru[i] * col_.sigma0[i]));
        if (path_.active())
            U_ = std::max(U_, std::fabs(col_.dsigv[i]) * lfmax +
                                  std::fabs(col_.ru[i] * col_.sigma0[i]) + path_.scale(i));
        smax = std::max(smax, col_.sigma0[i]);
        Ssum_ += col_.S[i];
    }
    U_ = std::max(U_, drain_scale(col_.drains));  // a vacuum through the drains
    if (!(U_ > 1e-6 * smax)) U_ = 1e-3 * smax;
    for (int i = 0; i < N_; ++i)
        s_floor_ += 0.1 * col_.S[i] * col_.mat[i].Cc * std::log10(1.0 + U_ / col_.sigma0[i]);
    s_floor_ = std::max(s_floor_, 1e-12 * Ssum_);
    ntol_ = 0.1 * opt_.rtol * U_;
    stol_ = 0.1 * opt_.rtol * s_floor_;

    for (const Fill& F : path_.loading().fills) {
        if (F.water_level.empty()) continue;
        double imax = F.influence.empty() ? 1.0 : 0.0;
        for (double x : F.influence) imax = std::max(imax, std::fabs(x));
        wscale_ = std::max(wscale_, imax * std::fabs(F.unit_weight - F.saturated_unit_weight +
                                                     col_.gammaw));
    }

    // t = 0: the first load factor acts at once, undrained, and so do the
    // loading's values just after 0, over the seepage's pore pressures.
    load_ = lf_.empty() ? 0.0 : lf_[0];
    std::vector<double> x0(N_, 0.0);
    if (path_.active()) {
        path_.values(0.0, pv_);
        path_.add_loads(pv_, x0);
        if (path_.coupled()) {
            path_.fill_loads(pv_, 0.0, q_, dq_);
            path_.add_fills(q_, x0);
        }
    }
    for (int i = 0; i < N_; ++i) {
        const Material& m = col_.mat[i];
        s_[i] = col_.sigma0[i] * (1.0 - col_.ru[i]);
        u_[i] = col_.dsigv[i] * load_ + col_.ru[i] * col_.sigma0[i];
        if (path_.active()) u_[i] += col_.useep[i] + x0[i];
        ep_[i] = e_[i] + m.Cr * std::log10(s_[i] / m.sigvref);
        if (ep_[i] > m.P(s_[i])) {  // put on the compression line
            ep_[i] = m.P(s_[i]);
            e_[i] = m.e_of(ep_[i], s_[i]);
        }
        sig_tot_[i] = (col_.sigma0[i] + col_.useep[i]) + col_.dsigv[i] * load_;
    }
    write(0, load_, 0.0);

    double h = 0.0, hfirst = 0.0;
    bool restart = true;
    // Output times do not end sub-steps: each is written from the accepted
    // steps around it (write_between); the steps land on the changes of the
    // load factor and on the loading's corners only.  jo: the next output.
    int jo = 0;
    auto written = [&](int jend) {
        for (; jo <= jend && time_[jo] <= t_; ++jo) {
            if (time_[jo] == t_ || nlev_ < 2) write(jo + 1, load_, t_);
            else write_between(jo + 1, time_[jo]);
        }
    };
    // Times within the run the sub-steps land on besides the output times.
    const auto breaks = drain_breaks(col_.drains, Nt ? time_[Nt - 1] : 0.0);
    size_t next_break = 0;
    for (int j = 0; j < Nt;) {
        if (j > 0 && lf_[j] != lf_[j - 1]) {
            const double dl = lf_[j] - lf_[j - 1];
            for (int i = 0; i < N_; ++i) {
                u_[i] += col_.dsigv[i] * dl;
                sig_tot_[i] = (col_.sigma0[i] + col_.useep[i]) + col_.dsigv[i] * lf_[j];
            }
            load_ = lf_[j];
            restart = true;
        }
        // The output times up to the next change of the load factor.
        int jend = j;
        while (jend + 1 < Nt && lf_[jend + 1] == lf_[j]) ++jend;
        const double t_end = time_[jend];
        if (cross_corners()) restart = true;  // those at the last stop
        written(jend);
        while (t_ < t_end) {
            // The sub-steps land on every change of the load factor, every corner of the
            // loading and the drains' times (installation, corners of their
            // pore pressure).
            while (next_break < breaks.size() && breaks[next_break].time <= t_) ++next_break;
            const double drain_time =
                next_break < breaks.size() ? breaks[next_break].time : LoadPath::kNone;
            const double stop = std::min({t_end, path_.next_corner(), drain_time});
            if (restart) {
                nlev_ = 1;
                t0_ = t_;
                tl_ = 0.0;
                ht_[0] = 0.0;
                hu_[0] = u_;
                he_[0] = e_;
                hep_[0] = ep_;
                hsg_[0] = s_;
                double settle = 0.0;
                for (int i = 0; i < N_; ++i) settle += col_.S[i] * (col_.e0[i] - e_[i]);
                hs_[0] = settle;
                if (path_.active()) {
                    path_.values(t_, pv_);
                    sig_step_ = sig_tot_;
                    path_.add_loads(pv_, sig_step_);
                    loading_stress(settle, hL_[0]);
                }
                // The floor below counts from the first step the stage can take:
                // no longer than the way to the next stop (a column that
                // hardly drains has a relaxation time far beyond it).
                h = restart_step();
                hfirst = std::min(h, stop - t_);
                probes_ = 6;
                probe_h_ = probe_err_ = 0.0;
                restart = false;
            }
            const double remaining = (stop - t0_) - tl_;
            double hs = h;
            bool land = false;
            if (hs >= remaining * (1.0 - 1e-12)) {
                hs = remaining;
                land = true;
            } else if (hs > 0.5 * remaining) {
                hs = 0.5 * remaining;
            }
            if (nlev_ >= 3) hs = std::min(hs, 2.0 * (ht_[0] - ht_[1]));
            if (hs < remaining * (1.0 - 1e-12)) land = false;
            // A run that cannot go on: the step has shrunk far below the
            // stage's own first step (the finest element's relaxation time, or
            // the way to the next stop if that is shorter),
            // or to a few digits of the time since the load change.
            const double hmin = std::max(1e-6 * hfirst, 64.0 * kEps * tl_);
            if (hs <= hmin && !land) {
                char buf[160];
                std::snprintf(buf, sizeof buf,
                              "no sub-step longer than %.3g days is accepted at t = %.9g, %.3g "
                              "days after the load change at t = %.9g (",
                              hmin, t_, tl_, t0_);
                throw StepFailure(t_, buf + why_ + ")", fail_elem_, fail_qty_);
            }
            if (st_.substeps + st_.rejected >= opt_.max_substeps) {
                char buf[96];
                std::snprintf(buf, sizeof buf, "max_substeps (%ld) reached at t = %.9g",
                              opt_.max_substeps, t_);
                throw StepFailure(t_, buf, fail_elem_, fail_qty_);
            }
            double err = 0.0;
            int order = 1;
            const double tl_before = tl_;
            if (land) probes_ = 0;  // a step to the stop is as long as it can be
            const bool solved = try_step(hs, err, order);
            poll();
            if (!solved) {
                ++st_.rejected;
                h = 0.25 * hs;
                continue;
            }
            const double fac = 0.9 * std::pow(std::max(err, 1e-10), -1.0 / (order + 1));
            if (tl_ == tl_before && err <= 1.0) {
                // A stage's first step far inside the tolerance: a trial, which
                // sets the first step from the stage's own scales instead of
                // the finest element's relaxation time.  The error of a first
                // step grows far more slowly than h^2 (the drainage from a
                // jump is self-similar, and the filter damps what drains
                // within the step), so after two trials the next comes from
                // the growth they show, aiming at half the tolerance; up to
                // 100 times longer per trial.
                double grow = fac;
                if (probe_h_ > 0.0 && err > probe_err_ && probe_err_ > 0.0) {
                    const double p = std::log(err / probe_err_) / std::log(hs / probe_h_);
                    if (p > 0.0) grow = std::pow(0.5 / err, 1.0 / p);
                }
                probe_h_ = hs;
                probe_err_ = err;
                --probes_;
                ++st_.probes;
                h = hs * std::max(1.0, std::min(100.0, grow));
                continue;
            }
            if (tl_ == tl_before) {  // rejected on its error estimate
                why_ = "the time error of the " + fail_qty_ + " stays above rtol";
                ++st_.rejected;
                h = hs * std::max(0.2, std::min(0.9, fac));
                continue;
            }
            ++st_.substeps;
            probes_ = 0;
            if (land) {
                t_ = stop;
                tl_ = ht_[0] = stop - t0_;
                // Drains installed, or a jump of their pore pressure: start afresh.
                if (t_ == drain_time && breaks[next_break].jump) restart = true;
            }
            written(jend);  // before a jump at t_: the state just before it
            if (land && t_ < t_end && cross_corners()) restart = true;
            // The next step: from the error, and never shorter than the wanted
            // step because the last one was cut to land on an output time.
            const double hn = hs * std::min(2.0, std::max(0.2, fac));
            h = land ? std::max(hn, h) : hn;
        }
        written(jend);
        j = jend + 1;
    }
}

}  // namespace

namespace {

// The cells of one trial, with the run's per-element constants made afresh
// (for the tests' entry points).
bool cells_at(const Column& col, const std::vector<double>& ep0, const std::vector<double>& s0,
              const std::vector<double>& sig_tot, double dt, const std::vector<double>& u,
              Cells& c) {
    c.resize(col.N);
    const Props p(col);
    StepConst sc;
    sc.set(p, ep0, dt);
    return evaluate_cells(col, p, sc, ep0, s0, sig_tot, u, c);
}

}  // namespace

bool step_residual(const Column& col, const std::vector<double>& ep0, const std::vector<double>& s0,
                   const std::vector<double>& sig_tot, const std::vector<double>& hist, double a0,
                   double dt, double t0, const std::vector<double>& u, StepSystem& sys) {
    Cells c;
    if (!cells_at(col, ep0, s0, sig_tot, dt, u, c)) return false;
    Faces w;
    assemble(col, c, std::vector<double>(col.N, 0.0), hist, a0, dt, t0, u, sys, w);
    return true;
}

bool step_residual(const Column& col, const std::vector<double>& ep0, const std::vector<double>& s0,
                   const std::vector<double>& sig_tot, const std::vector<double>& hist, double a0,
                   double dt, const std::vector<double>& u, StepSystem& sys) {
    return step_residual(col, ep0, s0, sig_tot, hist, a0, dt, 0.0, u, sys);
}

bool step_residual(const Column& col, const std::vector<double>& ep0, const std::vector<double>& s0,
                   const std::vector<double>& sig_tot, const std::vector<double>& hist, double a0,
                   double dt, const std::vector<double>& u, const StepLoad& load, double s,
                   StepSystem& sys) {
    const int N = col.N;
    std::vector<double> sig = sig_tot, w(N, 0.0);
    for (const auto& F : load.fills) {
        double dq;
        const double q = fill_load(F.g, F.gs, col.gammaw, F.H, F.hw, s, dq);
        for (int c = 0; c < N; ++c) {
            sig[c] += F.influence[c] * q;
            w[c] += F.influence[c] * dq;
        }
    }
    Cells c;
    if (!cells_at(col, ep0, s0, sig, dt, u, c)) return false;
    Faces f;
    assemble(col, c, std::vector<double>(col.N, 0.0), hist, a0, dt, 0.0, u, sys, f, load.top,
             load.bottom);
    bool uniform = true;
    for (int i = 1; i < N; ++i) uniform &= w[i] == w[0];
    std::vector<double> dF;
    border(col, c, w, uniform, f, a0, dt, u, load.top, load.bottom, s, sys, dF);
    drain_border(col.drains, N, c.e.data(), c.dedu.data(), c.K.data(), c.dKdu.data(),
                 col.S.data(), u.data(), col.drainage == 2 ? load.bottom : load.top, w.data(),
                 uniform, dt, 0.0, dt, sys.b.data());
    return true;
}

double bordered_solve(const StepSystem& sys, std::vector<double>& r, double z) {
    std::vector<double> x1, work;
    return bordered(sys, r, z, x1, work);
}

bool cell_states(const Column& col, const std::vector<double>& ep0, const std::vector<double>& s0,
                 const std::vector<double>& sig_tot, double dt, const std::vector<double>& u,
                 std::vector<double>& ep, std::vector<double>& e, std::vector<double>& dedu) {
    Cells c;
    if (!cells_at(col, ep0, s0, sig_tot, dt, u, c)) return false;
    ep = c.ep;
    e = c.e;
    dedu = c.dedu;
    return true;
}

void solve(const Column& col, const std::vector<double>& time, const std::vector<double>& loadfactor,
           const Options& opt, Output& out, const Callbacks& cb, Stats& stats) {
    solve(col, time, loadfactor, Loading{}, opt, out, cb, stats);
}

void solve(const Column& col, const std::vector<double>& time, const std::vector<double>& loadfactor,
           const Loading& loading, const Options& opt, Output& out, const Callbacks& cb,
           Stats& stats) {
    if (time.size() != loadfactor.size())
        throw InputError("loadfactor", -1, "time and loadfactor must have the same length");
    for (size_t j = 0; j < time.size(); ++j) {
        if (!std::isfinite(time[j]) || time[j] < 0.0 || (j > 0 && time[j] < time[j - 1]))
            throw InputError("time", static_cast<int>(j),
                             "time must be finite, >= 0 and non-decreasing (entry " +
                                 std::to_string(j) + ")");
        if (!std::isfinite(loadfactor[j]))
            throw InputError("loadfactor", static_cast<int>(j),
                             "loadfactor is not finite (entry " + std::to_string(j) + ")");
    }
    // Once the pore pressure has dissipated the effective stress is the total one.
    for (size_t j = 0; j < loadfactor.size(); ++j)
        for (int c = 0; c < col.N; ++c)
            if (!(col.sigma0[c] + col.dsigv[c] * loadfactor[j] > 0.0))
                throw InputError("loadfactor", static_cast<int>(j),
                                 "loadfactor entry " + std::to_string(j) + " (" +
                                     std::to_string(loadfactor[j]) +
                                     ") leaves no positive effective stress in element " +
                                     std::to_string(c) + " (nodes " + std::to_string(c) + " and " +
                                     std::to_string(c + 1) + ") once the pore pressure dissipates");
    if (!(opt.rtol > 0.0) || !(opt.rtol < 1.0)) throw InputError("rtol", -1, "rtol must lie in (0, 1)");
    if (opt.max_newton < 1) throw InputError("max_newton", -1, "max_newton must be >= 1");
    if (opt.max_substeps < 1) throw InputError("max_substeps", -1, "max_substeps must be >= 1");
    check_loading(col, loading);
    Runner(col, time, loadfactor, loading, opt, out, cb, stats).run();
}

}  // namespace pelorin::engine
