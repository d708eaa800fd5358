// The binding of a run's arrays and the per-run copies of the soil
// parameters with their constants: log10(sigvref), alpha = Ca / ln 10 as
// every pass of the relations divides it (src/soil/soil.cpp,
// src/solver/creep.hpp), Cc / alpha and ln 10 kref / Ck.
#include "kernels.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace pelorin::driver {

#ifdef PELORIN_TAPE
namespace tape {
double *cur = nullptr, *end = nullptr;
bool replay = false;
std::vector<double>* args = nullptr;
}  // namespace tape
#endif

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

}  // namespace pelorin::driver
