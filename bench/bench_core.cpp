// The plain C++ cost of a consolidation run: the whole time loop with no
// host objects in between.  Problems are a uniform normally consolidated
// clay with creep under a step load, on the logarithmic history a run
// generates from Ntime and tmax.
//
//   BM_Run/path:0   every relation and solver called per node / per pass
//                   (the loop of calls the module made before its inline
//                   passes: the old floor)
//   BM_Run/path:1   the inline passes (what the module's fast path runs),
//                   on threads:1 or 2 (the node loops split in two parts)
//   BM_Floor        only the transcendental functions the inline passes
//                   evaluate, as many of each as they do, over arguments of
//                   the run's range: the floor of the inline passes
//   BM_Rest         (bench_rest, built with PELORIN_TAPE) the inline passes
//                   on one thread with the results of those functions
//                   replayed from a recorded run: everything but them
//
// Units: kPa, m, days.  Permeability 1e-9 m/s = 8.64e-5 m/day.  Ntime 100
// (50 at N = 1e5, which converges there, to keep a run of the old loop within
// half a minute).
//
// Counters per problem:
//   passes            solver passes of one run (trial solves + corrections)
//   corrections       Newton corrections of one run
//   ns_per_node_pass  run time / (passes * nodes)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
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

struct Clay {
    double H = 10.0;          // m
    double Cc = 0.5, Cr = 0.05, Ca = 0.02;
    double sigvref = 100.0, esigvref = 1.5;  // kPa, -
    double Gs = 2.7;
    double kref = 8.64e-5;    // m/day (1e-9 m/s)
    double ekref = 1.5, Ck = 0.75;
    double tref = 1.0;        // day
    double qo = 10.0, dsigv = 100.0;  // kPa
    double ocr = 1.0;         // code 0: overconsolidation ratio
    int Ntime = 100;
    double tmax = 1e5;        // days; history from tmax*1e-5 (log-spaced)
    double gammaw = 9.81, tol = 1e-8, pa = 101.325;
};

// All arrays of one run, built as the module would build them from the
// uniform-soil keywords.
struct Problem {
    int N, Ntime;
    double qo, gammaw, tol, pa;
    int drainagetype;
    std::vector<double> depth, Cc, Cr, sigvref, esigvref, Gs, kref, ekref, Ck, Ca, tref, dsigv,
        ocr, ru, time, loadfactor;
    std::vector<std::int32_t> code;
    std::vector<double> eo, sigvo, sigvo2, sigvf;
    std::vector<std::vector<double>> work;
    std::vector<double> z, u, sigv, e;

    Problem(const Clay& c, int N_, int drainage)
        : N(N_), Ntime(c.Ntime), qo(c.qo), gammaw(c.gammaw), tol(c.tol), pa(c.pa),
          drainagetype(drainage) {
        const auto n = static_cast<std::size_t>(N) + 1;
        depth.resize(n);
        for (std::size_t i = 0; i < n; ++i) depth[i] = c.H * static_cast<double>(i) / N;
        Cc.assign(n, c.Cc);
        Cr.assign(n, c.Cr);
        sigvref.assign(n, c.sigvref);
        esigvref.assign(n, c.esigvref);
        Gs.assign(n, c.Gs);
        kref.assign(n, c.kref);
        ekref.assign(n, c.ekref);
        Ck.assign(n, c.Ck);
        Ca.assign(n, c.Ca);
        tref.assign(n, c.tref);
        dsigv.assign(n, c.dsigv);
        code.assign(n, 0);
        ocr.assign(n, c.ocr);
        ru.assign(n, 0.0);
        time.resize(static_cast<std::size_t>(Ntime));
        const double top = std::log10(c.tmax);
        for (int j = 0; j < Ntime; ++j)
            time[static_cast<std::size_t>(j)] = std::pow(10.0, top - 5 + 5.0 * j / (Ntime - 1));
        loadfactor.assign(static_cast<std::size_t>(Ntime), 1.0);
        initial_state();
        work.assign(13, std::vector<double>(n, 0.0));
        const std::size_t cells = n * static_cast<std::size_t>(Ntime);
        z.assign(cells, 0.0);
        u.assign(cells, 0.0);
        sigv.assign(cells, 0.0);
        e.assign(cells, 0.0);
    }

    // Reads the node arrays the way the module hands them over.
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
                case A::qo: return p_.qo;
                case A::dsigv: return view(p_.dsigv)[i];
                case A::ocrvoidratiotype:
                    return pelorin::IVec(p_.code.data(), static_cast<std::ptrdiff_t>(p_.code.size()))[i];
                case A::ocrvoidratio: return view(p_.ocr)[i];
                case A::ru: return view(p_.ru)[i];
                case A::loadfactor: return view(p_.loadfactor)[i];
                case A::gammaw: return p_.gammaw;
                case A::pa: return p_.pa;
            }
            throw std::logic_error("unknown argument");
        }
        void report_invalid_code(std::ptrdiff_t i) override {
            std::fprintf(stderr, "Invalid ocrvoidratiotype at node %td\n", i);
        }
        void report_no_convergence(std::ptrdiff_t i) override {
            std::fprintf(stderr, "Initial stress did not converge at node %td\n", i);
        }

    private:
        Problem& p_;
    };

    void initial_state() {
        const auto n = depth.size();
        eo.assign(n, 0.0);
        sigvo.assign(n, 0.0);
        sigvo2.assign(n, 0.0);
        sigvf.assign(n, 0.0);
        Source src(*this);
        if (!solver::get_initial(src, static_cast<std::ptrdiff_t>(n),
                                 {view(eo), view(sigvo), view(sigvo2), view(sigvf)}))
            throw std::runtime_error("no initial state");
    }

    void reset() {
        for (auto& w : work) std::fill(w.begin(), w.end(), 0.0);
        for (auto* h : {&z, &u, &sigv, &e}) std::fill(h->begin(), h->end(), 0.0);
    }

    Mat hist(std::vector<double>& v) {
        Mat m;
        m.data = reinterpret_cast<char*>(v.data());
        m.shape[0] = N + 1;
        m.shape[1] = Ntime;
        m.strides[0] = Ntime * static_cast<std::ptrdiff_t>(sizeof(double));
        m.strides[1] = sizeof(double);
        return m;
    }

    driver::RunStats run(driver::Calls& calls, int threads = 1) {
        driver::RunParams p{view(depth), view(Cc),   view(Cr),    view(sigvref), view(esigvref),
                            view(Gs),    view(kref), view(ekref), view(Ck),      view(Ca),
                            view(tref),  qo,         view(dsigv),
                            pelorin::IVec(code.data(), static_cast<std::ptrdiff_t>(code.size())),
                            view(ocr),   view(ru),   view(time),  view(loadfactor),
                            gammaw,      tol,        pa,          drainagetype};
        driver::Initial init{view(eo), view(sigvo2), view(sigvf)};
        driver::Work w{view(work[0]), view(work[1]), view(work[2]),  view(work[3]),
                       view(work[4]), view(work[5]), view(work[6]),  view(work[7]),
                       view(work[8]), view(work[9]), view(work[10]), view(work[11]),
                       view(work[12])};
        driver::Histories h{hist(z), hist(u), hist(sigv), hist(e)};
        return driver::run(p, init, w, h, calls, {}, threads);
    }
};

Clay clay_for(int N) {
    Clay c;
    if (N >= 100000) c.Ntime = 50;
    return c;
}

void BM_Run(benchmark::State& state) {
    const int drainage = static_cast<int>(state.range(0));
    const int N = static_cast<int>(state.range(1));
    Problem pb(clay_for(N), N, drainage);
    driver::NativeCalls calls;
    calls.inline_passes = state.range(2) == 1;
    const int threads = static_cast<int>(state.range(3));
    driver::RunStats last;
    double ns = 0, passes = 0;
    for (auto _ : state) {
        pb.reset();
        calls.failed_step = -1;
        calls.etest_failures = 0;
        const auto t0 = std::chrono::steady_clock::now();
        last = pb.run(calls, threads);
        const auto t1 = std::chrono::steady_clock::now();
        const double dt = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(dt);
        ns += dt * 1e9;
        passes += static_cast<double>(last.passes);
        benchmark::DoNotOptimize(pb.z.data());
    }
    if (calls.failed_step >= 0) {
        state.SkipWithError("run did not converge");
        return;
    }
    state.counters["passes"] = static_cast<double>(last.passes);
    state.counters["corrections"] = static_cast<double>(last.corrections);
    state.counters["etest_failures"] = static_cast<double>(calls.etest_failures);
    state.counters["ns_per_node_pass"] = ns / (passes * (N + 1));
}

void run_args(benchmark::internal::Benchmark* b) {
    for (int d : {0, 1})
        for (int n : {40, 100, 1000, 10000, 100000}) {
            b->Args({d, n, 0, 1});
            b->Args({d, n, 1, 1});
            b->Args({d, n, 1, 2});
        }
}

BENCHMARK(BM_Run)
    ->ArgNames({"drainage", "N", "path", "threads"})
    ->Apply(run_args)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The transcendental functions of one inline run, replayed: as many calls of
// each as the run made (its counters), in passes over the nodes, on
// arguments spread over the run's range (stress ratios near 1, creep
// exponents from -30 to 0, permeability exponents near 0).
void BM_Floor(benchmark::State& state) {
    const int drainage = static_cast<int>(state.range(0));
    const int N = static_cast<int>(state.range(1));
    Problem pb(clay_for(N), N, drainage);
    driver::NativeCalls calls;
    calls.inline_passes = true;
    const driver::RunStats st = pb.run(calls);
    const auto n = static_cast<std::size_t>(N) + 1;
    std::vector<double> ratio(n), expo(n), kexp(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double f = static_cast<double>(i) / static_cast<double>(n);
        ratio[i] = 1.0 + 0.5 * f;
        expo[i] = -30.0 * f;
        kexp[i] = -0.2 * f;
    }
    const double nodes = static_cast<double>(n);
    const double passes = static_cast<double>(st.passes);
    const long long kinds[4] = {st.inline_log10, st.inline_exp, st.inline_pow, st.inline_log};
    double ns = 0;
    for (auto _ : state) {
        double acc = 0.0;
        const auto t0 = std::chrono::steady_clock::now();
        for (int k = 0; k < 4; ++k) {
            for (long long left = kinds[k]; left > 0;) {
                const std::size_t m =
                    left < static_cast<long long>(n) ? static_cast<std::size_t>(left) : n;
                for (std::size_t i = 0; i < m; ++i) {
                    switch (k) {
                        case 0: acc += std::log10(ratio[i]); break;
                        case 1: acc += std::exp(expo[i]); break;
                        case 2: acc += std::pow(10.0, kexp[i]); break;
                        default: acc += std::log(ratio[i]); break;
                    }
                }
                left -= static_cast<long long>(m);
            }
        }
        const auto t1 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(acc);
        const double dt = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(dt);
        ns += dt * 1e9;
    }
    state.counters["passes"] = passes;
    state.counters["calls_per_node_pass"] =
        static_cast<double>(kinds[0] + kinds[1] + kinds[2] + kinds[3]) / (passes * nodes);
    state.counters["exp_per_node_pass"] = static_cast<double>(kinds[1]) / (passes * nodes);
    state.counters["ns_per_node_pass"] =
        ns / (static_cast<double>(state.iterations()) * passes * nodes);
}

BENCHMARK(BM_Floor)
    ->ArgNames({"drainage", "N"})
    ->ArgsProduct({{0, 1}, {40, 100, 1000, 10000, 100000}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

#ifdef PELORIN_TAPE
}  // namespace
namespace pelorin::driver::tape {
extern double *cur, *end;
extern bool replay;
extern std::vector<double>* args;
}  // namespace pelorin::driver::tape
namespace {

namespace tape = pelorin::driver::tape;

// The problem of a benchmark's (drainage, N), run by the inline passes on
// one thread.
struct InlineRun {
    int N;
    Problem pb;
    driver::NativeCalls calls;
    explicit InlineRun(const benchmark::State& s)
        : N(static_cast<int>(s.range(1))), pb(clay_for(N), N, static_cast<int>(s.range(0))) {
        calls.inline_passes = true;
    }
    driver::RunStats run() { return pb.run(calls, 1); }
};

void BM_Rest(benchmark::State& state) {
    InlineRun ir(state);
    Problem& pb = ir.pb;
    const int N = ir.N;
    // Record: the tape holds every result the passes used, in order.
    const driver::RunStats st = ir.run();
    const long long want = st.inline_log10 + st.inline_exp + st.inline_pow + st.inline_log;
    std::vector<double> t(static_cast<std::size_t>(want));
    pb.reset();
    tape::cur = t.data();
    tape::end = t.data() + t.size();
    tape::replay = false;
    try {
        ir.run();
    } catch (const std::length_error&) {
        tape::cur = nullptr;
        state.SkipWithError("the passes evaluated functions they did not count");
        return;
    }
    const long long used = tape::cur - t.data();
    const std::vector<double> z = pb.z, e = pb.e;
    double ns = 0;
    long long passes = 0;
    for (auto _ : state) {
        pb.reset();
        tape::cur = t.data();
        tape::replay = true;
        const auto t0 = std::chrono::steady_clock::now();
        driver::RunStats r;
        try {
            r = ir.run();
        } catch (const std::length_error&) {
            r.passes = -1;  // ran past the tape: another path
        }
        const auto t1 = std::chrono::steady_clock::now();
        const double dt = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(dt);
        ns += dt * 1e9;
        passes += r.passes;
        if (tape::cur - t.data() != used || r.passes != st.passes || pb.z != z || pb.e != e) {
            tape::cur = nullptr;
            state.SkipWithError("the replayed run took another path");
            return;
        }
    }
    tape::cur = nullptr;
    state.counters["passes"] = static_cast<double>(st.passes);
    state.counters["ns_per_node_pass"] = ns / (static_cast<double>(passes) * (N + 1));
}

// (Not at N = 1e5: the tape would take gigabytes.)
BENCHMARK(BM_Rest)
    ->ArgNames({"drainage", "N"})
    ->ArgsProduct({{0, 1}, {40, 100, 1000, 10000}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// BM_Floor on the arguments the run itself gave each function (kept by kind,
// in the order of the run).
void BM_FloorRun(benchmark::State& state) {
    InlineRun ir(state);
    const int N = ir.N;
    std::vector<double> args[4];
    tape::args = args;
    const driver::RunStats st = ir.run();
    tape::args = nullptr;
    double ns = 0;
    for (auto _ : state) {
        double acc = 0.0;
        const auto t0 = std::chrono::steady_clock::now();
        for (const double x : args[0]) acc += std::log10(x);
        for (const double x : args[1]) acc += std::exp(x);
        for (const double x : args[2]) acc += std::pow(10.0, x);
        for (const double x : args[3]) acc += std::log(x);
        const auto t1 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(acc);
        const double dt = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(dt);
        ns += dt * 1e9;
    }
    const double n = static_cast<double>(args[0].size() + args[1].size() + args[2].size() +
                                         args[3].size());
    if (n != static_cast<double>(st.inline_log10 + st.inline_exp + st.inline_pow + st.inline_log))
        state.SkipWithError("the passes evaluated functions they did not count");
    const double nodes_passes = static_cast<double>(st.passes) * (N + 1);
    state.counters["passes"] = static_cast<double>(st.passes);
    state.counters["calls_per_node_pass"] = n / nodes_passes;
    state.counters["ns_per_node_pass"] =
        ns / (static_cast<double>(state.iterations()) * nodes_passes);
}

BENCHMARK(BM_FloorRun)
    ->ArgNames({"drainage", "N"})
    ->ArgsProduct({{0, 1}, {40, 100, 1000, 10000}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
#endif

}  // namespace

BENCHMARK_MAIN();
