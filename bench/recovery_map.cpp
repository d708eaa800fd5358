// Which realistic runs fail, and what the recovery of failed steps makes of
// them: a seeded sample of a map of uniform clay columns (the README's clay),
// each run plainly and with the recovery, over the C++ cores.
//
//   recovery_map [samples] [seed] [maxsplit]
//
// Map: Ca 0, 0.01, 0.02, 0.03, 0.04; tref 1 and 0.01 day; first step 0.1, 1,
// 10, 100, 1000 tref; 20, 50, 100, 200 log steps to 1e5 days; N 10, 20, 50,
// 100, 200; qo 0.1, 1, 10 kPa; drainage 0 and 1; OCR 1 and 1.2; one load of
// 100 kPa, two stages (50 then 100 kPa at 1e4 days) or an unloading (100
// then 60 kPa at 1e4 days).
//
// Prints a line per sampled cell (tab separated) and a summary: the share of
// runs that complete plainly and with the recovery, why plain runs fail,
// corrections per step, how often the recovery ran, and whether the runs that
// pass plainly are bit-identical with the recovery on.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/native_calls.hpp"
#include "driver/run.hpp"
#include "solver/initial.hpp"

namespace {

using pelorin::Mat;
using pelorin::Vec;
namespace driver = pelorin::driver;
namespace solver = pelorin::solver;

Vec view(std::vector<double>& v) { return Vec(v.data(), static_cast<std::ptrdiff_t>(v.size())); }

struct Cell {
    double Ca, tref, first;
    int Ntime, N;
    double qo;
    int drainage;
    double ocr;
    int loading;  // 0 one load, 1 two stages, 2 unloading
};

const char* kLoading[] = {"single", "staged", "unload"};

struct Problem {
    Cell c;
    std::vector<double> depth, Cc, Cr, sigvref, esigvref, Gs, kref, ekref, Ck, Ca, tref, dsigv,
        ocr, ru, time, loadfactor;
    std::vector<std::int32_t> code;
    std::vector<double> eo, sigvo, sigvo2, sigvf;
    std::vector<std::vector<double>> work;
    std::vector<double> z, u, sigv, e;
    bool initial_ok = true;

    explicit Problem(const Cell& cell) : c(cell) {
        const auto n = static_cast<std::size_t>(c.N) + 1;
        const double H = 10.0;
        depth.resize(n);
        for (std::size_t i = 0; i < n; ++i) depth[i] = H * static_cast<double>(i) / c.N;
        Cc.assign(n, 0.5);
        Cr.assign(n, 0.05);
        sigvref.assign(n, 100.0);
        esigvref.assign(n, 1.5);
        Gs.assign(n, 2.7);
        kref.assign(n, 8.64e-5);
        ekref.assign(n, 1.5);
        Ck.assign(n, 0.75);
        Ca.assign(n, c.Ca);
        tref.assign(n, c.tref);
        dsigv.assign(n, 100.0);
        code.assign(n, 0);
        ocr.assign(n, c.ocr);
        ru.assign(n, 0.0);
        grid();
        initial_state();
        work.assign(15, std::vector<double>(n, 0.0));
        const std::size_t cells = n * time.size();
        for (auto* h : {&z, &u, &sigv, &e}) h->assign(cells, 0.0);
    }

    static void logspace(double a, double b, int n, double shift, std::vector<double>& out) {
        for (int j = 0; j < n; ++j)
            out.push_back(shift + std::pow(10.0, std::log10(a) + (std::log10(b) - std::log10(a)) *
                                                                     j / std::max(1, n - 1)));
    }

    void grid() {
        const double t1 = c.first * c.tref;
        if (c.loading == 0) {
            logspace(t1, 1e5, c.Ntime, 0.0, time);
            loadfactor.assign(time.size(), 1.0);
            return;
        }
        const int half = c.Ntime / 2;
        const double Ts = 1e4;
        logspace(t1, Ts, half, 0.0, time);
        loadfactor.assign(time.size(), c.loading == 1 ? 0.5 : 1.0);
        logspace(t1, 1e5 - Ts, c.Ntime - half, Ts, time);
        loadfactor.resize(time.size(), c.loading == 1 ? 1.0 : 0.6);
    }

    class Source : public solver::InitialSource {
    public:
        explicit Source(Problem& p) : p_(p) {}
        double get(solver::InitArg a, std::ptrdiff_t i) override {
            using A = solver::InitArg;
            switch (a) {
                case A::depth: return view(p_.depth)[i];
                case A::Cc: return view(p_.Cc)[i];
                case A::Cr: return view(p_.Cr)[i];
                case A::sigvref: return view(p_.sigvref)[i];
                case A::esigvref: return view(p_.esigvref)[i];
                case A::Gs: return view(p_.Gs)[i];
                case A::qo: return p_.c.qo;
                case A::dsigv: return view(p_.dsigv)[i];
                case A::ocrvoidratiotype: return 0;
                case A::ocrvoidratio: return view(p_.ocr)[i];
                case A::ru: return view(p_.ru)[i];
                case A::loadfactor: return view(p_.loadfactor)[i];
                case A::gammaw: return 9.81;
                case A::pa: return 101.325;
            }
            throw std::logic_error("unknown argument");
        }
        void report_invalid_code(std::ptrdiff_t) override {}
        void report_no_convergence(std::ptrdiff_t) override {}

    private:
        Problem& p_;
    };

    void initial_state() {
        const auto n = depth.size();
        for (auto* v : {&eo, &sigvo, &sigvo2, &sigvf}) v->assign(n, 0.0);
        Source src(*this);
        initial_ok = solver::get_initial(src, static_cast<std::ptrdiff_t>(n),
                                         {view(eo), view(sigvo), view(sigvo2), view(sigvf)});
    }

    Mat hist(std::vector<double>& v) {
        Mat m;
        m.data = reinterpret_cast<char*>(v.data());
        m.shape[0] = c.N + 1;
        m.shape[1] = static_cast<std::ptrdiff_t>(time.size());
        m.strides[0] = m.shape[1] * static_cast<std::ptrdiff_t>(sizeof(double));
        m.strides[1] = sizeof(double);
        return m;
    }

    driver::RunStats run(driver::Calls& calls, const driver::Recovery& rec) {
        for (auto& w : work) std::fill(w.begin(), w.end(), 0.0);
        for (auto* h : {&z, &u, &sigv, &e}) std::fill(h->begin(), h->end(), 0.0);
        driver::RunParams p{view(depth), view(Cc),   view(Cr),    view(sigvref), view(esigvref),
                            view(Gs),    view(kref), view(ekref), view(Ck),      view(Ca),
                            view(tref),  c.qo,       view(dsigv),
                            pelorin::IVec(code.data(), static_cast<std::ptrdiff_t>(code.size())),
                            view(ocr),   view(ru),   view(time),  view(loadfactor),
                            9.81,        1e-8,       101.325,     c.drainage};
        driver::Initial init{view(eo), view(sigvo2), view(sigvf)};
        driver::Work w{view(work[0]), view(work[1]), view(work[2]),  view(work[3]),
                       view(work[4]), view(work[5]), view(work[6]),  view(work[7]),
                       view(work[8]), view(work[9]), view(work[10]), view(work[11]),
                       view(work[12]), view(work[13]), view(work[14])};
        driver::Histories h{hist(z), hist(u), hist(sigv), hist(e)};
        return driver::run(p, init, w, h, calls, rec);
    }
};

// The cores' calls, remembering the last convergence measure.
class Calls : public driver::NativeCalls {
public:
    double max(Vec v) override { return last = driver::NativeCalls::max(v); }
    double last = 0.0;
};

struct Result {
    std::string outcome;  // pass, nan, finite, zerodiv, other
    int failed_step = -1;
    driver::RunStats stats;
    std::vector<double> hist;
};

Result run_cell(const Cell& c, const driver::Recovery& rec) {
    Result r;
    Problem pb(c);
    if (!pb.initial_ok) {
        r.outcome = "initial";
        return r;
    }
    Calls calls;
    try {
        r.stats = pb.run(calls, rec);
        if (calls.failed_step >= 0) {
            r.outcome = std::isnan(calls.last) ? "nan" : "finite";
            r.failed_step = calls.failed_step;
        } else {
            r.outcome = "pass";
        }
    } catch (const pelorin::NumericError& e) {
        r.outcome = e.kind == pelorin::ErrKind::IndexOutOfBounds ? "index" : "zerodiv";
    } catch (const std::exception& e) {
        r.outcome = std::string("other:") + e.what();
    }
    for (auto* h : {&pb.z, &pb.u, &pb.sigv, &pb.e}) r.hist.insert(r.hist.end(), h->begin(), h->end());
    return r;
}

double quantile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t k = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 300;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1;
    const int maxsplit = argc > 3 ? std::atoi(argv[3]) : 4;

    const double Cas[] = {0.0, 0.01, 0.02, 0.03, 0.04};
    const double trefs[] = {1.0, 0.01};
    const double firsts[] = {0.1, 1.0, 10.0, 100.0, 1000.0};
    const int Ntimes[] = {20, 50, 100, 200};
    const int Ns[] = {10, 20, 50, 100, 200};
    const double qos[] = {0.1, 1.0, 10.0};
    const double ocrs[] = {1.0, 1.2};
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };

    int plain_ok = 0, rec_ok = 0, geo_ok = 0, identical = 0, passing = 0;
    std::vector<double> per_step;  // corrections per user step, recovery on
    std::vector<double> per_recovered;  // the same, steps whose first try failed
    std::vector<double> damped;         // their corrections in the recovery alone
    long long steps = 0, recovered_steps = 0;
    std::vector<int> fails_by_loading(3), runs_by_loading(3);
    std::printf("Ca\ttref\tfirst\tNtime\tN\tqo\tdrain\tocr\tloading\tplain\tstep\trecovery\t"
                "splitfirst\trecovered_steps\n");
    for (int s = 0; s < samples; ++s) {
        Cell c{Cas[pick(5)], trefs[pick(2)], firsts[pick(5)], Ntimes[pick(4)], Ns[pick(5)],
               qos[pick(3)], pick(2), ocrs[pick(2)], pick(3)};
        const Result plain = run_cell(c, {});
        const Result rec = run_cell(c, {maxsplit, false});
        const Result geo = run_cell(c, {maxsplit, true});
        ++runs_by_loading[c.loading];
        if (plain.outcome == "pass") {
            ++plain_ok;
            ++passing;
            if (rec.outcome == "pass" && rec.hist == plain.hist &&
                rec.stats.corrections == plain.stats.corrections)
                ++identical;
        } else {
            ++fails_by_loading[c.loading];
        }
        if (rec.outcome == "pass") {
            ++rec_ok;
            for (std::size_t j = 0; j < rec.stats.step_corrections.size(); ++j) {
                per_step.push_back(rec.stats.step_corrections[j]);
                ++steps;
                recovered_steps += rec.stats.step_recovered[j];
                if (rec.stats.step_recovered[j]) {
                    per_recovered.push_back(rec.stats.step_corrections[j]);
                    damped.push_back(rec.stats.step_damped_corrections[j]);
                }
            }
        }
        if (geo.outcome == "pass") ++geo_ok;
        std::printf("%g\t%g\t%g\t%d\t%d\t%g\t%d\t%g\t%s\t%s\t%d\t%s\t%s\t%lld\n", c.Ca, c.tref,
                    c.first, c.Ntime, c.N, c.qo, c.drainage, c.ocr, kLoading[c.loading],
                    plain.outcome.c_str(), plain.failed_step, rec.outcome.c_str(),
                    geo.outcome.c_str(), rec.stats.recovered);
        std::fflush(stdout);
    }
    std::printf("\nsamples %d (seed %u), maxsplit %d\n", samples, seed, maxsplit);
    std::printf("plain: %d complete (%.1f %%); failures single %d/%d, staged %d/%d, unload %d/%d\n",
                plain_ok, 100.0 * plain_ok / samples, fails_by_loading[0], runs_by_loading[0],
                fails_by_loading[1], runs_by_loading[1], fails_by_loading[2], runs_by_loading[2]);
    std::printf("recovery: %d complete (%.1f %%); with splitfirst: %d (%.1f %%)\n", rec_ok,
                100.0 * rec_ok / samples, geo_ok, 100.0 * geo_ok / samples);
    std::printf("plain passes bit-identical with the recovery on (same corrections): %d of %d\n",
                identical, passing);
    std::printf("corrections per user step (recovery on, completed runs): median %g, P90 %g, "
                "mean %.2f\n",
                quantile(per_step, 0.5), quantile(per_step, 0.9),
                per_step.empty() ? NAN
                                 : std::accumulate(per_step.begin(), per_step.end(), 0.0) /
                                       static_cast<double>(per_step.size()));
    std::printf("corrections per recovered step: median %g, P90 %g (first try and recovery); "
                "median %g, P90 %g (recovery alone)\n",
                quantile(per_recovered, 0.5), quantile(per_recovered, 0.9),
                quantile(damped, 0.5), quantile(damped, 0.9));
    std::printf("steps recovered: %lld of %lld (%.2f %%)\n", recovered_steps, steps,
                100.0 * static_cast<double>(recovered_steps) / static_cast<double>(steps));
    return 0;
}
