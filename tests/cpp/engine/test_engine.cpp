// Native tests of the run engine: the local update against integrations of
// the creep law, and the Newton Jacobian against finite differences.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/engine.hpp"
#include "engine/material.hpp"

namespace eng = pelorin::engine;

namespace {

const eng::Material kClay{0.5, 0.05, 100.0, 1.5, 8.64e-5, 1.5, 0.75, 0.02, 1.0};

// Creep along a linear stress path, by many small exact constant-stress steps.
double creep_reference(const eng::Material& m, double ep, double s0, double s1, double dt) {
    const int n = 200000;
    for (int i = 0; i < n; ++i) {
        const double s = s0 + (s1 - s0) * (i + 0.5) / n;
        ep = eng::local_update(m, ep, s, s, dt / n, std::log(dt / n / m.tref)).ep;
    }
    return ep;
}

TEST(EngineLocal, ConstantStressCreepIsExactAtAnyStepLength) {
    // The equivalent age grows linearly: one step of dt equals n steps of dt/n.
    for (double dt : {1e-3, 1.0, 1e3, 1e7}) {
        const double s = 150.0, ep0 = kClay.P(s) - 0.01;
        const double one = eng::local_update(kClay, ep0, s, s, dt, std::log(dt)).ep;
        double ep = ep0;
        for (int i = 0; i < 64; ++i) ep = eng::local_update(kClay, ep, s, s, dt / 64, std::log(dt / 64)).ep;
        EXPECT_NEAR(one, ep, 1e-12) << dt;
        const double alpha = kClay.Ca / eng::kLn10;
        const double tau = kClay.tref * std::exp((kClay.P(s) - ep0) / alpha);
        EXPECT_NEAR(ep0 - one, alpha * std::log1p(dt / tau), 1e-13) << dt;
    }
}

TEST(EngineLocal, LinearStressPathMatchesFineIntegration) {
    // Loading, unloading, small and large stress changes, below the line.
    struct Case { double s0, s1, dt, below; };
    for (const Case c : {Case{100, 101, 10, 0.02}, Case{100, 180, 10, 0.05}, Case{150, 60, 3, 0.01},
                         Case{100, 100.0001, 50, 0.001}}) {
        const double ep0 = kClay.P(std::max(c.s0, c.s1)) - c.below;
        const double got = eng::local_update(kClay, ep0, c.s0, c.s1, c.dt, std::log(c.dt)).ep;
        EXPECT_NEAR(got, creep_reference(kClay, ep0, c.s0, c.s1, c.dt), 2e-8) << c.s0 << " " << c.s1;
    }
}

TEST(EngineLocal, HeavilyOverconsolidatedDoesNotOverflow) {
    const auto L = eng::local_update(kClay, kClay.P(10.0) - 5.0, 10.0, 10.5, 1e12, std::log(1e12));
    EXPECT_TRUE(std::isfinite(L.e));
    EXPECT_TRUE(std::isfinite(L.de_ds));
}

TEST(EngineLocal, DerivativeMatchesFiniteDifference) {
    for (double Ca : {0.0, 0.02, 0.002}) {
        eng::Material m = kClay;
        m.Ca = Ca;
        for (double below : {0.0, 0.03}) {          // on the line (yielding) and below it
            for (double s1 : {80.0, 100.0 * (1 + 1e-4), 140.0}) {
                const double s0 = 100.0, ep0 = m.P(s0) - below, dt = 7.0;
                const double h = 1e-6 * s1;
                const auto L = eng::local_update(m, ep0, s0, s1, dt, std::log(dt));
                const double fd = (eng::local_update(m, ep0, s0, s1 + h, dt, std::log(dt)).e -
                                   eng::local_update(m, ep0, s0, s1 - h, dt, std::log(dt)).e) /
                                  (2 * h);
                EXPECT_NEAR(L.de_ds, fd, 1e-6 * std::fabs(fd) + 1e-12) << Ca << " " << below << " " << s1;
            }
        }
    }
}

TEST(EngineLocal, PathFactorMatchesQuadrature) {
    for (double m : {0.5, 22.5, 400.0}) {
        for (double d : {-0.5, -1e-6, 1e-9, 1e-4, 0.3, 0.9}) {
            const int n = 100000;
            double sum = 0.0;
            for (int i = 0; i < n; ++i) sum += std::pow(1.0 - d * (1.0 - (i + 0.5) / n), m);
            const double g = std::log(sum / n);
            const auto got = eng::log_path_factor(d, m);
            EXPECT_NEAR(got.value, g, 1e-6 * (1 + std::fabs(g))) << m << " " << d;
            const double h = 1e-6 * std::max(std::fabs(d), 1e-3);
            const double fd = (eng::log_path_factor(d + h, m).value - eng::log_path_factor(d - h, m).value) / (2 * h);
            EXPECT_NEAR(got.ddd, fd, 1e-5 * (1 + std::fabs(fd))) << m << " " << d;
        }
    }
}

// A layered column (soft clay, a lens 1000x more permeable, stiffer clay),
// part way through a step, with creep.
eng::Column layered(int drainage) {
    eng::ColumnInput in;
    const int N = 7;
    for (int i = 0; i <= N; ++i) in.depth.push_back(1.5 * i + 0.1 * i * i);
    for (int c = 0; c < N; ++c) {
        eng::Material m = kClay;
        if (c == 3) m.kref *= 1000.0;
        if (c > 3) m.Cc = 0.3;
        in.mat.push_back(m);
        in.Gs.push_back(2.7);
        in.dsigv.push_back(80.0 - 3 * c);
        in.ru.push_back(0.0);
        in.hist_type.push_back(0);
        in.hist_value.push_back(1.0 + 0.1 * c);
    }
    in.qo = 0.0;
    in.drainage = drainage;
    return eng::prepare(in);
}

// The Newton passes write the local update over blocks of elements, apart
// from `local_update`: both must give the same states, on and below the
// compression line, with and without creep, for stress ratios from 1 (the
// constant-stress limit) to large loading and unloading, past a block's end.
TEST(EngineLocal, PassesMatchTheLocalUpdate) {
    const int N = 300;
    eng::ColumnInput in;
    for (int i = 0; i <= N; ++i) in.depth.push_back(0.05 * i);
    const double ratios[] = {1.0, 1.0 + 1e-9, 1.0 + 1e-5, 1.3, 0.5, 5.0};
    for (int c = 0; c < N; ++c) {
        eng::Material m = kClay;
        m.Ca = (c % 3) * 0.01;
        m.Cc = 0.3 + 0.001 * c;
        m.tref = c % 5 ? 1.0 : 0.1;
        in.mat.push_back(m);
        in.Gs.push_back(2.7);
        in.dsigv.push_back(50.0);
        in.ru.push_back(0.0);
        in.hist_type.push_back(0);
        in.hist_value.push_back(1.0);
    }
    in.qo = 10.0;
    const eng::Column col = eng::prepare(in);
    for (double dt : {0.0, 1e-3, 7.0, 1e9}) {
        std::vector<double> ep0(N), s0(N), s1(N), u(N, 0.0), ep, e, dedu;
        for (int c = 0; c < N; ++c) {
            s0[c] = 20.0 + 1.7 * c;
            s1[c] = s0[c] * ratios[c % 6];
            // On the line at s0 (loading then yields), except at a constant stress,
            // where on the line the slope is Cc's or Cr's by the last bit of P.
            const double below = c % 4 && c % 7 ? 0.003 * (c % 7) : s1[c] == s0[c] ? 1e-3 : 0.0;
            ep0[c] = col.mat[c].P(s0[c]) - below;
        }
        ASSERT_TRUE(eng::cell_states(col, ep0, s0, s1, dt, u, ep, e, dedu));
        for (int c = 0; c < N; ++c) {
            const auto L = eng::local_update(col.mat[c], ep0[c], s0[c], s1[c], dt,
                                             std::log(dt) - col.ln_tref[c]);
            EXPECT_NEAR(ep[c], L.ep, 1e-12) << c << " " << dt;
            EXPECT_NEAR(e[c], L.e, 1e-12) << c << " " << dt;
            EXPECT_NEAR(dedu[c], -L.de_ds, 1e-9 * std::fabs(L.de_ds)) << c << " " << dt;
        }
    }
}

class EngineJacobian : public ::testing::TestWithParam<std::tuple<int, double, bool>> {};

TEST_P(EngineJacobian, MatchesFiniteDifferences) {
    const auto [drainage, a0, drains] = GetParam();
    eng::Column col = layered(drainage);
    const int N = col.N;
    if (drains) {  // radial flow into drains under a vacuum ramp, varying along the column
        for (int c = 0; c < N; ++c) {
            col.drains.eta.push_back(c == N - 1 ? 0.0 : 2.0 + std::cos(0.7 * c));
            col.drains.kh_ratio.push_back(1.0 + 0.5 * (c % 3));
        }
        col.drains.start = 1.0;
        col.drains.drain_u = {{0.0, 10.0}, {0.0, -60.0}};
    }
    std::vector<double> ep0(N), s0(N), sig(N), hist(N), u(N);
    for (int c = 0; c < N; ++c) {
        s0[c] = col.sigma0[c] + 20.0;
        ep0[c] = col.mat[c].P(s0[c]) - (c % 2 ? 0.0 : 0.02);  // some on the line, some below
        sig[c] = col.sigma0[c] + col.dsigv[c];
        u[c] = col.dsigv[c] - 20.0 - 10.0 * std::sin(1.0 + c);
        hist[c] = -a0 * col.mat[c].e_of(ep0[c], s0[c]);
    }
    eng::StepSystem sys, p, m;
    const double dt = 3.0;
    const double t0 = 2.0;
    ASSERT_TRUE(eng::step_residual(col, ep0, s0, sig, hist, a0, dt, t0, u, sys));
    if (drains) {  // the sink is there: the residual differs from the one without drains
        eng::StepSystem plain;
        eng::Column without = col;
        without.drains = eng::Drains{};
        ASSERT_TRUE(eng::step_residual(without, ep0, s0, sig, hist, a0, dt, t0, u, plain));
        EXPECT_GT(std::fabs(sys.R[0] - plain.R[0]), 1e-6 * std::fabs(plain.R[0]));
    }
    for (int j = 0; j < N; ++j) {
        const double h = 1e-6 * (1.0 + std::fabs(u[j]));
        auto up = u, um = u;
        up[j] += h;
        um[j] -= h;
        ASSERT_TRUE(eng::step_residual(col, ep0, s0, sig, hist, a0, dt, t0, up, p));
        ASSERT_TRUE(eng::step_residual(col, ep0, s0, sig, hist, a0, dt, t0, um, m));
        for (int i = 0; i < N; ++i) {
            const double fd = (p.R[i] - m.R[i]) / (2 * h);
            const double an = i == j ? sys.di[i] : i == j - 1 ? sys.up[i] : i == j + 1 ? sys.lo[i] : 0.0;
            EXPECT_NEAR(an, fd, 1e-6 * (std::fabs(fd) + std::fabs(sys.di[i]))) << i << "," << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Drainage, EngineJacobian,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values(1.0, 1.4),
                                            ::testing::Bool()));

// With a fill the drains' sink moves with the settlement too (the border of the
// step's system): the whole bordered Jacobian against finite differences, the
// fill over the whole column (one border value) or not.
class DrainsWithFill : public ::testing::TestWithParam<bool> {};

TEST_P(DrainsWithFill, BorderedJacobianMatchesFiniteDifferences) {
    const bool uniform = GetParam();
    eng::Column col = layered(0);
    const int N = col.N;
    for (int c = 0; c < N; ++c) {
        col.drains.eta.push_back(2.0 + std::cos(0.7 * c));
        col.drains.kh_ratio.push_back(1.5);
    }
    col.drains.drain_u = {{0.0, 10.0}, {0.0, -50.0}};
    std::vector<double> ep0(N), s0(N), sig(N), hist(N), u(N), infl(N);
    const double a0 = 1.4, dt = 3.0, s = 0.3;
    for (int c = 0; c < N; ++c) {
        s0[c] = col.sigma0[c] + 20.0;
        ep0[c] = col.mat[c].P(s0[c]) - (c % 2 ? 0.0 : 0.02);
        sig[c] = col.sigma0[c] + 10.0;
        u[c] = 30.0 - 10.0 * std::sin(1.0 + c);
        hist[c] = -a0 * col.mat[c].e_of(ep0[c], s0[c]);
        infl[c] = uniform ? 0.9 : 1.0 - 0.04 * c;
    }
    eng::StepLoad load;
    load.fills.push_back({19.0, 21.0, 3.0, 0.5, infl});  // the water within the fill
    eng::StepSystem sys, p, m;
    ASSERT_TRUE(eng::step_residual(col, ep0, s0, sig, hist, a0, dt, u, load, s, sys));
    for (int j = 0; j <= N; ++j) {
        const double h = j < N ? 1e-6 * (1.0 + std::fabs(u[j])) : 1e-7;
        auto up = u, um = u;
        if (j < N) {
            up[j] += h;
            um[j] -= h;
        }
        ASSERT_TRUE(eng::step_residual(col, ep0, s0, sig, hist, a0, dt, up, load,
                                       j < N ? s : s + h, p));
        ASSERT_TRUE(eng::step_residual(col, ep0, s0, sig, hist, a0, dt, um, load,
                                       j < N ? s : s - h, m));
        for (int i = 0; i < N; ++i) {
            const double fd = (p.R[i] - m.R[i]) / (2 * h);
            const double an = j == N ? sys.b[i] : i == j ? sys.di[i] : i == j - 1 ? sys.up[i]
                                                   : i == j + 1 ? sys.lo[i] : 0.0;
            EXPECT_NEAR(an, fd, 1e-6 * (std::fabs(fd) + std::fabs(sys.di[i]))) << i << "," << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Influence, DrainsWithFill, ::testing::Bool());

// The drains' pore pressure over a sub-step: linear between corners, a jump
// taking the value before it on a sub-step that ends there (even a last digit
// past it) and the value after on one that starts there, the end values outside.
TEST(EngineDrains, PressurePiecesAndJumps) {
    const eng::PiecewiseLinear r{{1.0, 3.0, 3.0, 5.0}, {0.0, -40.0, -80.0, -80.0}};
    const eng::Drains d{{1.0, 1.0}, {1.0, 1.0}, 0.5, r};
    struct Case { double t0, t1, expect; };
    for (const Case& c : {Case{0.0, 0.5, 0.0}, Case{1.0, 2.0, -20.0}, Case{2.0, 3.0, -40.0},
                          Case{2.0, 3.0 + 4e-16, -40.0}, Case{3.0, 3.5, -80.0},
                          Case{6.0, 9.0, -80.0}})
        EXPECT_DOUBLE_EQ(eng::drain_pressure(d, c.t0, c.t1), c.expect) << c.t0 << " " << c.t1;
    const auto b = eng::drain_breaks(d, 4.0);
    ASSERT_EQ(b.size(), 3u);  // 0.5 (installed), 1, 3 (the jump); 5 lies beyond the run
    EXPECT_TRUE(b[0].jump);
    EXPECT_FALSE(b[1].jump);
    EXPECT_TRUE(b[2].jump);
}

TEST(EngineColumn, SolidsAndStressesWithSelfWeight) {
    // Void ratio given: S = dz/(1 + e) exactly, node stresses add (Gs-1) gammaw S.
    eng::ColumnInput in;
    in.depth = {0.0, 1.0, 3.0};
    in.mat = {kClay, kClay};
    in.Gs = {2.7, 2.5};
    in.dsigv = {0, 0};
    in.ru = {0, 0};
    in.hist_type = {1, 1};
    in.hist_value = {1.0, 1.5};
    in.qo = 0.0;
    const auto col = eng::prepare(in);
    EXPECT_DOUBLE_EQ(col.S[0], 0.5);
    EXPECT_DOUBLE_EQ(col.S[1], 0.8);
    EXPECT_NEAR(col.sigma0[0], 1.7 * 9.81 * 0.25, 1e-12);
    EXPECT_NEAR(col.sig_node[2], 1.7 * 9.81 * 0.5 + 1.5 * 9.81 * 0.8, 1e-12);
}

TEST(EngineColumn, ImpossibleInputNamesParameterAndElement) {
    auto base = [] {
        eng::ColumnInput in;
        in.depth = {0.0, 1.0, 2.0};
        in.mat = {kClay, kClay};
        in.Gs = {2.7, 2.7};
        in.dsigv = {10, 10};
        in.ru = {0, 0};
        in.hist_type = {0, 0};
        in.hist_value = {1.0, 1.0};
        in.qo = 5.0;
        return in;
    };
    auto param = [](const eng::ColumnInput& in) -> std::string {
        try {
            eng::prepare(in);
        } catch (const eng::InputError& e) {
            return e.param + "@" + std::to_string(e.index);
        }
        return "";
    };
    auto in = base();
    in.mat[1].Cr = 0.6;
    EXPECT_EQ(param(in), "Cc@1");
    in = base();
    in.hist_value[0] = 0.9;
    EXPECT_EQ(param(in), "ocrvoidratio@0");
    in = base();
    in.hist_type[1] = 1;
    in.hist_value[1] = 3.0;  // above the compression line
    EXPECT_EQ(param(in), "ocrvoidratio@1");
    in = base();
    in.qo = 0.0;
    in.Gs = {1.0, 1.0};
    EXPECT_EQ(param(in), "qo@0");
    in = base();
    in.depth[2] = 1.0;
    EXPECT_EQ(param(in), "depth@2");
    in = base();
    in.drainage = 3;
    EXPECT_EQ(param(in), "drainagetype@-1");
}

}  // namespace

// Where the pore pressure reaches the total stress (water pushing up under a
// sealed top with no surcharge) the soil relations see an effective stress
// floored smoothly at 1e-8 of the column's stress scale: states stay finite
// and d e / d u stays the derivative of e, through the floor and past it.
TEST(EngineLocal, EffectiveStressFloorIsSmoothAndFinite) {
    const eng::Column col = layered(2);
    const int N = col.N;
    double scale = 0.0;
    for (int c = 0; c < N; ++c) scale = std::max({scale, col.sigma0[c], col.mat[c].sigvref});
    const double delta = 1e-8 * scale;
    std::vector<double> ep0(N), s0(N), sig(N), u(N), ep, e, dedu, ep2, e2, dedu2;
    for (int c = 0; c < N; ++c) {
        s0[c] = col.sigma0[c];
        ep0[c] = col.mat[c].P(s0[c]) - 0.01;
        sig[c] = col.sigma0[c] + col.dsigv[c];
    }
    for (double x : {-1e3, -3.0, 0.0, 1.0, 2.0, 30.0, 45.0}) {  // s' = x delta
        for (int c = 0; c < N; ++c) u[c] = sig[c] - x * delta;
        ASSERT_TRUE(eng::cell_states(col, ep0, s0, sig, 0.5, u, ep, e, dedu)) << x;
        for (int c = 0; c < N; ++c) {
            ASSERT_TRUE(std::isfinite(e[c]) && e[c] > 0.0) << x;
            const double h = 1e-4 * delta;
            auto up = u, um = u;
            up[c] += h;
            um[c] -= h;
            std::vector<double> em;
            ASSERT_TRUE(eng::cell_states(col, ep0, s0, sig, 0.5, up, ep2, e2, dedu2));
            ASSERT_TRUE(eng::cell_states(col, ep0, s0, sig, 0.5, um, ep2, em, dedu2));
            EXPECT_NEAR(dedu[c], (e2[c] - em[c]) / (2 * h), 1e-4 * std::fabs(dedu[c]) + 1e-6 / delta)
                << x << " " << c;
        }
    }
}
