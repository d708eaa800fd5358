// The load change and the trial state of a pass, beside the soil relations
// they must match operation for operation: get_avtest, get_etest and
// get_ktest of src/soil/soil.cpp, the creep rate factor of
// src/solver/creep.hpp, and the node-by-node load change, derive and trial
// positions of the run (src/driver/run.cpp).  Also the caches of a step
// (the quotients of step values the residual, src/solver/residual.cpp, and
// the Newton step, src/solver/utest2.cpp, divide).
#include "kernels.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pelorin::driver {

namespace {

// get_avtest with the preconsolidation stress sm of the step.
inline double avtest_of(double sl, double st, double sm, double Cc, double Cr, bool& bad,
                        Fused::Counts& n) {
    double De;
    if (sl >= sm && st > sl) {
        De = Cc * log10_(q(st, sl, bad));
        ++n.log10;
    } else if (st < sm || st < sl) {
        De = Cr * log10_(q(st, sl, bad));
        ++n.log10;
    } else {
        const double virgin = Cc * log10_(q(st, sm, bad));
        De = virgin + Cr * log10_(q(sm, sl, bad));
        n.log10 += 2;
    }
    const bool first = std::fabs(q(sm - sl, sl, bad)) < kTangentBand;
    if (first && std::fabs(q(sl - st, st, bad)) < kTangentBand)
        return q(q(Cc, sl, bad), ln10, bad);
    if (st < sm && std::fabs(q(sl - st, st, bad)) < kTangentBand)
        return q(q(Cr, sl, bad), ln10, bad);
    return q(De, st - sl, bad);
}

}  // namespace

// The load change, and the caches of the step: the preconsolidation stress
// is what get_avtest computes from (elast, sigvlast) and the soil, which stay
// the same through the step; the previous state's creep rate factor is
// creep::rate_factor(elast, sigvlast) of the residual and the trial step and
// get_etest's B (the same sum, its terms swapped); the creep factor is
// creep::term's f, whose inputs (alpha, dt, tref, elast) are those of the step.
void Fused::load_change(bool apply, double loadfactor, double dt, double* u) {
    parts(0, N + 1, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, int part) {
        std::vector<std::ptrdiff_t>& chk = part_checked_[part];
        chk.clear();
        Counts& n = counts_of(part);
        for (std::ptrdiff_t i = lo; (i = load_change_from(i, hi, apply, loadfactor, dt, u, n)) < hi;
             ++i)
            chk.push_back(i);
    });
    gather();
}

void Fused::gather() {
    checked_.clear();
    for (const auto& c : part_checked_) checked_.insert(checked_.end(), c.begin(), c.end());
    part_checked_[1].clear();
}

// Nodes i0 .. i1 - 1 up to the first whose compressibility must go through
// the checked call (returned; i1 when none).
std::ptrdiff_t Fused::load_change_from(std::ptrdiff_t i0, std::ptrdiff_t i1, bool apply,
                                       double loadfactor, double dt, double* u, Counts& n) {
    for (std::ptrdiff_t i = i0; i < i1; ++i) {
        interrupt_point(i);
        if (apply) {
            r.dsigvsub[i] = loadfactor * dsigv[i];
            r.ulast[i] = (r.dsigvsub[i] + r.ulast[i]) - r.dsigvsublast[i];
            r.dsigvsublast[i] = r.dsigvsub[i];
        }
        r.ktest[i] = r.klast[i];
        r.ztest[i] = r.zlast[i];
        r.sigvtest[i] = r.sigvlast[i];
        r.etest[i] = r.elast[i];
        u[i] = r.ulast[i];

        const double el = r.elast[i], sl = r.sigvlast[i];
        const double dC = Cc[i] - Cr[i];
        sm_ok[i] = dC != 0.0;
        if (sm_ok[i]) {
            sigmap[i] = pow10_(
                (((esigvref[i] - el) + Cc[i] * lsr[i]) - Cr[i] * log10_(sl)) / dC);
            ++n.pow;
            ++n.log10;
        }
        const double al = alpha[i];
        al_ok[i] = al > 0.0 && sigvref[i] != 0.0;
        if (al_ok[i]) {
            Al[i] = exp_((el - esigvref[i]) / al + coa[i] * log10_(sl / sigvref[i]));
            ++n.exp;
            ++n.log10;
        }
        fq_ok[i] = al > 0.0 && tref[i] != 0.0 && 1.0 + el != 0.0;
        if (fq_ok[i]) fq[i] = ((0.5 * al * dt) / tref[i]) / (1.0 + el);

        if (!sm_ok[i]) return i;
        bool bad = false;
        const double av = avtest_of(sl, sl, sigmap[i], Cc[i], Cr[i], bad, n);
        if (bad) return i;
        r.avtest[i] = av;
    }
    return i1;
}

void Fused::step(double dt) {
    const double *zl = r.zlast, *ul = r.ulast, *kl = r.klast, *el = r.elast;
    Thg = (dt * 0.5) / gammaw;
    T8g = (dt * 0.125) / gammaw;
    mdg = (-dt) / gammaw;
    t8_scaled = in_range(Thg) && T8g == Thg * 0.25;
    md_scaled = in_range(Thg) && mdg == Thg * -2.0;
    parts(0, N + 1, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, int) {
        for (std::ptrdiff_t i = lo; i < hi; ++i) {
            interrupt_point(i);
            bool bad = false, badt = false;
            const double onepe = 1 + el[i];
            const double al = alpha[i];
            if (al > 0.0) {
                Fe[i] = q(dt * 0.5 * al, tref[i], badt);
                dAe[i] = q(dt * (-0.5), tref[i], badt);
            }
            h5[i] = q(dt * 0.5, tref[i], badt);
            gt[i] = q(Cc[i] * 0.5 * dt, tref[i], badt);
            rde[i] = q(h5[i], onepe, bad);
            g0[i] = q(dt * 0.5 * Cc[i], ln10, bad);
            if (sm_ok[i])
                tan1[i] =
                    std::fabs(q(sigmap[i] - r.sigvlast[i], r.sigvlast[i], bad)) < kTangentBand;
            if (i >= 1 && i <= N - 1) {
                const double dzlast = (zl[i + 1] - zl[i - 1]) * 0.5;
                ddz[i] = q(dzlast, onepe, bad);
                cl[i] = q(q(kl[i] * ((ul[i + 1] - 2.0 * ul[i]) + ul[i - 1]), dzlast, bad), dzlast,
                          bad);
                gl[i] = q(q((kl[i + 1] - kl[i - 1]) * (ul[i + 1] - ul[i - 1]), dzlast, bad), dzlast,
                          bad);
            }
            st_ok[i] = !bad;
            ck_ok[i] = !badt;
        }
    });
}

void Fused::forget_step(std::ptrdiff_t i) {
    sm_ok[i] = al_ok[i] = fq_ok[i] = 0;
}

void Fused::forget_pass(std::ptrdiff_t i) { at_ok[i] = p_ok[i] = sn_ok[i] = 0; }

namespace {

// The trial state of a block of nodes b0 + k, k in [0, nb), phase by phase:
// vector loops for the arithmetic, scalar loops for the transcendental
// functions in between.  Node arrays are indexed by i = b0 + k, the block's
// own by k.
struct DeriveIn {
    const double *ul, *sl, *el, *u, *et, *sigmap, *sigvref, *esigvref, *Cc, *Cr, *coa, *alpha,
        *Al, *Fe, *dAe, *ekref, *Ck;
    const std::int64_t *sm_ok, *st_ok, *ck_ok, *al_ok, *tan1;
    double eps;  // of d(avtest)/d(sigvtest): pa 1e-10
};

struct Block {
    static constexpr std::ptrdiff_t kSize = simd::kBlock;
    double st[kSize], la[kSize], lb[kSize], rat[kSize], L1[kSize], L2[kSize], G[kSize],
        av[kSize], e[kSize], x[kSize], A[kSize], res[kSize], du[kSize], g[kSize], eps[kSize],
        pe[kSize], pw[kSize], dres[kSize], en[kSize];
    // Branch of get_avtest (0: virgin, 1: unloading or reloading, 2: across
    // the preconsolidation stress); mode 0: closed form, 1: creep
    // iteration, 2: through the checked calls; updates of the iteration
    // (-1: gave up).
    std::int64_t br[kSize], mode[kSize], it[kSize];
    // How many logs d(avtest)/d(sigvtest) takes of the arguments la, lb
    // (the same as get_avtest's log10: the same quotients).
    std::int64_t nl[kSize];
};

// Effective stress and the arguments of the logs.
PELORIN_VECTOR void trial_args(const DeriveIn& in, Block& bl, std::ptrdiff_t nb) {
    const double *ul = in.ul, *slv = in.sl, *u = in.u, *sigmap = in.sigmap,
                 *sigvref = in.sigvref;
#pragma GCC ivdep
    for (std::ptrdiff_t k = 0; k < nb; ++k) {
        const double sl = slv[k], sm = sigmap[k];
        const double st = (ul[k] + sl) - u[k];
        const bool c1 = (sl >= sm) & (st > sl);
        const bool c2 = (!c1) & ((st < sm) | (st < sl));
        bl.st[k] = st;
        bl.br[k] = c1 ? 0 : (c2 ? 1 : 2);
        const double across = st / sm, within = st / sl;
        const bool virgin = !(c1 | c2);
        bl.la[k] = pick(virgin, across, within);
        bl.lb[k] = sm / sl;
        bl.rat[k] = st / sigvref[k];
        const bool far = std::fabs((st - sl) / sl) > in.eps;
        bl.nl[k] = far * (1 + virgin);
    }
}

// get_avtest from the logs, and the start of the void-ratio iteration
// (or its closed forms).
PELORIN_VECTOR void trial_start(const DeriveIn& in, Block& bl, std::ptrdiff_t nb,
                                bool closed) {
    const double *ul = in.ul, *slv = in.sl, *el = in.el, *u = in.u, *et = in.et,
                 *sigmap = in.sigmap, *esigvref = in.esigvref, *Cc = in.Cc, *Cr = in.Cr,
                 *coa = in.coa, *alpha = in.alpha;
    const std::int64_t *sm_ok = in.sm_ok, *st_ok = in.st_ok, *ck_ok = in.ck_ok,
                       *al_ok = in.al_ok, *tan1 = in.tan1;
#pragma GCC ivdep
    for (std::ptrdiff_t k = 0; k < nb; ++k) {
        const double sl = slv[k], sm = sigmap[k], st = bl.st[k], cc = Cc[k], cr = Cr[k];
        const std::int64_t br = bl.br[k];
        const double L1 = bl.L1[k];
        const double virgin = cc * L1;
        const double De = pick(br == 0, virgin, pick(br == 1, cr * L1, virgin + cr * bl.L2[k]));
        const bool near = std::fabs((sl - st) / st) < kTangentBand;
        const bool t1 = (tan1[k] == 1) & near;
        const bool t2 = (!t1) & (st < sm) & near;
        const double av = pick(t1, cc / sl / ln10, pick(t2, cr / sl / ln10, De / (st - sl)));
        bl.av[k] = av;
        // The checked divisions get_avtest makes.
        const bool zero = (sl == 0.0) | ((br == 2) & (sm == 0.0)) |
                          (((tan1[k] == 1) | (st < sm)) & (st == 0.0)) |
                          ((!(t1 | t2)) & (st - sl == 0.0));
        const double al = alpha[k];
        const bool creep = al > 0.0;
        const double ut = u[k], ulk = ul[k], elk = el[k];
        const std::int64_t flagged = (sm_ok[k] & st_ok[k] & ((!creep) | (ck_ok[k] & al_ok[k]))) ^ 1;
        bl.mode[k] = (flagged | zero) ? 2 : (creep ? 1 : 0);
        bl.du[k] = (ut - ulk) * av;
        const double g = coa[k] * bl.G[k];
        bl.g[k] = g;
        const double ee = et[k];
        bl.x[k] = (ee - esigvref[k]) / al + g;
        bl.e[k] = pick(creep, ee, pick(closed, elk - (ulk - ut) * av, elk + av * (ut - ulk)));
    }
}

// The next update of the void-ratio iteration of every node of the block
// (used for the nodes still iterating): the slope of its residual, the new
// void ratio and the exponent of its rate factor.
PELORIN_VECTOR void trial_update(const DeriveIn& in, Block& bl, std::ptrdiff_t nb) {
    const double *dAe = in.dAe, *esigvref = in.esigvref, *alpha = in.alpha;
#pragma GCC ivdep
    for (std::ptrdiff_t k = 0; k < nb; ++k) {
        const double dres = dAe[k] * bl.A[k] - 1.0;
        const double ee = bl.e[k] - bl.res[k] / dres;
        bl.dres[k] = dres;
        bl.en[k] = ee;
        bl.x[k] = (ee - esigvref[k]) / alpha[k] + bl.g[k];
    }
}

// Strain and the permeability exponent.
PELORIN_VECTOR std::ptrdiff_t trial_strain(
    const DeriveIn& in, Block& bl, std::ptrdiff_t nb) {
    const double *el = in.el, *ekref = in.ekref, *Ck = in.Ck;
    std::int64_t any = 0;
#pragma GCC ivdep
    for (std::ptrdiff_t k = 0; k < nb; ++k) {
        const double elk = el[k], e = bl.e[k];
        bl.eps[k] = (elk - e) / (elk + 1);
        bl.pe[k] = (e - ekref[k]) / Ck[k];
        any |= (bl.mode[k] == 2) | (elk + 1 == 0.0) | (Ck[k] == 0.0);
    }
    if (!any) return nb;
    // The first node that goes through the checked calls.
    for (std::ptrdiff_t k = 0; k < nb; ++k)
        if (bl.mode[k] == 2 || el[k] + 1 == 0.0 || Ck[k] == 0.0) return k;
    return nb;
}

// D = 1 + d(creep)/de and the void-ratio slope avtest / D of nodes [0, n)
// (sn_ok: the node creeps, its rate factor and step factors are there, and
// D is not 0).
PELORIN_VECTOR void node_slopes(
    const double* alpha, const double* At, const double* h5, const double* av,
    const std::int64_t* at_ok, const std::int64_t* ck_ok, double* Dn, double* Sn,
    std::int64_t* sn_ok, std::ptrdiff_t n) {
#pragma GCC ivdep
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const double d = At[j] * h5[j] + 1;
        Dn[j] = d;
        Sn[j] = av[j] / d;
        sn_ok[j] = (alpha[j] > 0.0) & at_ok[j] & ck_ok[j] & (d != 0.0);
    }
}


// The trial state of nodes [0, n) of the block into the run's arrays, and
// whether get_etest returned -1 for any (given up, or a void ratio of
// exactly -1).
struct TrialOut {
    double *sigvtest, *avtest, *etest, *epsvtest, *ktest, *P, *At, *la, *lb;
    const double* kref;
    std::int64_t *p_ok, *at_ok, *nlog;
};

PELORIN_VECTOR std::int64_t trial_write(const Block& bl, const TrialOut& to, std::ptrdiff_t n,
                                        bool closed) {
    double *sigvtest = to.sigvtest, *avtest = to.avtest, *etest = to.etest,
           *epsvtest = to.epsvtest, *ktest = to.ktest, *P = to.P, *At = to.At, *la = to.la,
           *lb = to.lb;
    const double* kref = to.kref;
    std::int64_t *p_ok = to.p_ok, *at_ok = to.at_ok, *nlog = to.nlog;
    std::int64_t minus1 = 0;
#pragma GCC ivdep
    for (std::ptrdiff_t k = 0; k < n; ++k) {
        const double e = bl.e[k];
        sigvtest[k] = bl.st[k];
        avtest[k] = bl.av[k];
        etest[k] = e;
        epsvtest[k] = bl.eps[k];
        ktest[k] = kref[k] * bl.pw[k];
        P[k] = bl.pw[k];
        p_ok[k] = 1;
        const bool creep = bl.mode[k] == 1;
        at_ok[k] = creep & (bl.it[k] >= 0);
        At[k] = bl.A[k];
        la[k] = bl.la[k];
        lb[k] = bl.lb[k];
        nlog[k] = bl.nl[k];
        minus1 |= (creep | !closed) & (e == -1.0);
    }
    return minus1;
}

}  // namespace

// The trial state (Runner::derive with get_avtest, get_etest and get_ktest).
// The creep rate factor A of the void ratio the iteration returns is kept:
// it is creep::rate_factor(etest, sigvtest) of the residual and the E of the
// Newton step for the node's own alpha.  10^((e - ekref)/Ck) is kept for the
// Newton step's dk/de.
void Fused::derive(bool closed_form_without_creep, double dt, const double* u,
                   bool& bad_void_ratio) {
    (void)dt;  // in the step's factors
    bool minus1[2] = {false, false};
    parts(0, N + 1, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, int part) {
        std::vector<std::ptrdiff_t>& chk = part_checked_[part];
        chk.clear();
        Counts& n = counts_of(part);
        for (std::ptrdiff_t i = lo;
             (i = derive_from(i, hi, closed_form_without_creep, u, minus1[part], n)) < hi; ++i)
            chk.push_back(i);
    });
    if (minus1[0] || minus1[1]) bad_void_ratio = true;
    gather();
}

// Nodes i0 .. i1 - 1 up to the first that must go through the checked calls
// (returned, nothing of it written; i1 when none).
std::ptrdiff_t Fused::derive_from(std::ptrdiff_t i0, std::ptrdiff_t i1,
                                  bool closed_form_without_creep, const double* u,
                                  bool& bad_void_ratio, Counts& n) {
    // Each node sees the operations of the node-by-node pass in their
    // order; only nodes are interleaved (they are independent), so that the
    // divisions vectorise and the independent transcendentals overlap.
    Block bl;
    for (std::ptrdiff_t b0 = i0; b0 < i1; b0 += Block::kSize) {
        const std::ptrdiff_t nb = std::min(Block::kSize, i1 - b0);
        // The interruption point of the block's multiple of 2^14, if any.
        const std::ptrdiff_t mark = (b0 + nb - 1) & ~std::ptrdiff_t{0x3FFF};
        if (mark >= b0) interrupt_point(mark);
        const DeriveIn in{r.ulast + b0,       r.sigvlast + b0,    r.elast + b0,
                          u + b0,             r.etest + b0,       sigmap.data() + b0,
                          sigvref.data() + b0, esigvref.data() + b0, Cc.data() + b0,
                          Cr.data() + b0,     coa.data() + b0,    alpha.data() + b0,
                          Al.data() + b0,     Fe.data() + b0,     dAe.data() + b0,
                          ekref.data() + b0,
                          Ck.data() + b0,     sm_ok.data() + b0,  st_ok.data() + b0,
                          ck_ok.data() + b0,  al_ok.data() + b0,  tan1.data() + b0,
                          pa * 1e-10};
        trial_args(in, bl, nb);
        for (std::ptrdiff_t k = 0; k < nb; ++k) {
            if (!(sm_ok[b0 + k] & st_ok[b0 + k])) continue;
            bl.L1[k] = log10_(bl.la[k]);
            ++n.log10;
            if (bl.br[k] == 2) {
                bl.L2[k] = log10_(bl.lb[k]);
                ++n.log10;
            }
            if (alpha[b0 + k] > 0.0) {
                bl.G[k] = log10_(bl.rat[k]);
                ++n.log10;
            }
        }
        trial_start(in, bl, nb, closed_form_without_creep);
        // The iteration's first residual, then its updates (get_etest's
        // loop), a round over the nodes still above the tolerance at a time.
        std::ptrdiff_t active[Block::kSize];
        std::ptrdiff_t nact = 0;
        for (std::ptrdiff_t k = 0; k < nb; ++k) {
            bl.it[k] = 0;
            bl.A[k] = bl.res[k] = 0.0;
            if (bl.mode[k] != 1) continue;
            const std::ptrdiff_t i = b0 + k;
            const double A = exp_(bl.x[k]);
            ++n.exp;
            bl.A[k] = A;
            bl.res[k] = ((bl.du[k] - (Al[i] + A) * Fe[i]) - bl.e[k]) + r.elast[i];
            if (std::fabs(bl.res[k]) > kEtol) active[nact++] = k;
        }
        while (nact > 0) {
            trial_update(in, bl, nb);
            std::ptrdiff_t keep = 0;
            for (std::ptrdiff_t m = 0; m < nact; ++m) {
                const std::ptrdiff_t k = active[m];
                const std::ptrdiff_t i = b0 + k;
                if (bl.dres[k] == 0.0) {
                    bl.mode[k] = 2;
                    continue;
                }
                const double ee = bl.en[k];
                const double A = exp_(bl.x[k]);
                bl.e[k] = ee;
                bl.A[k] = A;
                bl.res[k] = ((bl.du[k] - (Al[i] + A) * Fe[i]) - ee) + r.elast[i];
                ++n.exp;
                if (++bl.it[k] == kMaxUpdates) {
                    // Gave up: the void ratio -1, and no rate factor kept.
                    bl.e[k] = -1.0;
                    bl.it[k] = -1;
                    continue;
                }
                if (std::fabs(bl.res[k]) > kEtol) active[keep++] = k;
            }
            nact = keep;
        }
        // Strain and permeability; the block's nodes are written up to the
        // first flagged one.
        const std::ptrdiff_t upto = trial_strain(in, bl, nb);
        for (std::ptrdiff_t k = 0; k < upto; ++k) bl.pw[k] = pow10_(bl.pe[k]);
        n.pow += upto;
        const TrialOut to{r.sigvtest + b0, r.avtest + b0, r.etest + b0, r.epsvtest + b0,
                          r.ktest + b0,    P.data() + b0, At.data() + b0, la.data() + b0,
                          lb.data() + b0,  kref.data() + b0, p_ok.data() + b0,
                          at_ok.data() + b0, nlog.data() + b0};
        if (trial_write(bl, to, upto, closed_form_without_creep)) bad_void_ratio = true;
        // D = 1 + d(creep)/de and the void-ratio slope avtest / D under the
        // node's own alpha, for the Newton step (the rows of the node and of
        // its neighbours of the same alpha use them).
        node_slopes(alpha.data() + b0, At.data() + b0, h5.data() + b0, r.avtest + b0,
                    at_ok.data() + b0, ck_ok.data() + b0, Dn.data() + b0, Sn.data() + b0,
                    sn_ok.data() + b0, upto);
        if (upto < nb) return b0 + upto;
    }
    return i1;
}

void Fused::positions(double H) {
    double* zt = r.ztest;
    const double* zl = r.zlast;
    zt[N] = H;
    for (std::ptrdiff_t i = N - 1; i >= 0; --i)
        zt[i] = zt[i + 1] - ((zl[i + 1] - zl[i]) - (zl[i + 1] - zl[i]) * r.epsvtest[i]);
}

}  // namespace pelorin::driver
