// Native tests of the engine's loading: the piecewise-linear functions, the
// bordered solve and Jacobian of the fills, ramps against steps, and the
// steady seepage of the initial state.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "engine/engine.hpp"

namespace eng = pelorin::engine;

namespace {

const eng::Material kClay{0.5, 0.05, 100.0, 1.5, 8.64e-5, 1.5, 0.75, 0.02, 1.0};

// Three layers, the middle one 100 times more permeable and stiffer below.
eng::ColumnInput three_layers(int N, int drainage, double Ca) {
    eng::ColumnInput in;
    for (int i = 0; i <= N; ++i) in.depth.push_back(8.0 * i / N + 0.2 * std::sin(i));
    for (int c = 0; c < N; ++c) {
        eng::Material m = kClay;
        m.Ca = Ca;
        if (3 * c >= N && 3 * c < 2 * N) m.kref *= 100.0;
        if (3 * c >= 2 * N) m.Cc = 0.3;
        in.mat.push_back(m);
        in.Gs.push_back(2.7);
        in.dsigv.push_back(0.0);
        in.ru.push_back(0.0);
        in.hist_type.push_back(0);
        in.hist_value.push_back(1.0 + 0.05 * c);
    }
    in.qo = 10.0;
    in.drainage = drainage;
    return in;
}

struct Histories {
    std::vector<double> z, u, sigv, e, k, ue, sigve, ee, ke, settlement, load, fills, top, bottom;
    eng::Output out;
    eng::Stats st;
    Histories(int N, int ncol, int nfills) {
        for (auto* v : {&z, &u, &sigv, &e, &k}) v->assign((N + 1) * ncol, 0.0);
        for (auto* v : {&ue, &sigve, &ee, &ke}) v->assign(N * ncol, 0.0);
        for (auto* v : {&settlement, &load, &top, &bottom}) v->assign(ncol, 0.0);
        fills.assign(std::max(nfills, 1) * ncol, 0.0);
        out = {ncol, z.data(), u.data(), sigv.data(), e.data(), k.data(), ue.data(), sigve.data(),
               ee.data(), ke.data(), settlement.data(), load.data(), fills.data(), top.data(),
               bottom.data()};
    }
};

Histories run(const eng::Column& col, const std::vector<double>& time, const std::vector<double>& lf,
        const eng::Loading& ld, double rtol = 3e-4) {
    Histories r(col.N, static_cast<int>(time.size()) + 1, static_cast<int>(ld.fills.size()));
    eng::Options opt;
    opt.rtol = rtol;
    eng::solve(col, time, lf, ld, opt, r.out, {}, r.st);
    return r;
}

eng::PiecewiseLinear pl(std::vector<double> t, std::vector<double> v) { return {t, v}; }

}  // namespace

// Corners (0, 1), (2, 3), a jump at 2 from 3 to 5, (4, 1), constant outside.
class Piecewise : public ::testing::TestWithParam<std::tuple<double, double, double>> {};

TEST_P(Piecewise, ValuesBeforeAndAfter) {
    const auto [t, before, after] = GetParam();
    const auto f = pl({0.0, 2.0, 2.0, 4.0}, {1.0, 3.0, 5.0, 1.0});
    EXPECT_DOUBLE_EQ(f.before(t), before) << t;
    EXPECT_DOUBLE_EQ(f.after(t), after) << t;
}

INSTANTIATE_TEST_SUITE_P(
    Corners, Piecewise,
    ::testing::Values(std::make_tuple(-1.0, 1.0, 1.0), std::make_tuple(0.0, 1.0, 1.0),
                      std::make_tuple(1.0, 2.0, 2.0), std::make_tuple(2.0, 3.0, 5.0),
                      std::make_tuple(3.0, 3.0, 3.0), std::make_tuple(4.0, 1.0, 1.0),
                      std::make_tuple(9.0, 1.0, 1.0)));

// The bordered solve against a dense elimination of the same system.
TEST(EngineLoading, BorderedSolveMatchesDenseElimination) {
    const int n = 9;
    eng::StepSystem s;
    for (int i = 0; i < n; ++i) {
        s.lo.push_back(i ? -1.0 - 0.1 * i : 0.0);
        s.up.push_back(i < n - 1 ? -0.7 + 0.05 * i : 0.0);
        s.di.push_back(3.0 + std::cos(i));
        s.b.push_back(std::sin(2.0 * i));
        s.c.push_back(0.3 + 0.1 * i);
    }
    s.d = 0.8;
    std::vector<double> r(n);
    for (int i = 0; i < n; ++i) r[i] = 1.0 + i * i % 5;
    const double z = -2.5;
    // Dense (n + 1) x (n + 1), Gaussian elimination with partial pivoting.
    std::vector<std::vector<double>> A(n + 1, std::vector<double>(n + 2, 0.0));
    for (int i = 0; i < n; ++i) {
        A[i][i] = s.di[i];
        if (i > 0) A[i][i - 1] = s.lo[i];
        if (i < n - 1) A[i][i + 1] = s.up[i];
        A[i][n] = s.b[i];
        A[n][i] = s.c[i];
        A[i][n + 1] = r[i];
    }
    A[n][n] = s.d;
    A[n][n + 1] = z;
    for (int k = 0; k <= n; ++k) {
        int p = k;
        for (int i = k + 1; i <= n; ++i)
            if (std::fabs(A[i][k]) > std::fabs(A[p][k])) p = i;
        std::swap(A[k], A[p]);
        for (int i = k + 1; i <= n; ++i) {
            const double f = A[i][k] / A[k][k];
            for (int j = k; j <= n + 1; ++j) A[i][j] -= f * A[k][j];
        }
    }
    std::vector<double> x(n + 1);
    for (int i = n; i >= 0; --i) {
        double v = A[i][n + 1];
        for (int j = i + 1; j <= n; ++j) v -= A[i][j] * x[j];
        x[i] = v / A[i][i];
    }
    auto got = r;
    const double y = eng::bordered_solve(s, got, z);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(got[i], x[i], 1e-12 * (1.0 + std::fabs(x[i]))) << i;
    EXPECT_NEAR(y, x[n], 1e-12 * (1.0 + std::fabs(x[n])));
}

// The Jacobian of a step with a fill (the border included) against finite
// differences: the water below the fill, within it (submergence couples),
// pore pressures held at the ends, each drainage, fills over the whole column
// (uniform) or not.
class FillJacobian : public ::testing::TestWithParam<std::tuple<int, double, bool>> {};

TEST_P(FillJacobian, MatchesFiniteDifferences) {
    const auto [drainage, hw, uniform] = GetParam();
    const int N = 7;
    const eng::Column col = eng::prepare(three_layers(N, drainage, 0.02));
    std::vector<double> ep0(N), s0(N), sig(N), hist(N), u(N);
    const double a0 = 1.4, dt = 3.0;
    for (int c = 0; c < N; ++c) {
        s0[c] = col.sigma0[c] + 20.0;
        ep0[c] = col.mat[c].P(s0[c]) - (c % 2 ? 0.0 : 0.02);
        sig[c] = col.sigma0[c] + 15.0;
        u[c] = 40.0 - 10.0 * std::sin(1.0 + c);
        hist[c] = -a0 * col.mat[c].e_of(ep0[c], s0[c]);
    }
    eng::StepLoad load;
    std::vector<double> infl(N);
    for (int c = 0; c < N; ++c) infl[c] = uniform ? 0.8 : 1.0 - 0.05 * c;
    load.fills.push_back({19.0, 21.0, 3.0, hw, infl});
    load.fills.push_back({18.0, 20.0, 1.0, hw - 0.5, std::vector<double>(N, 0.5)});
    load.top = drainage == 2 ? 0.0 : -4.0;
    load.bottom = drainage == 1 ? 0.0 : 7.0;
    const double s = 0.4;
    eng::StepSystem sys, p, m;
    ASSERT_TRUE(eng::step_residual(col, ep0, s0, sig, hist, a0, dt, u, load, s, sys));
    auto check = [&](const eng::StepSystem& sp, const eng::StepSystem& sm, double h, int j) {
        for (int i = 0; i < N; ++i) {
            const double fd = (sp.R[i] - sm.R[i]) / (2 * h);
            const double an = j == N ? sys.b[i]
                              : i == j ? sys.di[i]
                              : i == j - 1 ? sys.up[i]
                              : i == j + 1 ? sys.lo[i] : 0.0;
            EXPECT_NEAR(an, fd, 1e-6 * (std::fabs(fd) + std::fabs(sys.di[i]))) << i << "," << j;
        }
        const double fz = (sp.Z - sm.Z) / (2 * h);
        EXPECT_NEAR(j == N ? sys.d : sys.c[j], fz, 1e-6 * (std::fabs(fz) + 1e-3)) << "Z," << j;
    };
    for (int j = 0; j < N; ++j) {
        const double h = 1e-6 * (1.0 + std::fabs(u[j]));
        auto up = u, um = u;
        up[j] += h;
        um[j] -= h;
        ASSERT_TRUE(eng::step_residual(col, ep0, s0, sig, hist, a0, dt, up, load, s, p));
        ASSERT_TRUE(eng::step_residual(col, ep0, s0, sig, hist, a0, dt, um, load, s, m));
        check(p, m, h, j);
    }
    const double h = 1e-7;
    ASSERT_TRUE(eng::step_residual(col, ep0, s0, sig, hist, a0, dt, u, load, s + h, p));
    ASSERT_TRUE(eng::step_residual(col, ep0, s0, sig, hist, a0, dt, u, load, s - h, m));
    check(p, m, h, N);
}

INSTANTIATE_TEST_SUITE_P(WaterAndDrainage, FillJacobian,
                         ::testing::Combine(::testing::Values(0, 1, 2),
                                            ::testing::Values(-5.0, 0.0, 1.2),
                                            ::testing::Bool()));

// A ramp over a vanishing time tends to the step (the difference falls with
// the ramp's duration), and a ramp given as a fill of unit weight 1 with the
// water far below equals the same ramp as a load component.
TEST(EngineLoading, RampTendsToTheStep) {
    const int N = 20;
    auto in = three_layers(N, 0, 0.0);
    for (auto& d : in.dsigv) d = 50.0;
    const eng::Column col = eng::prepare(in);
    const std::vector<double> time = {20.0, 200.0, 2000.0};
    const std::vector<double> one(time.size(), 1.0), zero(time.size(), 0.0);
    const Histories step = run(col, time, one, {}, 1e-6);
    double last = INFINITY;
    for (double dur : {10.0, 1.0, 0.1}) {
        eng::Loading ld;
        ld.loads.push_back({std::vector<double>(N, 50.0), {}, pl({0.0, dur}, {0.0, 1.0})});
        const Histories ramp = run(col, time, zero, ld, 1e-6);
        double diff = 0.0;
        for (size_t j = 1; j <= time.size(); ++j)
            diff = std::max(diff, std::fabs(ramp.settlement[j] - step.settlement[j]));
        EXPECT_LT(diff, 0.3 * last) << dur;
        last = diff;
        EXPECT_DOUBLE_EQ(ramp.load[time.size()], 50.0);
        if (dur == 10.0) {
            eng::Loading lf;
            eng::Fill F;
            F.height = pl({0.0, dur}, {0.0, 50.0});
            F.unit_weight = F.saturated_unit_weight = 1.0;
            lf.fills.push_back(F);
            const Histories fill = run(col, time, zero, lf, 1e-6);
            for (size_t j = 0; j <= time.size(); ++j)
                EXPECT_NEAR(fill.settlement[j], ramp.settlement[j], 1e-6 * ramp.settlement[j] + 1e-12) << j;
        }
    }
    EXPECT_LT(last, 5e-4 * step.settlement[time.size()]);
}

// The initial steady seepage between the heads at the two ends: one flux
// through every face of the engine's own conductances, the ends' pore
// pressures, and nothing moves without further loading.
class Seepage : public ::testing::TestWithParam<std::tuple<double, double>> {};

TEST_P(Seepage, IsSteadyAndExact) {
    const auto [top, bottom] = GetParam();
    const int N = 12;
    auto in = three_layers(N, 0, 0.0);
    in.initial_top_set = in.initial_bottom_set = true;
    in.initial_top = top;
    in.initial_bottom = bottom;
    const eng::Column col = eng::prepare(in);
    std::vector<double> K(N), flux;
    double above = in.qo;
    for (int c = 0; c < N; ++c) {
        K[c] = col.mat[c].k(col.e0[c]) / (col.gammaw * (1.0 + col.e0[c]));
        // The effective stress is the hydrostatic one less the seepage's.
        const double w = (in.Gs[c] - 1.0) * col.gammaw;
        EXPECT_GT(col.sigma0[c], 0.0);
        EXPECT_NEAR(col.sigma0[c] + col.useep[c], above + 0.5 * w * col.S[c], 1e-9) << c;
        above += w * col.S[c];
    }
    flux.push_back(2.0 * K[0] / col.S[0] * (col.useep[0] - top));
    for (int f = 1; f < N; ++f) {
        const double G = 2.0 * K[f - 1] * K[f] / (col.S[f - 1] * K[f] + col.S[f] * K[f - 1]);
        flux.push_back(G * (col.useep[f] - col.useep[f - 1]));
    }
    flux.push_back(2.0 * K[N - 1] / col.S[N - 1] * (bottom - col.useep[N - 1]));
    for (double F : flux) EXPECT_NEAR(F, flux[0], 1e-9 * std::fabs(flux[0]) + 1e-15);
    EXPECT_DOUBLE_EQ(col.node_useep[0], top);
    EXPECT_DOUBLE_EQ(col.node_useep[N], bottom);

    const std::vector<double> time = {1.0, 1e3, 1e6};
    const Histories r = run(col, time, {0.0, 0.0, 0.0}, {});
    for (int j = 0; j <= 3; ++j) {
        EXPECT_NEAR(r.settlement[j], 0.0, 1e-9) << j;
        for (int c = 0; c < N; ++c) EXPECT_NEAR(r.ue[j * N + c], col.useep[c], 1e-7) << c;
        EXPECT_DOUBLE_EQ(r.top[j], top);
        EXPECT_DOUBLE_EQ(r.bottom[j], bottom);
    }
}

INSTANTIATE_TEST_SUITE_P(Heads, Seepage,
                         ::testing::Values(std::make_tuple(0.0, -60.0), std::make_tuple(5.0, 45.0),
                                           std::make_tuple(-15.0, 0.0)));

// A slow ramp on very soft clay under a sealed top with no surcharge: the
// upper elements stay undrained, their effective stress at its start value,
// at the kink between the compression and the swelling line, where Newton's
// error must not ratchet them down the compression line (it did: the steps
// collapsed a day into the ramp).  Each rtol completes and the early
// settlement stays that of the ramp's few kPa.
class SlowRamp : public ::testing::TestWithParam<double> {};

TEST_P(SlowRamp, SealedSoftTopStaysUndrained) {
    // 2.7 m of clay on 6.5 m of silt on sand, as a random map drew it.
    const double clay[] = {1.135707, 0.058579, 1.960501, 1.143302e-04, 1.335048, 2.623192, 1.0};
    const double silt[] = {0.098688, 0.008676, 1.314596, 6.167538e-03, 0.891515, 2.697923, 1.0};
    const double sand[] = {0.021228, 0.00498, 0.537084, 2.374879, 0.926833, 2.629558, 0.1};
    eng::ColumnInput in;
    in.depth = {0.0, 1.345026, 2.690051};
    for (int i = 1; i <= 7; ++i) in.depth.push_back(2.690051 + 1.077623 * i);
    for (int i = 1; i <= 9; ++i) in.depth.push_back(in.depth[9] + 1.148022 * i);
    const int N = static_cast<int>(in.depth.size()) - 1;
    for (int c = 0; c < N; ++c) {
        const double* p = c < 2 ? clay : c < 9 ? silt : sand;
        in.mat.push_back({p[0], p[1], 100.0, p[2], p[3], p[2], p[4], 0.0, p[6]});
        in.Gs.push_back(p[5]);
        in.dsigv.push_back(0.0);
        in.ru.push_back(0.0);
        in.hist_type.push_back(0);
        in.hist_value.push_back(1.0);
    }
    in.qo = 0.0;
    in.drainage = 2;
    const eng::Column col = eng::prepare(in);
    eng::Loading ld;
    ld.loads.push_back({std::vector<double>(N, 1.0), {}, pl({0.0, 11241.4}, {0.0, 189.75})});
    std::vector<double> time;
    for (int j = 0; j < 140; ++j) time.push_back(1e-3 * std::pow(10.0, j / 19.0));
    const Histories r = run(col, time, std::vector<double>(time.size(), 0.0), ld, GetParam());
    EXPECT_EQ(r.st.columns, static_cast<int>(time.size()) + 1);
    // At 0.1 day the ramp has placed 2 Pa: next to nothing has settled (the
    // ratchet had reached centimetres by then).
    EXPECT_LT(r.settlement[39], 1e-3 * r.settlement[time.size()]);
}

INSTANTIATE_TEST_SUITE_P(Rtol, SlowRamp, ::testing::Values(3e-4, 1e-5, 1e-7));
