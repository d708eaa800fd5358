// The passes of a plain run over raw node arrays (see fused.hpp).
//
// Each formula below is the one of the soil relations (soil.cpp), the
// residual (residual.cpp) and the two column solvers (utest.cpp,
// utest2.cpp), with the same operations in the same order; a division
// q(a, b, bad) is the checked one without the throw.  Where a cached value
// stands in for a fresh evaluation, the comment says why its arguments are
// the same bits.
#include "fused.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "../core/interrupt.hpp"
#include "../soil/soil.hpp"

// The small helpers of a row are inlined into it (left to itself the
// compiler calls them, which costs a tenth of a pass).
#define FUSED_INLINE __attribute__((always_inline)) inline

// The vector loops are built for AVX-512 (x86-64-v4: twice the registers,
// and mask registers for the selects), for AVX2 and for the baseline of the
// target, and the loader picks one (same bits: only +, -, *, / in lanes, nothing
// contracted). Elsewhere than x86-64 they are built once, and under the
// thread sanitizer too (the loader's pick runs before its runtime is up).
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__)
#define FUSED_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define FUSED_CLONES
#endif

namespace pelorin::driver {

// The passes' transcendental functions.  A benchmark build (PELORIN_TAPE)
// records their results in one run and replays them in the next, which then
// takes the same path to the bit without evaluating them: the time of
// everything else a pass does.  It can also keep their arguments, by kind.
#ifdef PELORIN_TAPE
namespace tape {
double *cur = nullptr, *end = nullptr;  // null: neither record nor replay
bool replay = false;
std::vector<double>* args = nullptr;  // log10, exp, pow (10 to the), log
}  // namespace tape

namespace {

inline double taped(int kind, double x, double (*f)(double)) {
    if (tape::args) tape::args[kind].push_back(x);
    if (!tape::cur) return f(x);
    if (tape::cur == tape::end) throw std::length_error("tape too short");
    if (tape::replay) return *tape::cur++;
    return *tape::cur++ = f(x);
}

inline double log10_(double x) { return taped(0, x, [](double v) { return std::log10(v); }); }
inline double exp_(double x) { return taped(1, x, [](double v) { return std::exp(v); }); }
inline double pow10_(double y) { return taped(2, y, [](double v) { return std::pow(10.0, v); }); }
inline double log_(double x) { return taped(3, x, [](double v) { return std::log(v); }); }

#else
namespace {

inline double log10_(double x) { return std::log10(x); }
inline double exp_(double x) { return std::exp(x); }
inline double pow10_(double y) { return std::pow(10.0, y); }
inline double log_(double x) { return std::log(x); }
#endif

// The void-ratio iteration's tolerance and budget, and the band of a
// negligible stress step: the relations' own.
using soil::kEtol;
using soil::kMaxUpdates;
using soil::kTangentBand;
using soil::ln10;

// The share of the interior rows of a Newton step the run's thread builds
// (and eliminates as they come; the rest on the worker).  0.4 .. 0.6
// measured the same within the noise of a shared machine.
constexpr double kRowsShare = 0.5;

// Well inside the normal range: scaling by 1/8 .. 8 keeps it normal.
inline bool in_range(double v) {
    const double m = std::fabs(v);
    return (m >= 0x1p-1016) & (m <= 0x1p1016);
}

// c ? x : y with both evaluated (so that a loop of them has no branches
// and vectorises).
inline double pick(bool c, double x, double y) {
    std::uint64_t a, b;
    std::memcpy(&a, &x, sizeof a);
    std::memcpy(&b, &y, sizeof b);
    const std::uint64_t m = std::uint64_t{0} - static_cast<std::uint64_t>(c);
    const std::uint64_t r = (a & m) | (b & ~m);
    double o;
    std::memcpy(&o, &r, sizeof o);
    return o;
}

// a / b; a zero divisor (where the checked division raises) flags.
inline double q(double a, double b, bool& bad) {
    bad |= (b == 0.0);
    return a / b;
}

}  // namespace

double* raw_data(const Vec& v, std::ptrdiff_t n) {
    if (v.data == nullptr || v.len < n || v.stride != static_cast<std::ptrdiff_t>(sizeof(double)))
        return nullptr;
    if (reinterpret_cast<std::uintptr_t>(v.data) % alignof(double) != 0) return nullptr;
    return reinterpret_cast<double*>(v.data);
}

bool Fused::setup(const RunParams& p, const Work& w, int threads, bool adaptive) {
    N = p.depth.size() - 1;
    dtype = p.drainagetype;
    if (N < 3 || dtype < 0 || dtype > 2) return false;
    const std::ptrdiff_t n = N + 1;
    for (const Vec* v : {&p.Cc, &p.Cr, &p.sigvref, &p.esigvref, &p.kref, &p.ekref, &p.Ck, &p.Ca,
                         &p.tref, &p.dsigv})
        if (v->len < n) return false;
    const Vec* from[] = {&w.ulast,  &w.sigvlast, &w.elast,  &w.klast,    &w.zlast,
                         &w.sigvtest, &w.etest,  &w.ktest,  &w.ztest,    &w.avtest,
                         &w.epsvtest, &w.dsigvsub, &w.dsigvsublast};
    double** to[] = {&r.ulast,   &r.sigvlast, &r.elast, &r.klast,    &r.zlast,
                     &r.sigvtest, &r.etest,   &r.ktest, &r.ztest,    &r.avtest,
                     &r.epsvtest, &r.dsigvsub, &r.dsigvsublast};
    constexpr int kArrays = 13;
    for (int k = 0; k < kArrays; ++k) {
        *to[k] = raw_data(*from[k], n);
        if (!*to[k]) return false;
    }
    // The checked passes read and write node by node: arrays that overlap
    // would see a different order here.
    for (int k = 0; k < kArrays; ++k)
        for (int m = k + 1; m < kArrays; ++m)
            if (*to[k] < *to[m] + n && *to[m] < *to[k] + n) return false;
    gammaw = p.gammaw;
    pa = p.pa;
    // The checked passes divide by gammaw at once.
    if (gammaw == 0.0) return false;
    rows = dtype == 0 ? N - 1 : N;
    const auto un = static_cast<std::size_t>(n);
    for (auto* v : {&sigmap, &Al, &fq, &At, &P, &Fe, &dAe, &h5, &rde, &g0, &gt, &ddz, &cl, &gl,
                    &stor, &Dn, &Sn})
        v->assign(un, 0.0);
    for (auto* v : {&sm_ok, &al_ok, &fq_ok, &at_ok, &p_ok, &tan1, &st_ok, &ck_ok, &sn_ok})
        v->assign(un, 0);
    for (auto* v : {&la, &lb, &L1, &L2}) v->assign(un, 0.0);
    for (auto* v : {&nlog, &slow}) v->assign(un, 0);
    for (auto* v : {&a, &b, &c, &x}) v->assign(static_cast<std::size_t>(rows), 0.0);
    refresh(p);
    // (Without a worker the run goes on on one thread.)
    if (threads >= 2) team_.start(adaptive);
    return true;
}

void Fused::refresh(const RunParams& p) {
    const auto n = static_cast<std::size_t>(N + 1);
    std::vector<double>* copies[] = {&Cc, &Cr, &sigvref, &esigvref, &kref,
                                     &ekref, &Ck, &Ca, &tref, &dsigv};
    const Vec* views[] = {&p.Cc,    &p.Cr, &p.sigvref, &p.esigvref, &p.kref,
                          &p.ekref, &p.Ck, &p.Ca,      &p.tref,     &p.dsigv};
    for (int k = 0; k < 10; ++k) {
        copies[k]->resize(n);
        for (std::size_t i = 0; i < n; ++i)
            (*copies[k])[i] = (*views[k])[static_cast<std::ptrdiff_t>(i)];
    }
    alpha.resize(n);
    lsr.resize(n);
    coa.resize(n);
    kfac.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        // div(Ca, ln 10) of every pass; Cc / alpha of the creep rate (only
        // where alpha > 0, as the relations divide); ln 10 kref / Ck of dk/de.
        alpha[i] = Ca[i] / ln10;
        lsr[i] = std::log10(sigvref[i]);
        coa[i] = alpha[i] > 0.0 ? Cc[i] / alpha[i] : 0.0;
        kfac[i] = Ck[i] != 0.0 ? (ln10 * kref[i]) / Ck[i] : 0.0;
    }
    for (auto* v : {&sm_ok, &al_ok, &fq_ok, &at_ok, &p_ok, &st_ok, &ck_ok, &sn_ok})
        std::fill(v->begin(), v->end(), 0);
}

bool Fused::same_params(const RunParams& p) {
    const std::vector<double>* copies[] = {&Cc, &Cr, &sigvref, &esigvref, &kref,
                                           &ekref, &Ck, &Ca, &tref, &dsigv};
    const Vec* views[] = {&p.Cc,    &p.Cr, &p.sigvref, &p.esigvref, &p.kref,
                          &p.ekref, &p.Ck, &p.Ca,      &p.tref,     &p.dsigv};
    const double* raw[10];
    bool contiguous = true;
    for (int k = 0; k < 10; ++k) {
        if (views[k]->len < N + 1) return false;
        raw[k] = raw_data(*views[k], N + 1);
        contiguous = contiguous && raw[k];
    }
    if (contiguous) {
        // (Asked after every poll of the host: on a long column it is worth
        // comparing whole arrays, in two parts on two threads.)
        bool same[2] = {true, true};
        parts(0, N + 1, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, int part) {
            const auto bytes = static_cast<std::size_t>(hi - lo) * sizeof(double);
            for (int k = 0; k < 10 && same[part]; ++k)
                same[part] = std::memcmp(raw[k] + lo, copies[k]->data() + lo, bytes) == 0;
        });
        return same[0] && same[1];
    }
    for (int k = 0; k < 10; ++k) {
        for (std::ptrdiff_t i = 0; i <= N; ++i) {
            const double v = (*views[k])[i];
            if (std::memcmp(&v, &(*copies[k])[static_cast<std::size_t>(i)], sizeof v) != 0)
                return false;
        }
    }
    return true;
}

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
    static constexpr std::ptrdiff_t kSize = 128;
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
FUSED_CLONES void trial_args(const DeriveIn& in,
                                                                   Block& bl, std::ptrdiff_t nb) {
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
FUSED_CLONES void trial_start(const DeriveIn& in,
                                                                    Block& bl,
                                                                    std::ptrdiff_t nb,
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
FUSED_CLONES void trial_update(const DeriveIn& in,
                                                                     Block& bl,
                                                                     std::ptrdiff_t nb) {
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
FUSED_CLONES std::ptrdiff_t trial_strain(
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
FUSED_CLONES void node_slopes(
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

FUSED_CLONES std::int64_t trial_write(const Block& bl,
                                                                     const TrialOut& to,
                                                                     std::ptrdiff_t n,
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

FUSED_CLONES std::int64_t residual_rows(
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

// Coefficient of the pressure above (lower) or below interior node i.
FUSED_INLINE double Fused::link(std::ptrdiff_t i, double mTh, double dztest, bool lower, bool& bad) const {
    const double s = q(q(mTh, dztest, bad), dztest, bad);
    const double dk = 0.25 * (r.ktest[i + 1] - r.ktest[i - 1]);
    return s * (lower ? r.ktest[i] - dk : r.ktest[i] + dk);
}

// Thomas algorithm over the rows (the forward sweep divides).
FUSED_INLINE void Fused::eliminate_row(std::ptrdiff_t k, bool& bad) {
    if (k == 0) {
        const double b0 = b[0];
        c[0] = q(c[0], b0, bad);
        x[0] = q(x[0], b0, bad);
        return;
    }
    const double m = q(1.0, b[k] - c[k - 1] * a[k], bad);
    c[k] = c[k] * m;
    x[k] = (x[k] - x[k - 1] * a[k]) * m;
}

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

FUSED_CLONES std::int64_t first_rows(
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

// --- the Newton step (utest2.cpp) ---

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

FUSED_INLINE void Fused::creep_terms(std::ptrdiff_t i, double al, double onepe, double av, double dt,
                        Terms& t, bool& bad) {
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

FUSED_CLONES std::int64_t newton_rows(const RowsIn& in,
                                                                   const RowsOut& out,
                                                                   std::ptrdiff_t i0,
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
