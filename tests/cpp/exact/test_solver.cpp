// Unit tests of the residual and the tridiagonal trial step of a column.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "core/errors.hpp"
#include "test_util.hpp"
#include "core/views.hpp"
#include "solver/solver.hpp"

using pelorin::ErrKind;
using pelorin::NumericError;
using pelorin::Vec;
namespace solver = pelorin::solver;

namespace {

using test_util::error_of;
using test_util::kLn10;


Vec view(std::vector<double>& v) { return Vec(v.data(), static_cast<std::ptrdiff_t>(v.size())); }

// A column of N elements with every node array of the residual and the trial
// step.  make() fills it with smooth but non-uniform values: uneven spacing,
// varying permeability and compressibility, pressures of both signs.
struct Column {
    int N = 0;
    double gammaw = 9.81, dt = 400.0;
    std::vector<double> ulast, utest, elast, etest, klast, ktest, avtest, zlast, ztest, sigvlast,
        sigvtest, Ca, Cc, sigvref, esigvref, tref;

    std::vector<std::vector<double>*> arrays() {
        return {&ulast, &utest,    &elast, &etest, &klast,   &ktest,    &avtest, &zlast,
                &ztest, &sigvlast, &sigvtest, &Ca, &Cc, &sigvref, &esigvref, &tref};
    }

    static Column make(int N, double Ca = 0.0, std::size_t len = 0) {
        Column c;
        c.N = N;
        const std::size_t n = len ? len : static_cast<std::size_t>(N + 1);
        for (auto* v : c.arrays()) v->assign(n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            const double s = std::sin(1.3 * i), co = std::cos(0.7 * i);
            // Dyadic positions, so that a reflected column is exact.
            c.zlast[i] = 0.25 * i + 0.0625 * (i % 3);
            c.ztest[i] = c.zlast[i] * 0.96875;
            c.klast[i] = 1e-6 * (1.0 + 0.4 * s);
            c.ktest[i] = 1e-6 * (1.0 + 0.3 * co);
            c.avtest[i] = 2e-3 * (1.0 + 0.2 * co);
            c.elast[i] = 1.1 + 0.05 * s;
            c.ulast[i] = 40.0 * s + 5.0;
            c.utest[i] = 30.0 * co - 2.0;
            c.Cc[i] = 0.4;
            c.Ca[i] = Ca;
            c.tref[i] = 1e4;
            c.sigvref[i] = 100.0;
            c.sigvlast[i] = 100.0 + 10.0 * i;
            c.sigvtest[i] = c.sigvlast[i] + 8.0 + 2.0 * s;
            // Near the normal compression line, so that the creep factors are
            // of order 1.
            c.esigvref[i] = c.elast[i] + c.Cc[i] * std::log10(c.sigvlast[i] / c.sigvref[i]);
            c.etest[i] = c.elast[i] - 0.001;
        }
        return c;
    }

    // The column turned upside down: node i becomes node N - i, depths are
    // measured from the old bottom.
    Column reflected() const {
        Column r = *this;
        for (auto* v : r.arrays()) std::reverse(v->begin(), v->end());
        const double Hl = zlast[N], Ht = ztest[N];
        for (int i = 0; i <= N; ++i) {
            r.zlast[i] = Hl - zlast[N - i];
            r.ztest[i] = Ht - ztest[N - i];
        }
        return r;
    }

    solver::ResidualIn residual_in(int drainagetype) {
        return {view(ulast),    view(utest),    view(elast), view(etest),    view(klast),
                view(ktest),    view(avtest),   view(zlast), view(ztest),    view(sigvlast),
                view(sigvtest), gammaw,         view(Ca),    view(Cc),       view(sigvref),
                view(esigvref), dt,             view(tref),  drainagetype,   N};
    }
    solver::UtestIn utest_in(int drainagetype) {
        return {view(klast), view(ktest),    view(avtest),   view(zlast),    view(ztest),
                view(ulast), view(sigvlast), view(sigvtest), view(elast),    view(etest),
                view(Ca),    view(Cc),       view(sigvref),  view(esigvref), dt,
                view(tref),  drainagetype,   N,              gammaw};
    }

    std::vector<double> residual(int drainagetype) {
        std::vector<double> res(static_cast<std::size_t>(N + 1), 0.0);
        solver::get_residual(residual_in(drainagetype), view(res));
        return res;
    }
    std::vector<double> utest_solve(int drainagetype) {
        const auto rows = solver::utest_rows(drainagetype, N);
        std::vector<double> a(rows, 0.0), b(rows, 0.0), c(rows, 0.0), x(rows, 0.0);
        std::vector<double> uout(static_cast<std::size_t>(N + 1), 0.0);
        solver::get_utest(utest_in(drainagetype), view(a), view(b), view(c), view(x), view(uout));
        return uout;
    }
};

double max_abs(const std::vector<double>& v) {
    double m = 0.0;
    for (double d : v) m = std::max(m, std::fabs(d));
    return m;
}

class ByDrainage : public ::testing::TestWithParam<int> {};

// ------------------------------------------------------------------ residual

TEST_P(ByDrainage, ResidualOfUniformFieldWithoutCreepIsZero) {
    Column c = Column::make(6);
    std::fill(c.ulast.begin(), c.ulast.end(), 25.0);
    c.utest = c.ulast;
    for (double r : c.residual(GetParam())) EXPECT_EQ(r, 0.0);
}

TEST_P(ByDrainage, ResidualOfRestingColumnIsTheCreepRate) {
    // Unchanged uniform pressures and every node at the reference point of the
    // normal compression line: only creep remains, with both rate factors 1.
    const int d = GetParam();
    const double Ca = 0.03;
    Column c = Column::make(5, Ca);
    std::fill(c.ulast.begin(), c.ulast.end(), 10.0);
    c.utest = c.ulast;
    c.sigvtest = c.sigvlast = c.sigvref;
    c.etest = c.esigvref = c.elast;
    const auto res = c.residual(d);
    for (int i = 0; i <= c.N; ++i) {
        const bool drained = (i == 0 && d != 2) || (i == c.N && d != 1);
        const double expected = drained ? 0.0 : Ca / kLn10 * c.dt / (c.tref[i] * (1.0 + c.elast[i]));
        EXPECT_NEAR(res[i], expected, 1e-13 * std::fabs(expected)) << "node " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Types, ByDrainage, ::testing::Values(0, 1, 2, 7));

TEST(Residual, NodeWithoutCreepIndexGetsNoCreep) {
    for (double own : {0.0, -0.02}) {
        Column creep = Column::make(6, 0.02);
        creep.Ca[3] = own;
        Column none = Column::make(6, 0.0);
        for (int d : {0, 1, 2}) {
            const auto rc = creep.residual(d), rn = none.residual(d);
            EXPECT_EQ(rc[3], rn[3]);
            EXPECT_NE(rc[2], rn[2]);
            EXPECT_NE(rc[4], rn[4]);
        }
    }
}

TEST(Residual, SingleElement) {
    Column c = Column::make(1);
    c.gammaw = 0.0;  // no node equation, so never divided by
    EXPECT_EQ(c.residual(0), std::vector<double>({0.0, 0.0}));

    // Sealed bottom, uniform permeability, no storage: Darcy flow over the
    // element, averaged over the step.
    c = Column::make(1);
    c.klast = c.ktest = {2e-6, 2e-6};
    c.avtest = {0.0, 0.0};
    const double dzl = c.zlast[1] - c.zlast[0], dzt = c.ztest[1] - c.ztest[0];
    const double Th = 0.5 * c.dt / c.gammaw;
    const double flow = Th * 2e-6 *
                        ((c.ulast[0] - c.ulast[1]) / (dzl * dzl) +
                         (c.utest[0] - c.utest[1]) / (dzt * dzt));
    const auto res = c.residual(1);
    EXPECT_EQ(res[0], 0.0);
    EXPECT_NEAR(res[1], flow, 1e-12 * std::fabs(flow));
}

TEST(Residual, Failures) {
    {
        // No element: the bottom's neighbour wraps onto the node itself.
        Column c = Column::make(0);
        EXPECT_EQ(c.residual(0), std::vector<double>({0.0}));
        EXPECT_EQ(error_of([&] { c.residual(1); }), ErrKind::FloatDivision);
        EXPECT_EQ(error_of([&] { c.residual(2); }), ErrKind::IndexOutOfBounds);
    }
    {
        // Creep is evaluated on the interpreter's floats: its zero tref is
        // reported as such; a zero spacing is the module's own division.
        Column c = Column::make(4, 0.02);
        c.tref[2] = 0.0;
        EXPECT_EQ(error_of([&] { c.residual(0); }), ErrKind::HostFloatDivision);
        c = Column::make(4, 0.02);
        c.tref[4] = 0.0;
        EXPECT_NO_THROW(c.residual(0));
        EXPECT_EQ(error_of([&] { c.residual(1); }), ErrKind::HostFloatDivision);
        c = Column::make(4, 0.0);
        c.tref[2] = 0.0;
        EXPECT_NO_THROW(c.residual(0));
        c.ztest[3] = c.ztest[1];
        EXPECT_EQ(error_of([&] { c.residual(0); }), ErrKind::FloatDivision);
    }
    {
        Column c = Column::make(4);
        c.ktest.pop_back();
        for (int d : {0, 1}) EXPECT_EQ(error_of([&] { c.residual(d); }), ErrKind::IndexOutOfBounds);
    }
}

TEST(Residual, SealedEndsAreMirrorImages) {
    Column c = Column::make(7, 0.02);
    Column r = c.reflected();
    const auto bottom = c.residual(1), top = r.residual(2);
    const double scale = max_abs(bottom);
    for (int i = 0; i <= c.N; ++i) EXPECT_NEAR(bottom[i], top[c.N - i], 1e-12 * scale) << i;
}

// ---------------------------------------------------------------- trial step

TEST(Utest, RowCounts) {
    EXPECT_EQ(solver::utest_rows(0, 5), 4);
    EXPECT_EQ(solver::utest_rows(1, 5), 5);
    EXPECT_EQ(solver::utest_rows(2, 5), 5);
    EXPECT_EQ(solver::utest_rows(3, 5), 6);
    EXPECT_EQ(solver::utest_rows(0, 1), 0);
    EXPECT_EQ(solver::utest_rows(0, 0), -1);
}

class UtestDrainage : public ::testing::TestWithParam<int> {};

TEST_P(UtestDrainage, ZeroTimeStepKeepsPressures) {
    const int d = GetParam();
    Column c = Column::make(8, 0.02);
    c.dt = 0.0;
    const auto u = c.utest_solve(d);
    for (int i = 0; i <= c.N; ++i) {
        const bool drained = (i == 0 && d != 2) || (i == c.N && d != 1);
        if (drained)
            EXPECT_EQ(u[i], 0.0) << i;
        else
            EXPECT_NEAR(u[i], c.ulast[i], 1e-12 * std::fabs(c.ulast[i])) << i;
    }
}

TEST_P(UtestDrainage, DrainedEndsAreExactlyZero) {
    const int d = GetParam();
    Column c = Column::make(5, 0.01);
    c.ulast.front() = 1e3;
    c.ulast.back() = -7e2;
    const auto u = c.utest_solve(d);
    if (d != 2) {
        EXPECT_EQ(u.front(), 0.0);
    }
    if (d != 1) {
        EXPECT_EQ(u.back(), 0.0);
    }
}

TEST_P(UtestDrainage, SolutionZeroesTheResidual) {
    // With permeabilities and positions held fixed the trial step solves the
    // part of the residual that is linear in the trial pressures, creep
    // included as a known term: feeding its solution back must give a
    // residual of (nearly) zero at every solved interior node.  A sealed
    // end's row keeps the one-sided gradient product T8*dk*(u_hi - u_lo)/dz^2
    // off its diagonal, so there the residual left is that product's share of
    // the end node's own pressure.
    const int d = GetParam();
    Column c = Column::make(9, 0.02);
    c.Ca[4] = 0.0;
    c.utest = c.utest_solve(d);
    const auto res = c.residual(d);
    const int N = c.N;
    const double T8 = 0.125 * c.dt / c.gammaw;
    std::vector<double> expected(N + 1, 0.0);
    if (d == 1) {
        const double dz = c.ztest[N] - c.ztest[N - 1];
        expected[N] = T8 * (c.ktest[N] - c.ktest[N - 1]) * c.utest[N] / (dz * dz);
    } else if (d == 2) {
        const double dz = c.ztest[1] - c.ztest[0];
        expected[0] = -T8 * (c.ktest[1] - c.ktest[0]) * c.utest[0] / (dz * dz);
    }
    // Scale: the storage term of a typical pressure.
    const double scale = 2e-3 / 2.1 * max_abs(c.ulast);
    for (int i = 0; i <= N; ++i) {
        EXPECT_NEAR(res[i], expected[i], 1e-12 * scale) << "node " << i;
        if (expected[i] != 0.0) {
            EXPECT_GT(std::fabs(expected[i]), 1e-6 * scale);  // a real test of that row
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Types, UtestDrainage, ::testing::Values(0, 1, 2));

TEST(Utest, SealedEndsAreMirrorImages) {
    Column c = Column::make(7, 0.02);
    Column r = c.reflected();
    const auto bottom = c.utest_solve(1), top = r.utest_solve(2);
    const double scale = max_abs(bottom);
    for (int i = 0; i <= c.N; ++i) EXPECT_NEAR(bottom[i], top[c.N - i], 1e-12 * scale) << i;
}

TEST(Utest, ChangingCreepOfNodeWithoutCreepIndexChangesNothing) {
    // At a node whose Ca is 0 the creep inputs must not matter, even with
    // creeping neighbours.
    Column c = Column::make(6, 0.02);
    c.Ca[3] = 0.0;
    const auto base = c.utest_solve(0);
    c.tref[3] = 0.0;
    c.sigvref[3] = 0.0;
    c.etest[3] += 0.5;
    EXPECT_EQ(c.utest_solve(0), base);
}

TEST(Utest, SingleElementFailures) {
    Column c = Column::make(1);
    // Both ends drained: no row at all.
    EXPECT_EQ(error_of([&] { c.utest_solve(0); }), ErrKind::IndexOutOfBounds);
    // Sealed bottom: the neighbour's link wraps onto the bottom node, zero
    // spacing on the interpreter's floats.
    EXPECT_EQ(error_of([&] { c.utest_solve(1); }), ErrKind::HostFloatDivision);
    // Sealed top: the neighbour's link reads below the bottom node.
    EXPECT_EQ(error_of([&] { c.utest_solve(2); }), ErrKind::IndexOutOfBounds);
}

TEST(Utest, SingleElementWithLongerArrays) {
    // Arrays longer than N + 1 keep the neighbour's stencil finite.  A
    // sealed bottom then solves its single row (the link lands on that row's
    // c, unread by a one-row sweep); a sealed top has no row 1 for its link.
    Column c = Column::make(1, 0.0, 4);
    c.dt = 0.0;
    const auto u = c.utest_solve(1);
    EXPECT_NEAR(u[1], c.ulast[1], 1e-12 * std::fabs(c.ulast[1]));
    EXPECT_EQ(u[0], 0.0);
    EXPECT_EQ(error_of([&] { c.utest_solve(2); }), ErrKind::IndexOutOfBounds);
}

TEST(Utest, OtherFailures) {
    {
        // An unknown boundary selection leaves empty rows: the sweep fails.
        for (int N : {0, 1, 4}) {
            Column c = Column::make(N);
            EXPECT_EQ(error_of([&] { c.utest_solve(5); }), ErrKind::FloatDivision) << N;
        }
    }
    {
        // Zero trial spacing: the interpreter's division; a zero previous
        // spacing or a zero tref at a creeping node: the module's.
        Column c = Column::make(4, 0.02);
        c.ztest[3] = c.ztest[1];
        EXPECT_EQ(error_of([&] { c.utest_solve(0); }), ErrKind::HostFloatDivision);
        c = Column::make(4, 0.02);
        c.zlast[3] = c.zlast[1];
        EXPECT_EQ(error_of([&] { c.utest_solve(0); }), ErrKind::FloatDivision);
        c = Column::make(4, 0.02);
        c.tref[2] = 0.0;
        EXPECT_EQ(error_of([&] { c.utest_solve(0); }), ErrKind::FloatDivision);
    }
    {
        Column c = Column::make(4);
        c.klast.pop_back();
        for (int d : {0, 1, 2})
            EXPECT_EQ(error_of([&] { c.utest_solve(d); }), ErrKind::IndexOutOfBounds) << d;
    }
}

}  // namespace
