// The consolidation run over the C++ cores: control flow of the correction
// loop (scripted convergence measures on top of the real relations), the
// start state, the load changes between steps, and whole runs that must
// reach the physically expected end state.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "driver/fused/fused.hpp"
#include "driver/max.hpp"
#include "driver/native_calls.hpp"
#include "driver/run.hpp"

namespace {

using pelorin::Mat;
using pelorin::Vec;
using pelorin::driver::Calls;
using pelorin::driver::NativeCalls;
using pelorin::driver::RunStats;
namespace solver = pelorin::solver;

std::vector<double> copy(Vec v) {
    std::vector<double> out;
    for (std::ptrdiff_t i = 0; i < v.size(); ++i) out.push_back(v[i]);
    return out;
}

Vec view(std::vector<double>& v) { return Vec(v.data(), static_cast<std::ptrdiff_t>(v.size())); }

Mat matview(std::vector<double>& v, std::ptrdiff_t rows, std::ptrdiff_t cols) {
    Mat m;
    m.data = reinterpret_cast<char*>(v.data());
    m.shape[0] = rows;
    m.shape[1] = cols;
    m.strides[0] = cols * static_cast<std::ptrdiff_t>(sizeof(double));
    m.strides[1] = sizeof(double);
    return m;
}

// A uniform normally consolidated clay column under a step load.  The
// initial state is set up directly: a constant effective stress sigvo on the
// normal compression line, no pore-pressure ratio.
struct Problem {
    std::vector<double> depth, Cc, Cr, sigvref, esigvref, Gs, kref, ekref, Ck, Ca, tref, dsigv,
        ocr, ru, time, loadfactor;
    std::vector<std::int32_t> code;
    double gammaw = 9.81, tol = 1e-6, pa = 101.325, qo = 10.0;
    int drainagetype = 0;
    double sigvo = 50.0;

    std::vector<double> eo, sigvo2, sigvf;
    std::vector<std::vector<double>> work;
    std::vector<double> z, u, sigv, e;
    int N = 0, Ntime = 0;

    Problem(std::vector<double> depths, std::vector<double> times, double Ca_ = 0.0) {
        depth = std::move(depths);
        time = std::move(times);
        N = static_cast<int>(depth.size()) - 1;
        Ntime = static_cast<int>(time.size());
        const std::size_t n = depth.size();
        Cc.assign(n, 0.5);
        Cr.assign(n, 0.05);
        sigvref.assign(n, 100.0);
        esigvref.assign(n, 1.5);
        Gs.assign(n, 2.7);
        kref.assign(n, 1e-4);  // m/day
        ekref.assign(n, 1.5);
        Ck.assign(n, 0.75);
        Ca.assign(n, Ca_);
        tref.assign(n, 1.0);
        dsigv.assign(n, 100.0);
        ocr.assign(n, 1.0);
        ru.assign(n, 0.0);
        code.assign(n, 0);
        loadfactor.assign(time.size(), 1.0);
    }

    double ncl(double s, std::size_t i) const {
        return esigvref[i] - Cc[i] * std::log10(s / sigvref[i]);
    }

    RunStats run(Calls& calls, int threads = 1) {
        const std::size_t n = depth.size();
        eo.assign(n, 0.0);
        sigvo2.assign(n, 0.0);
        sigvf.assign(n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            eo[i] = ncl(sigvo, i);
            sigvo2[i] = sigvo * (1 - ru[i]);
            sigvf[i] = sigvo + dsigv[i] * loadfactor.at(0);
        }
        work.assign(13, std::vector<double>(n, 0.0));
        const std::size_t cells = n * time.size();
        z.assign(cells, 0.0);
        u.assign(cells, 0.0);
        sigv.assign(cells, 0.0);
        e.assign(cells, 0.0);

        pelorin::driver::RunParams p{
            view(depth), view(Cc),   view(Cr),    view(sigvref), view(esigvref),
            view(Gs),    view(kref), view(ekref), view(Ck),      view(Ca),
            view(tref),  qo,         view(dsigv),
            pelorin::IVec(code.data(), static_cast<std::ptrdiff_t>(code.size())),
            view(ocr),   view(ru),   view(time),  view(loadfactor),
            gammaw,      tol,        pa,          drainagetype};
        pelorin::driver::Initial init{view(eo), view(sigvo2), view(sigvf)};
        pelorin::driver::Work w{view(work[0]), view(work[1]), view(work[2]), view(work[3]),
                                view(work[4]), view(work[5]), view(work[6]), view(work[7]),
                                view(work[8]), view(work[9]), view(work[10]), view(work[11]),
                                view(work[12])};
        pelorin::driver::Histories h{hist(z), hist(u), hist(sigv), hist(e)};
        return pelorin::driver::run(p, init, w, h, calls, {}, threads);
    }

    Mat hist(std::vector<double>& v) { return matview(v, N + 1, Ntime); }
    double at(const std::vector<double>& v, int i, int j) const {
        return v[static_cast<std::size_t>(i) * static_cast<std::size_t>(Ntime) +
                 static_cast<std::size_t>(j)];
    }
    const std::vector<double>& zlast() const { return work[6]; }
};

std::vector<double> uniform_depths(int N, double H) {
    std::vector<double> d(static_cast<std::size_t>(N) + 1);
    for (int i = 0; i <= N; ++i) d[static_cast<std::size_t>(i)] = H * i / N;
    return d;
}

std::vector<double> log_times(double t0, double t1, int n) {
    std::vector<double> t(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k)
        t[static_cast<std::size_t>(k)] =
            std::pow(10.0, std::log10(t0) + (std::log10(t1) - std::log10(t0)) * k / (n - 1));
    return t;
}

// The real relations, with the convergence measure replaced by a script of
// (step, pass) -> measure, pass 0 being the trial and pass k the k-th
// correction.  Records what the run handed to the solvers.
class ScriptedCalls : public NativeCalls {
public:
    std::function<double(int step, int pass)> script;
    int step = -1, pass = 0;
    std::vector<int> corrections_per_step;
    std::vector<std::vector<double>> ulast_at_step;  // ulast handed to the trial solve
    std::vector<double> dts;
    long long etest_calls = 0;
    std::vector<double> last_trial;  // pressures of the last trial solve

    Vec utest(const solver::UtestIn& in) override {
        ++step;
        pass = 0;
        corrections_per_step.push_back(0);
        ulast_at_step.push_back(copy(in.ulast));
        dts.push_back(in.dt);
        Vec out = NativeCalls::utest(in);
        last_trial = copy(out);
        return out;
    }
    Vec utest2(const solver::Utest2In& in) override {
        ++pass;
        ++corrections_per_step.back();
        return NativeCalls::utest2(in);
    }
    double etest(double et, double el, double eref, double alpha, double tr, double st,
                 double sl, double sr, double cc, double av, double ut, double ul,
                 double dt) override {
        ++etest_calls;
        return NativeCalls::etest(et, el, eref, alpha, tr, st, sl, sr, cc, av, ut, ul, dt);
    }
    double max(Vec v) override { return script ? script(step, pass) : NativeCalls::max(v); }
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool column_zero(const Problem& pb, int j) {
    for (int i = 0; i <= pb.N; ++i)
        if (pb.at(pb.z, i, j) != 0 || pb.at(pb.u, i, j) != 0 || pb.at(pb.sigv, i, j) != 0 ||
            pb.at(pb.e, i, j) != 0)
            return false;
    return true;
}

// ---------------------------------------------------------------------------
// Giving up on a step.

struct GiveUpCase {
    const char* name;
    double bad;  // measure of every pass of the failing step
};

class RunGivesUp : public ::testing::TestWithParam<GiveUpCase> {};

TEST_P(RunGivesUp, ReportsStepAndCountAndLeavesLaterColumnsZero) {
    Problem pb(uniform_depths(10, 10.0), {1, 2, 3, 4, 5});
    pb.tol = 1e-3;
    const double bad = GetParam().bad;
    ScriptedCalls calls;
    calls.script = [bad](int step, int) { return step == 2 ? bad : 0.0; };
    const RunStats st = pb.run(calls);

    EXPECT_EQ(calls.failed_step, 2);
    EXPECT_EQ(calls.failed_count, 100);
    EXPECT_EQ(st.corrections, 100);
    EXPECT_EQ(st.passes, 3 + 100);
    ASSERT_EQ(calls.corrections_per_step.size(), 3u);  // the run ended in step 2
    EXPECT_FALSE(column_zero(pb, 0));
    EXPECT_FALSE(column_zero(pb, 1));
    for (int j = 2; j < pb.Ntime; ++j) EXPECT_TRUE(column_zero(pb, j)) << "column " << j;
}

INSTANTIATE_TEST_SUITE_P(Measures, RunGivesUp,
                         ::testing::Values(GiveUpCase{"above_tol", 1.0},
                                           GiveUpCase{"nan", kNaN}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// How many corrections a step takes, by the measures of its passes.

struct CorrectionCase {
    const char* name;
    std::vector<double> measures;  // pass 0 (trial), 1, 2, ...; the rest converge
    int corrections;
};

class RunCorrections : public ::testing::TestWithParam<CorrectionCase> {};

TEST_P(RunCorrections, StepAcceptedAfterExpectedCorrections) {
    Problem pb(uniform_depths(8, 4.0), {0.5, 1.0, 2.0});
    pb.tol = 1e-3;
    const auto& c = GetParam();
    ScriptedCalls calls;
    calls.script = [&c](int step, int pass) {
        if (step != 1) return 0.0;
        return pass < static_cast<int>(c.measures.size()) ? c.measures[pass] : 0.0;
    };
    const RunStats st = pb.run(calls);
    EXPECT_EQ(calls.failed_step, -1);
    ASSERT_EQ(calls.corrections_per_step.size(), 3u);
    EXPECT_EQ(calls.corrections_per_step[1], c.corrections);
    EXPECT_EQ(st.corrections, c.corrections);
    EXPECT_EQ(st.passes, 3 + c.corrections);
    for (int j = 0; j < 3; ++j) EXPECT_FALSE(column_zero(pb, j));
}

INSTANTIATE_TEST_SUITE_P(
    Measures, RunCorrections,
    ::testing::Values(CorrectionCase{"trial_within_tol", {0.0}, 0},
                      CorrectionCase{"trial_exactly_tol", {1e-3}, 0},
                      CorrectionCase{"one_correction", {1.0, 1e-3}, 1},
                      // A NaN measure is a failed pass, not a reason to leave.
                      CorrectionCase{"nan_trial", {kNaN, 0.0}, 1},
                      CorrectionCase{"nan_then_large", {kNaN, kNaN, 5.0, 0.0}, 3},
                      CorrectionCase{"ninety_nine_failures", std::vector<double>(100, 1.0), 100}),
    [](const auto& info) { return std::string(info.param.name); });

// A step that meets the tolerance on its first trial holds that trial: the
// history column carries the pressures of the trial solve, and no creep-free
// node needs the void-ratio iteration.
TEST(Run, TrialWithinToleranceIsAcceptedAsIs) {
    Problem pb(uniform_depths(10, 10.0), {0.1});
    pb.tol = 1e300;
    ScriptedCalls calls;
    const RunStats st = pb.run(calls);
    EXPECT_EQ(st.corrections, 0);
    EXPECT_EQ(st.passes, 1);
    EXPECT_EQ(calls.etest_calls, 0);
    for (int i = 0; i <= pb.N; ++i) {
        EXPECT_EQ(pb.at(pb.u, i, 0), calls.last_trial[static_cast<std::size_t>(i)]);
        // Effective stress takes up what the pore water releases.
        EXPECT_DOUBLE_EQ(pb.at(pb.sigv, i, 0), 150.0 - calls.last_trial[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(pb.at(pb.z, pb.N, 0), 10.0);
}

// ---------------------------------------------------------------------------
// Start state and load changes.

TEST(Run, StartPositionsAreTheGivenDepths) {
    Problem pb({0.0, 1.0, 5.0, 5.5, 9.0}, {});
    pb.loadfactor = {1.0};  // no steps: the start state only
    ScriptedCalls calls;
    pb.run(calls);
    EXPECT_EQ(pb.zlast(), pb.depth);
}

TEST(Run, NonUniformColumnKeepsBottomAndStrainsEachElement) {
    Problem pb({0.0, 1.0, 5.0, 5.5, 9.0}, {0.5});
    pb.tol = 1e300;
    ScriptedCalls calls;
    pb.run(calls);
    EXPECT_EQ(pb.at(pb.z, 4, 0), 9.0);
    // Each element shortens by the strain of its upper node, from its own
    // starting length.
    const std::vector<double>& eps = pb.work[12];
    for (int i = 3; i >= 0; --i) {
        const double len0 = pb.depth[static_cast<std::size_t>(i) + 1] - pb.depth[static_cast<std::size_t>(i)];
        const double len = pb.at(pb.z, i + 1, 0) - pb.at(pb.z, i, 0);
        EXPECT_NEAR(len, len0 * (1 - eps[static_cast<std::size_t>(i)]), 1e-12);
    }
}

struct LoadCase {
    const char* name;
    std::vector<double> factors;
};

class RunLoadChange : public ::testing::TestWithParam<LoadCase> {};

// At the start of each step the pore pressures are the accepted ones plus
// the change of applied stress since the previous step; the first step's
// load acts through the initial state only.
TEST_P(RunLoadChange, PorePressureTakesTheChangeOfLoad) {
    const auto& lf = GetParam().factors;
    Problem pb(uniform_depths(10, 10.0), {0.1, 0.3, 1.0, 3.0});
    pb.loadfactor = lf;
    ScriptedCalls calls;
    pb.run(calls);
    ASSERT_EQ(calls.failed_step, -1);
    ASSERT_EQ(calls.ulast_at_step.size(), 4u);
    for (int i = 0; i <= pb.N; ++i)
        EXPECT_EQ(calls.ulast_at_step[0][static_cast<std::size_t>(i)], 100.0 * lf[0]);
    for (int j = 1; j < 4; ++j) {
        for (int i = 0; i <= pb.N; ++i) {
            const double expect = pb.at(pb.u, i, j - 1) + 100.0 * (lf[j] - lf[j - 1]);
            EXPECT_NEAR(calls.ulast_at_step[j][static_cast<std::size_t>(i)], expect, 1e-12)
                << "step " << j << " node " << i;
        }
    }
    EXPECT_EQ(calls.dts[0], 0.1);
    EXPECT_EQ(calls.dts[2], 1.0 - 0.3);
}

INSTANTIATE_TEST_SUITE_P(Factors, RunLoadChange,
                         ::testing::Values(LoadCase{"constant", {1, 1, 1, 1}},
                                           LoadCase{"staged", {0.5, 0.5, 1.0, 0.8}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Whole runs: a step load consolidates to the normal compression line at the
// final stress, the drained ends keep no excess pressure, and the column
// settles at the top.

struct PhysicsCase {
    const char* name;
    int drainagetype;
    double Ca;
};

class RunConsolidates : public ::testing::TestWithParam<PhysicsCase> {};

TEST_P(RunConsolidates, EndsOnTheCompressionLine) {
    const auto& c = GetParam();
    Problem pb(uniform_depths(20, 2.0), log_times(1e-3, 1e3, 40), c.Ca);
    pb.drainagetype = c.drainagetype;
    NativeCalls calls;
    const RunStats st = pb.run(calls);
    ASSERT_EQ(calls.failed_step, -1);
    EXPECT_EQ(calls.etest_failures, 0);
    EXPECT_EQ(st.passes, pb.Ntime + st.corrections);
    const int last = pb.Ntime - 1;
    EXPECT_EQ(pb.at(pb.u, 0, last), 0.0);
    if (c.drainagetype == 0) {
        EXPECT_EQ(pb.at(pb.u, pb.N, last), 0.0);
    }
    for (int i = 0; i <= pb.N; ++i) {
        const double sigv = pb.at(pb.sigv, i, last);
        const double e_ncl = pb.ncl(sigv, static_cast<std::size_t>(i));
        if (c.Ca == 0.0) {
            // Primary consolidation complete: the load is carried by the
            // soil, which sits on the compression line.
            EXPECT_NEAR(pb.at(pb.u, i, last), 0.0, 0.01) << i;
            EXPECT_NEAR(sigv, 150.0, 0.01) << i;
            EXPECT_NEAR(pb.at(pb.e, i, last), e_ncl, 1e-5) << i;
        } else {
            // Secondary compression takes the soil below the line.
            EXPECT_LT(pb.at(pb.e, i, last), e_ncl - 0.01) << i;
        }
    }
    // Settlement grows with time (up to the small late swings of the
    // time-centred scheme over long steps) and the bottom stays put.
    for (int j = 1; j <= last; ++j) {
        EXPECT_GE(pb.at(pb.z, 0, j), pb.at(pb.z, 0, j - 1) - 1e-5) << j;
        EXPECT_EQ(pb.at(pb.z, pb.N, j), 2.0);
    }
    // Each element's length follows its upper node's void ratio, so the top
    // settles by H (eo - e) / (1 + eo).
    const double primary = 2.0 * (pb.eo[0] - pb.ncl(150.0, 0)) / (1 + pb.eo[0]);
    if (c.Ca == 0.0) {
        EXPECT_NEAR(pb.at(pb.z, 0, last), primary, 1e-4);
    } else {
        EXPECT_GT(pb.at(pb.z, 0, last), primary + 0.01);
    }
}

INSTANTIATE_TEST_SUITE_P(Drainage, RunConsolidates,
                         ::testing::Values(PhysicsCase{"both_ends", 0, 0.0},
                                           PhysicsCase{"top_only", 1, 0.0},
                                           PhysicsCase{"both_ends_creep", 0, 0.02},
                                           PhysicsCase{"top_only_creep", 1, 0.02}),
                         [](const auto& info) { return std::string(info.param.name); });

// A failing relation (permeability with Ck = 0) surfaces from the run unchanged.
TEST(Run, ErrorsOfTheRelationsPropagate) {
    Problem pb(uniform_depths(4, 1.0), {0.1});
    pb.Ck.assign(pb.Ck.size(), 0.0);
    NativeCalls calls;
    try {
        pb.run(calls);
        FAIL() << "no error";
    } catch (const pelorin::NumericError& err) {
        EXPECT_EQ(err.kind, pelorin::ErrKind::FloatDivision);
    }
}

// ---------------------------------------------------------------------------
// The inline passes against the run through the calls: a layered column
// (creep in some layers, different reference times and indices), loaded,
// reloaded and unloaded, each drainage type; the same histories bit for bit,
// the same passes, and the same failure from the same line.  On two threads
// (a column long enough to split) as well.

struct InlineCase {
    const char* name;
    int drainagetype;
    double zero_tref_at;  // a creeping node with tref = 0 (-1: none)
    int elements = 30, threads = 1;
};

class InlinePasses : public ::testing::TestWithParam<InlineCase> {};

TEST_P(InlinePasses, MatchTheCalls) {
    const auto& c = GetParam();
    auto make = [&] {
        Problem pb(uniform_depths(c.elements, 0.1 * c.elements), log_times(1e-2, 1e3, 24));
        pb.drainagetype = c.drainagetype;
        for (std::size_t i = 0; i < pb.Ca.size(); ++i) {
            const int layer = static_cast<int>(i) / 8 % 4;
            pb.Ca[i] = layer % 2 ? 0.0 : 0.01 + 0.01 * layer;
            pb.tref[i] = 0.5 + layer;
            pb.Cc[i] = 0.4 + 0.05 * layer;
            pb.Cr[i] = 0.04 + 0.01 * layer;
        }
        for (std::size_t j = 0; j < pb.loadfactor.size(); ++j)
            pb.loadfactor[j] = j < 8 ? 0.5 : (j < 16 ? 1.0 : 0.6);
        if (c.zero_tref_at >= 0) pb.tref[static_cast<std::size_t>(c.zero_tref_at)] = 0.0;
        return pb;
    };
    Problem a = make(), b = make();
    NativeCalls calls_a, calls_b;
    calls_b.inline_passes = true;
    RunStats sa, sb;
    int line_a = -1, line_b = -2;
    try {
        sa = a.run(calls_a);
    } catch (const pelorin::NumericError& e) {
        line_a = e.line;
    }
    try {
        sb = b.run(calls_b, c.threads);
    } catch (const pelorin::NumericError& e) {
        line_b = e.line;
    }
    if (c.zero_tref_at >= 0) {
        EXPECT_EQ(line_a, line_b);
        return;
    }
    EXPECT_GT(sb.inline_passes, 0);
    EXPECT_EQ(sa.passes, sb.passes);
    EXPECT_EQ(sa.corrections, sb.corrections);
    // (The long column's last step, an unloading, stops at 100 corrections.)
    EXPECT_EQ(calls_a.failed_step, c.elements == 30 ? -1 : 23);
    EXPECT_EQ(calls_b.failed_step, calls_a.failed_step);
    for (auto hist : {&Problem::z, &Problem::u, &Problem::sigv, &Problem::e})
        EXPECT_EQ(0, std::memcmp((a.*hist).data(), (b.*hist).data(),
                                 (a.*hist).size() * sizeof(double)));
}

INSTANTIATE_TEST_SUITE_P(Layers, InlinePasses,
                         ::testing::Values(InlineCase{"both_ends", 0, -1},
                                           InlineCase{"top_only", 1, -1},
                                           InlineCase{"bottom_only", 2, -1},
                                           InlineCase{"zero_tref", 1, 3},
                                           InlineCase{"two_threads", 1, -1, 400, 2},
                                           InlineCase{"two_threads_zero_tref", 2, 290, 400, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// Host code that changes a parameter array at a check point (here the
// calls themselves, at fixed check points: at the start of a step and
// between corrections): the inline passes see the change where the calls
// do, on one thread and on two.
TEST(InlinePasses, SeeParametersChangedAtCheckPoints) {
    struct Changing : NativeCalls {
        std::vector<double>* Cc = nullptr;
        unsigned long count = 0;
        void checkpoint() override {
            if (++count % 7 == 0) (*Cc)[static_cast<std::size_t>(count % 300)] *= 1.01;
        }
        unsigned long epoch() override { return count; }
    };
    std::vector<double> ref;
    for (int threads : {0, 1, 2}) {
        Problem pb(uniform_depths(400, 40.0), log_times(1e-2, 1e3, 12), 0.01);
        Changing calls;
        calls.Cc = &pb.Cc;
        calls.inline_passes = threads > 0;
        const RunStats st = pb.run(calls, threads > 0 ? threads : 1);
        EXPECT_EQ(calls.failed_step, -1);
        if (threads == 0) {
            ref = pb.z;
            continue;
        }
        EXPECT_EQ(0, std::memcmp(ref.data(), pb.z.data(), ref.size() * sizeof(double)))
            << threads;
        EXPECT_GT(st.inline_passes, 0);
    }
}

// The inline passes' maximum of |v| against the call's, bit for bit, where
// the order of the scan shows: signed zeros, NaN, ties of opposite sign; in
// one scan and in two parts.
TEST(InlinePasses, MaxAbsIsTheCalls) {
    std::vector<std::vector<double>> cases = {
        {-0.0, 0.0}, {0.0, -0.0}, {-0.0, 0.0, 0.0, -0.0, 0.0, -0.0, -0.0}, {2.0, -2.0, 1.0},
        {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, std::nan("")}, {-3.0, 0.5, -0.0, 3.0, 1.0, 2.0}};
    std::uint64_t seed = 1;
    for (int n = 1; n <= 40; ++n) {
        std::vector<double> v;
        for (int i = 0; i < n; ++i) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            const double pick[] = {-0.0, 0.0, 0.0, -1.5, 1.5, -0.0};
            v.push_back(pick[(seed >> 33) % (n % 3 == 0 ? 6 : 3)]);
        }
        cases.push_back(v);
    }
    for (auto& v : cases) {
        const double a = pelorin::driver::max_abs(view(v));
        const double b = pelorin::driver::max_abs_raw(v.data(), static_cast<std::ptrdiff_t>(v.size()));
        EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a)) << v.size();
        // Split in two parts (two threads), joined in order.
        using pelorin::driver::extremes_raw;
        const auto n = static_cast<std::ptrdiff_t>(v.size());
        for (std::ptrdiff_t m = 1; m < n; ++m) {
            const double c = pelorin::driver::max_abs_of(pelorin::driver::join(
                extremes_raw(v.data(), m), extremes_raw(v.data() + m, n - m)));
            EXPECT_EQ(0, std::memcmp(&a, &c, sizeof a)) << v.size() << " " << m;
        }
    }
}

}  // namespace
