// Unit tests of the scalar soil relations: closed forms of permeability,
// compressibility and the void-ratio update with creep.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

#include "core/errors.hpp"
#include "test_util.hpp"
#include "soil/soil.hpp"

using pelorin::ErrKind;
using pelorin::NumericError;
namespace soil = pelorin::soil;

namespace {

using test_util::error_of;
using test_util::kLn10;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---------------------------------------------------------------- get_ktest

TEST(Ktest, ReferenceAndOneDecade) {
    // Void ratios chosen so that etest - ekref == Ck exactly.
    for (double Ck : {0.125, 0.375, 2.0}) {
        for (double kref : {1e-9, 3.5e-7}) {
            const double ekref = 0.875;
            EXPECT_EQ(soil::get_ktest(ekref, ekref, kref, Ck), kref);
            EXPECT_EQ(soil::get_ktest(ekref + Ck, ekref, kref, Ck), 10.0 * kref);
            EXPECT_DOUBLE_EQ(soil::get_ktest(ekref - Ck, ekref, kref, Ck), 0.1 * kref);
        }
    }
    EXPECT_EQ(error_of([] { soil::get_ktest(1.0, 0.9, 1e-8, 0.0); }), ErrKind::FloatDivision);
}

// --------------------------------------------------------------- get_avtest

struct SoilState {
    double Cc, Cr, sigvref, eref;
    // Void ratio on the normal compression line at stress s.
    double ncl(double s) const { return eref - Cc * std::log10(s / sigvref); }
    // Void ratio at stress s on the recompression line through the
    // preconsolidation stress p.
    double oc(double s, double p) const { return ncl(p) + Cr * std::log10(p / s); }
    double av(double elast, double sl, double st) const {
        return soil::get_avtest(elast, sl, st, eref, sigvref, Cc, Cr);
    }
};

class Avtest : public ::testing::TestWithParam<SoilState> {};

TEST_P(Avtest, TangentOnNormalCompressionLine) {
    const SoilState s = GetParam();
    for (double sl : {20.0, 100.0, 730.0}) {
        const double av = s.av(s.ncl(sl), sl, sl);
        EXPECT_NEAR(av, s.Cc / (sl * kLn10), 1e-12 * av);
    }
}

TEST_P(Avtest, SecantForVirginLoading) {
    // A decade of virgin loading compresses by Cc: the secant Cc/(9 sl),
    // well below the tangent at the start of the step.
    const SoilState s = GetParam();
    for (double sl : {20.0, 100.0, 730.0}) {
        const double av = s.av(s.ncl(sl), sl, 10.0 * sl);
        EXPECT_NEAR(av, s.Cc / (9.0 * sl), 1e-12 * av);
    }
}

TEST_P(Avtest, TangentBelowPreconsolidation) {
    const SoilState s = GetParam();
    for (double sl : {20.0, 100.0}) {
        const double av = s.av(s.oc(sl, 3.0 * sl), sl, sl);
        EXPECT_NEAR(av, s.Cr / (sl * kLn10), 1e-12 * av);
    }
}

TEST_P(Avtest, UnloadingFollowsRecompressionSlope) {
    const SoilState s = GetParam();
    for (double pfac : {1.0, 4.0}) {  // from the NCL and from an OC state
        const double sl = 150.0;
        const double av = s.av(s.oc(sl, pfac * sl), sl, sl / 10.0);
        EXPECT_NEAR(av, s.Cr / (0.9 * sl), 1e-12 * av);
        EXPECT_GT(av, 0.0);
    }
}

TEST_P(Avtest, StepAcrossPreconsolidationStress) {
    const SoilState s = GetParam();
    const double p = 240.0;
    const double sl = p / 2.0, st = 2.0 * p;
    const double De = (s.Cc + s.Cr) * std::log10(2.0);
    const double av = s.av(s.oc(sl, p), sl, st);
    EXPECT_NEAR(av, De / (st - sl), 1e-10 * av);
}

TEST_P(Avtest, ZeroDivisors) {
    const SoilState s = GetParam();
    // State above the normal compression line, no stress change: no tangent
    // applies and the secant divides by a zero step.
    const double sl = 100.0;
    EXPECT_EQ(error_of([&] { s.av(s.ncl(sl) + 0.2, sl, sl); }), ErrKind::FloatDivision);
    EXPECT_EQ(error_of([&] { s.av(1.0, 0.0, 50.0); }), ErrKind::FloatDivision);
    EXPECT_EQ(error_of([&] {
                  soil::get_avtest(1.0, 100.0, 200.0, s.eref, s.sigvref, s.Cc, s.Cc);
              }),
              ErrKind::FloatDivision);
}

INSTANTIATE_TEST_SUITE_P(Soils, Avtest,
                         ::testing::Values(SoilState{0.4, 0.04, 100.0, 1.2},
                                           SoilState{1.1, 0.2, 35.0, 2.6},
                                           SoilState{0.25, 0.05, 1000.0, 0.7}));

// ---------------------------------------------------------------- get_etest

struct Creep {
    double elast = 1.1, eref = 1.05, alpha = 0.02 / kLn10, tref = 1.0;
    double sigvtest = 130.0, sigvlast = 110.0, sigvref = 100.0, Cc = 0.35;
    double avtest = 2e-3, utest = 20.0, ulast = 35.0, dt = 0.3;

    soil::EtestResult run(double etest) const {
        return soil::get_etest(etest, elast, eref, alpha, tref, sigvtest, sigvlast, sigvref, Cc,
                               avtest, utest, ulast, dt);
    }
    double rate(double e, double s) const {
        return std::exp((e - eref) / alpha + Cc / alpha * std::log10(s / sigvref));
    }
    // Trapezoidal void-ratio balance over the step: compression from the
    // pressure change minus the mean creep of both ends.
    double imbalance(double e) const {
        const double F = dt * 0.5 * alpha / tref;
        return elast + avtest * (utest - ulast) - F * (rate(elast, sigvlast) + rate(e, sigvtest)) -
               e;
    }
};

TEST(Etest, WithoutCreepIsLinearAndTestsNoDivisor) {
    for (double alpha : {0.0, -0.01, kNaN}) {
        Creep c;
        c.alpha = alpha;
        c.tref = 0.0;
        c.sigvref = 0.0;
        const auto r = c.run(123.0);
        EXPECT_TRUE(r.converged);
        EXPECT_EQ(r.e, c.elast + c.avtest * (c.utest - c.ulast));
    }
}

TEST(Etest, ZeroTimeStepGivesPressureCompression) {
    Creep c;
    c.dt = 0.0;
    const auto r = c.run(c.elast + 0.05);
    EXPECT_TRUE(r.converged);
    EXPECT_NEAR(r.e, c.elast + c.avtest * (c.utest - c.ulast), 1e-14);
}

TEST(Etest, StartWithinToleranceIsReturnedUnchanged) {
    Creep c;
    c.dt = 0.0;
    const double e0 = c.elast + c.avtest * (c.utest - c.ulast);
    ASSERT_LE(std::fabs(c.imbalance(e0)), 1e-12);
    const auto r = c.run(e0);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.e, e0);
}

TEST(Etest, ConvergedResultClosesTheCreepBalance) {
    for (double dt : {1e-3, 0.3, 5.0, 200.0}) {
        for (double start : {1.1, 0.9, 1.3}) {
            Creep c;
            c.dt = dt;
            const auto r = c.run(start);
            ASSERT_TRUE(r.converged) << dt << " " << start;
            EXPECT_LE(std::fabs(c.imbalance(r.e)), 1e-11) << dt << " " << start;
            EXPECT_LT(r.e, c.elast + c.avtest * (c.utest - c.ulast));  // creep compresses
        }
    }
}

TEST(Etest, UpdateBudget) {
    // With alpha = 1 and a start far above the solution, each Newton update
    // lowers the void ratio by about 1 until the last few quadratic steps:
    // from 96 the iteration needs 99 updates, from 97 it needs 100, one more
    // than the budget allows.
    Creep c;
    c.alpha = 1.0;
    c.eref = 0.0;
    c.sigvtest = c.sigvlast = c.sigvref;
    c.dt = 1.0;
    c.utest = 20.0;
    c.ulast = 35.0;
    for (double start : {60.0, 96.0}) {
        const auto r = c.run(start);
        ASSERT_TRUE(r.converged) << start;
        EXPECT_LE(std::fabs(c.imbalance(r.e)), 1e-11);
    }
    for (double start : {97.0, 150.0, 600.0}) EXPECT_FALSE(c.run(start).converged) << start;
}

TEST(Etest, NaNResidualEndsTheIteration) {
    Creep c;
    c.utest = kNaN;
    const auto r = c.run(0.95);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.e, 0.95);
}

TEST(Etest, ZeroDivisorsWithCreep) {
    Creep c;
    c.tref = 0.0;
    EXPECT_EQ(error_of([&] { c.run(1.0); }), ErrKind::FloatDivision);
    c = Creep{};
    c.sigvref = 0.0;
    EXPECT_EQ(error_of([&] { c.run(1.0); }), ErrKind::FloatDivision);
}

}  // namespace
