// Coupled Newton step: closed forms of small systems, the failure kinds of
// degenerate columns, and the matrix against a finite-difference Jacobian of
// the residual where the linearisation is exact (no creep, pressures at their
// previous values, permeability and spacing following the void ratio).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <ostream>
#include <vector>

#include "core/errors.hpp"
#include "core/views.hpp"
#include "solver/solver.hpp"

namespace {

using pelorin::ErrKind;
using pelorin::NumericError;
using pelorin::Vec;
using pelorin::solver::get_residual;
using pelorin::solver::get_utest2;
using pelorin::solver::ResidualIn;
using pelorin::solver::Utest2In;
using pelorin::solver::utest2_rows;
using Vd = std::vector<double>;

Vec view(Vd& v) { return Vec(v.data(), static_cast<std::ptrdiff_t>(v.size())); }

// Secant compressibility over a stress step (the soil law the step
// differentiates), written out independently of the solver.
double secant_av(double el, double sl, double st, double er, double sr, double Cc, double Cr) {
    const double sigmap =
        std::pow(10.0, ((er - el) + Cc * std::log10(sr) - Cr * std::log10(sl)) / (Cc - Cr));
    double De;
    if (sl >= sigmap && st > sl)
        De = Cc * std::log10(st / sl);
    else if (st < sigmap || st < sl)
        De = Cr * std::log10(st / sl);
    else
        De = Cc * std::log10(st / sigmap) + Cr * std::log10(sigmap / sl);
    return De / (st - sl);
}

// Void ratio that puts the preconsolidation stress of a state at sigmap.
double elast_for(double sigmap, double sl, double er, double sr, double Cc, double Cr) {
    return er - ((Cc - Cr) * std::log10(sigmap) - std::log10(sr) * Cc + std::log10(sl) * Cr);
}

struct Column {
    int N = 0;
    int drainagetype = 0;
    double dt = 1.0, gammaw = 9.81, pa = 101.325;
    Vd klast, ktest, zlast, ztest, avtest, elast, etest, ulast, utest, sigvlast, sigvtest, Res;
    Vd Cc, Cr, Ca, ekref, kref, Ck, tref, esigvref, sigvref, dsigv;
    Vd sigtot;  // total stress, fixed over the step: sigv = sigtot - u

    Utest2In in() {
        return Utest2In{N,           view(klast),    view(ktest),  view(zlast),    view(ztest),
                        view(avtest), view(elast),   view(etest),  view(ulast),    view(utest),
                        view(sigvlast), view(sigvtest), view(Res), dt,            view(Cc),
                        view(Cr),    view(Ca),       gammaw,       view(ekref),    view(kref),
                        view(Ck),    view(tref),     view(esigvref), view(sigvref), view(dsigv),
                        drainagetype, pa};
    }

    double k_of(int j, double e) const { return kref[j] * std::pow(10.0, (e - ekref[j]) / Ck[j]); }

    // Derives the trial state of every node from the trial pressures: stress,
    // secant compressibility, void ratio (no creep), permeability, positions.
    void derive() {
        for (int j = 0; j <= N; ++j) {
            sigvtest[j] = sigtot[j] - utest[j];
            avtest[j] = secant_av(elast[j], sigvlast[j], sigvtest[j], esigvref[j], sigvref[j],
                                  Cc[j], Cr[j]);
            etest[j] = elast[j] + avtest[j] * (utest[j] - ulast[j]);
            ktest[j] = k_of(j, etest[j]);
        }
        ztest[0] = zlast[0];
        for (int j = 0; j < N; ++j) {
            const double ml = 1 + 0.5 * (elast[j] + elast[j + 1]);
            const double mt = 1 + 0.5 * (etest[j] + etest[j + 1]);
            ztest[j + 1] = ztest[j] + (zlast[j + 1] - zlast[j]) * mt / ml;
        }
    }

    ResidualIn residual_in() {
        return ResidualIn{view(ulast),    view(utest),    view(elast), view(etest),   view(klast),
                          view(ktest),    view(avtest),   view(zlast), view(ztest),   view(sigvlast),
                          view(sigvtest), gammaw,         view(Ca),    view(Cc),      view(sigvref),
                          view(esigvref), dt,             view(tref),  drainagetype,  N};
    }

    Vd residual() {
        Vd r(N + 1, 0.0);
        get_residual(residual_in(), view(r));
        return r;
    }
};

// A layered column with a load step of 30 kPa, pressures away from their
// previous values (so every path of the derivative is live) and creep on.
Column make_column(int N, int drainagetype, double Ca = 0.01) {
    Column c;
    c.N = N;
    c.drainagetype = drainagetype;
    const auto n = static_cast<std::size_t>(N + 1);
    for (Vd* v : {&c.klast, &c.ktest, &c.zlast, &c.ztest, &c.avtest, &c.elast, &c.etest, &c.ulast,
                  &c.utest, &c.sigvlast, &c.sigvtest, &c.Res, &c.Cc, &c.Cr, &c.Ca, &c.ekref,
                  &c.kref, &c.Ck, &c.tref, &c.esigvref, &c.sigvref, &c.dsigv, &c.sigtot})
        v->assign(n, 0.0);
    for (int j = 0; j <= N; ++j) {
        c.zlast[j] = j * 1.0 + 0.1 * std::sin(1.0 * j);
        c.Cc[j] = 0.4 + 0.02 * j;
        c.Cr[j] = 0.06;
        c.Ca[j] = Ca;
        c.sigvref[j] = 100.0;
        c.esigvref[j] = 1.2;
        c.sigvlast[j] = 60.0 + 8.0 * j;
        // normally consolidated at even nodes, overconsolidated at odd ones
        const double sigmap = (j % 2 == 0) ? 0.9 * c.sigvlast[j] : 1.5 * c.sigvlast[j];
        c.elast[j] = elast_for(sigmap, c.sigvlast[j], c.esigvref[j], c.sigvref[j], c.Cc[j], c.Cr[j]);
        c.ekref[j] = 1.0;
        c.kref[j] = 2e-2;
        c.Ck[j] = 0.3;
        c.tref[j] = 1.0;
        c.ulast[j] = 40.0 + 10.0 * std::cos(1.7 * j);
        c.utest[j] = c.ulast[j] - 5.0 - 3.0 * std::sin(2.3 * j);
        c.sigtot[j] = c.sigvlast[j] + c.ulast[j] + 30.0;
        c.klast[j] = c.k_of(j, c.elast[j]);
        c.dsigv[j] = 30.0;
    }
    c.derive();
    return c;
}

struct Solved {
    Vd uout, a, b, c;  // c as built, before the sweep scaled it
};

// c[r] as built, recovered from the swept values (pivots use the swept c).
Vd built_c(const Vd& a, const Vd& b, const Vd& swept) {
    Vd c(swept.size());
    for (std::size_t r = 0; r < swept.size(); ++r) {
        const double pivot = (r == 0) ? b[0] : b[r] - swept[r - 1] * a[r];
        c[r] = swept[r] * pivot;
    }
    return c;
}

Solved solve(Column& col) {
    const std::ptrdiff_t rows = utest2_rows(col.drainagetype, col.N);
    const auto nr = static_cast<std::size_t>(rows < 0 ? 0 : rows);
    Solved s{Vd(col.utest.size(), 0.0), Vd(nr, 0.0), Vd(nr, 0.0), Vd(nr, 0.0)};
    Vd x(nr, 0.0);
    get_utest2(col.in(), view(s.a), view(s.b), view(s.c), view(x), view(s.uout));
    s.c = built_c(s.a, s.b, s.c);
    return s;
}

ErrKind failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const NumericError& e) {
        return e.kind;
    }
    ADD_FAILURE() << "no failure raised";
    return ErrKind::IndexOutOfBounds;
}

class Utest2ByDrainage : public ::testing::TestWithParam<int> {};

// With a zero residual the update is zero whatever the matrix, and the
// drained ends are exactly 0 (positive zero) whatever the trial held there.
TEST_P(Utest2ByDrainage, ZeroResidualKeepsTrialPressures) {
    Column col = make_column(6, GetParam());
    const Solved s = solve(col);
    const int N = col.N;
    for (int j = 0; j <= N; ++j) {
        const bool drained = (j == 0 && GetParam() != 2) || (j == N && GetParam() != 1);
        if (drained) {
            EXPECT_EQ(s.uout[j], 0.0) << j;
            EXPECT_FALSE(std::signbit(s.uout[j])) << j;
        } else {
            EXPECT_EQ(s.uout[j], col.utest[j]) << j;
        }
    }
}

// At pressures equal to their previous values and without creep, the matrix
// is the exact Jacobian of the residual with respect to the trial pressures,
// when stress, compressibility, void ratio, permeability and the spacing of
// the row's node follow the pressures.  Checked row by row against central
// differences of the residual.
TEST_P(Utest2ByDrainage, MatrixIsTheJacobianWithoutCreep) {
    const int dtype = GetParam();
    Column col = make_column(5, dtype, /*Ca=*/0.0);
    // Pressures at their previous values, strongly curved, so that the
    // permeability and spacing paths carry weight.
    for (int j = 0; j <= col.N; ++j) {
        col.ulast[j] = 40.0 + ((j % 2) ? 25.0 : -15.0) + 3.0 * j;
        col.utest[j] = col.ulast[j];
        col.sigtot[j] = col.sigvlast[j] + col.ulast[j] + 30.0;
    }
    col.derive();
    const Solved s = solve(col);
    const Vd zbase = col.zlast;  // positions at unchanged pressures

    const int N = col.N;
    const int first = (dtype == 2) ? 0 : 1;
    const int last = (dtype == 1) ? N : N - 1;

    // Residual of node i for the pressures u, with the position of the node's
    // span following its own void ratio only (as the linearisation has it).
    auto residual_at = [&](int i, const Vd& u) {
        Column m = col;
        m.utest = u;
        m.derive();
        m.ztest = zbase;
        const double stretch = (1 + m.etest[i]) / (1 + m.elast[i]);
        if (i == 0) {
            m.ztest[0] = m.ztest[1] - (zbase[1] - zbase[0]) * stretch;
        } else if (i == N) {
            m.ztest[N] = m.ztest[N - 1] + (zbase[N] - zbase[N - 1]) * stretch;
        } else {
            m.ztest[i + 1] = m.ztest[i - 1] + (zbase[i + 1] - zbase[i - 1]) * stretch;
        }
        return m.residual()[i];
    };

    for (int i = first; i <= last; ++i) {
        const int r = (dtype == 2) ? i : i - 1;
        const double entries[3] = {s.a[r], s.b[r], s.c[r]};
        double scale = 0;
        for (double e : entries) scale = std::max(scale, std::fabs(e));
        for (int k = -1; k <= 1; ++k) {
            const int j = i + k;
            const bool solved = j >= first && j <= last;
            if (!solved) {
                if (j >= 0 && j <= N) {
                    EXPECT_EQ(entries[k + 1], 0.0) << "row " << i;
                }
                continue;
            }
            const double h = 1e-3;
            Vd up = col.utest, dn = col.utest;
            up[j] += h;
            dn[j] -= h;
            const double fd = (residual_at(i, up) - residual_at(i, dn)) / (2 * h);
            EXPECT_NEAR(entries[k + 1], fd, 1e-7 * scale) << "row " << i << " column " << j;
        }
    }
}

// Newton steps with the state rederived from each update drive the residual
// of a column without creep to zero.
TEST_P(Utest2ByDrainage, NewtonStepsConverge) {
    Column col = make_column(8, GetParam(), 0.0);
    auto max_abs = [](const Vd& v) {
        double m = 0;
        for (double x : v) m = std::max(m, std::fabs(x));
        return m;
    };
    col.Res = col.residual();
    const double start = max_abs(col.Res);
    ASSERT_GT(start, 1e-3);
    for (int it = 0; it < 12 && max_abs(col.Res) > 1e-12; ++it) {
        col.utest = solve(col).uout;
        col.derive();
        col.Res = col.residual();
    }
    EXPECT_LT(max_abs(col.Res), 1e-12 * std::max(1.0, start));
}

INSTANTIATE_TEST_SUITE_P(Drainage, Utest2ByDrainage, ::testing::Values(0, 1, 2));

// One solved node: uout = [0, utest[1] - Res[1]/dresdu, 0] with the diagonal
// in closed form when only the direct derivative remains (no creep, pressure
// unchanged at the node, uniform permeability, linear pressure profile).
TEST(Utest2Newton, SingleRowClosedForm) {
    Column col = make_column(2, 0, 0.0);
    col.utest = {10.0, 20.0, 30.0};
    col.ulast = {5.0, 20.0, 7.0};
    col.ktest = {3e-3, 3e-3, 3e-3};
    col.ztest = {0.0, 1.5, 3.5};  // half span 1.75
    col.Res = {0.0, 4e-3, 0.0};
    const double av = col.avtest[1];
    const double dresdu = -av / (1 + col.elast[1]) - col.dt * 3e-3 / 1.75 / 1.75 / col.gammaw;

    const Solved s = solve(col);
    EXPECT_DOUBLE_EQ(s.b[0], dresdu);
    ASSERT_EQ(s.uout.size(), 3u);
    EXPECT_EQ(s.uout[0], 0.0);
    EXPECT_DOUBLE_EQ(s.uout[1], 20.0 - 4e-3 / dresdu);
    EXPECT_EQ(s.uout[2], 0.0);
}

// Without creep (Ca zero, negative or not a number) no creep derivative is
// formed: tref is never a divisor and the three cases agree bit for bit.
TEST(Utest2Newton, NoCreepLeavesCreepOut) {
    std::vector<Vd> results;
    for (double Ca : {0.0, -0.02, std::numeric_limits<double>::quiet_NaN()}) {
        Column col = make_column(5, 1, Ca);
        col.tref.assign(col.tref.size(), 0.0);
        col.Res = {0.0, 1.0, -2.0, 0.5, 3.0, -1.0};
        const Solved s = solve(col);
        Vd all = s.uout;
        all.insert(all.end(), s.b.begin(), s.b.end());
        results.push_back(all);
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], results[2]);
}

// With creep, the diagonal of a row without conduction and at an unchanged
// pressure is assembled from the creep partials of the residual and the
// slopes of the void ratio that the step's creep equation gives:
//   b = -av/(1+e) - dR/dsigv + (de/du + de/dsigv) * dR/de,
// each measured here by central differences (the residual for the partials,
// an independent solve of the creep equation for the slopes).
TEST(Utest2Newton, CreepPartialsMatchTheResidual) {
    Column col = make_column(2, 0, 0.01);
    const double alpha = 0.01 / std::log(10.0);
    col.dt = 0.1;
    for (int j = 0; j <= 2; ++j) {
        col.kref[j] = 0.0;
        col.ktest[j] = 0.0;
        col.utest[j] = col.ulast[j];
        col.sigvtest[j] = 100.0;
        col.sigvlast[j] = 90.0;
        col.avtest[j] = 1e-3;
        // creep rate factor about 5 at the trial stress
        col.elast[j] = col.esigvref[j] + alpha * std::log(5.0);
    }
    const double el = col.elast[1], er = col.esigvref[1], sr = col.sigvref[1], Cc = col.Cc[1];
    const double sl = col.sigvlast[1], av = col.avtest[1], tref = col.tref[1];
    const double F = col.dt * 0.5 * alpha / tref;
    const double B = std::exp((Cc / alpha) * std::log10(sl / sr) + (el - er) / alpha);
    // void ratio at the end of the step: e = el + av du - F (B + A(e, st))
    auto solve_e = [&](double du, double st) {
        double e = el;
        for (int it = 0; it < 60; ++it) {
            const double A = std::exp((e - er) / alpha + (Cc / alpha) * std::log10(st / sr));
            const double g = el + av * du - F * (B + A) - e;
            e -= g / (-F * A / alpha - 1);
        }
        return e;
    };
    const double st = col.sigvtest[1];
    col.etest[1] = solve_e(0.0, st);

    auto residual_with = [&](Vd Column::*field, double delta) {
        Column m = col;
        (m.*field)[1] += delta;
        return m.residual()[1];
    };
    const double h = 1e-4;
    const double dRds = (residual_with(&Column::sigvtest, h) -
                         residual_with(&Column::sigvtest, -h)) / (2 * h);
    const double dRde = (residual_with(&Column::etest, h * 1e-2) -
                         residual_with(&Column::etest, -h * 1e-2)) / (2 * h * 1e-2);
    const double dedu = (solve_e(h, st) - solve_e(-h, st)) / (2 * h);
    const double deds = (solve_e(0.0, st + h) - solve_e(0.0, st - h)) / (2 * h);

    const double expected = -av / (1 + el) - dRds + (dedu + deds) * dRde;
    const Solved s = solve(col);
    EXPECT_NEAR(s.b[0], expected, 1e-8 * std::fabs(expected));
    // and the creep paths are not negligible in it
    EXPECT_GT(std::fabs(expected + av / (1 + el)), 0.1 * std::fabs(expected));
}

// The creep factors of a row's neighbours are taken with the row's own creep
// coefficient: changing the neighbours' Ca leaves the row unchanged, while
// changing the row's own Ca does not.
TEST(Utest2Newton, RowUsesItsOwnCreepCoefficient) {
    Column base = make_column(4, 0, 0.01);
    const Solved s0 = solve(base);

    Column nb = base;
    nb.Ca[1] = 0.05;
    nb.Ca[3] = 0.0;
    const Solved s1 = solve(nb);
    EXPECT_EQ(s1.a[1], s0.a[1]);
    EXPECT_EQ(s1.b[1], s0.b[1]);
    EXPECT_NEAR(s1.c[1], s0.c[1], 1e-12 * std::fabs(s0.c[1]));
    EXPECT_NE(s1.b[0], s0.b[0]);  // the neighbours' own rows do change

    Column own = base;
    own.Ca[2] = 0.05;
    const Solved s2 = solve(own);
    EXPECT_NE(s2.a[1], s0.a[1]);
    EXPECT_NE(s2.b[1], s0.b[1]);
}

// The link between an impermeable end and its neighbour is built with the
// end node's creep coefficient, not the neighbour's.
TEST(Utest2Newton, BoundaryLinkUsesTheEndNodesCreep) {
    for (int dtype : {1, 2}) {
        Column base = make_column(5, dtype, 0.01);
        const int nb = (dtype == 1) ? 4 : 1;  // neighbour of the sealed end
        const std::size_t link = (dtype == 1) ? 3 : 1;
        const Solved s0 = solve(base);
        Column changed = base;
        changed.Ca[nb] = 0.05;
        const Solved s1 = solve(changed);
        const double l0 = (dtype == 1) ? s0.c[link] : s0.a[link];
        const double l1 = (dtype == 1) ? s1.c[link] : s1.a[link];
        EXPECT_NEAR(l1, l0, 1e-12 * std::fabs(l0)) << dtype;
        EXPECT_NE(s1.b[link], s0.b[link]) << dtype;  // the neighbour's own row changes
    }
}

// klast and dsigv are never read: empty arrays give the same update.
TEST(Utest2Newton, KlastAndDsigvAreNotRead) {
    Column col = make_column(5, 2);
    col.Res = {1.0, -1.0, 0.5, 2.0, -0.25, 0.0};
    const Vd ref = solve(col).uout;
    col.klast.clear();
    col.dsigv.clear();
    EXPECT_EQ(solve(col).uout, ref);
}

// The compressibility slope is formed at every node whose row is built, so
// Cc = Cr there fails even without creep; a node that is only linked (a
// drained end) does not.
struct CcCrCase {
    int drainagetype;
    int node;
    bool fails;
};
std::ostream& operator<<(std::ostream& os, const CcCrCase& c) {
    return os << "drainage " << c.drainagetype << " node " << c.node;
}
class Utest2CcEqualsCr : public ::testing::TestWithParam<CcCrCase> {};

TEST_P(Utest2CcEqualsCr, FailsOnlyWhereTheRowIsBuilt) {
    const CcCrCase p = GetParam();
    Column col = make_column(4, p.drainagetype, 0.0);
    col.Cr[p.node] = col.Cc[p.node];
    if (p.fails) {
        EXPECT_EQ(failure_of([&] { solve(col); }), ErrKind::FloatDivision);
    } else {
        EXPECT_NO_THROW(solve(col));
    }
}

INSTANTIATE_TEST_SUITE_P(Nodes, Utest2CcEqualsCr,
                         ::testing::Values(CcCrCase{0, 2, true}, CcCrCase{0, 0, false},
                                           CcCrCase{0, 4, false}, CcCrCase{1, 4, true},
                                           CcCrCase{1, 0, false}, CcCrCase{2, 0, true},
                                           CcCrCase{2, 4, false}));

// Slope of the compressibility with respect to the trial stress, seen in the
// diagonal of a single row with zero permeability, where the diagonal is
// -av/(1+e) - dav/dsigv * (ulast - utest)/(1+e).
struct SlopeSetup {
    Column col;
    double onepe;
};
SlopeSetup slope_column(double sigmap, double sl, double st) {
    Column col = make_column(2, 0, 0.0);
    for (int j = 0; j <= 2; ++j) {
        col.kref[j] = 0.0;
        col.ktest[j] = 0.0;
        col.sigvlast[j] = sl;
        col.elast[j] =
            elast_for(sigmap, sl, col.esigvref[j], col.sigvref[j], col.Cc[j], col.Cr[j]);
        col.utest[j] = 30.0;
        col.ulast[j] = 60.0;
        col.sigtot[j] = st + col.utest[j];
        col.sigvtest[j] = st;
    }
    return {col, 1 + col.elast[1]};
}

// A negligible stress step takes the tangent-like slope -C ln10 / st^2, with
// Cc on the normal compression line and Cr off it.
TEST(Utest2Newton, NegligibleStepSlope) {
    for (bool on_line : {true, false}) {
        const double sl = 100.0;
        SlopeSetup s = slope_column(on_line ? sl : 1.6 * sl, sl, sl);
        Column& col = s.col;
        col.avtest[1] = 2e-3;
        const Solved r = solve(col);
        const double dresdavtest = (col.ulast[1] - col.utest[1]) / s.onepe;
        const double slope = (-col.avtest[1] / s.onepe - r.b[0]) / dresdavtest;
        const double index = on_line ? col.Cc[1] : col.Cr[1];
        EXPECT_NEAR(slope, -index * std::log(10.0) / sl / sl, 1e-9 * index / sl / sl)
            << (on_line ? "on the line" : "off the line");
    }
}

// A stress step beyond the tolerance takes the derivative of the secant
// compressibility of each case of the soil law: checked against central
// differences of the storage term with av following the stress.
struct SecantCase {
    const char* name;
    double sigmap, st;
};
std::ostream& operator<<(std::ostream& os, const SecantCase& c) { return os << c.name; }
class Utest2SecantSlope : public ::testing::TestWithParam<SecantCase> {};

TEST_P(Utest2SecantSlope, MatchesDerivativeOfSecant) {
    const SecantCase p = GetParam();
    const double sl = 100.0;
    SlopeSetup s = slope_column(p.sigmap, sl, p.st);
    Column& col = s.col;
    col.derive();  // avtest is the secant at the trial stress
    const Solved r = solve(col);

    auto storage = [&](double u) {
        const double st = col.sigtot[1] - u;
        const double av = secant_av(col.elast[1], sl, st, col.esigvref[1], col.sigvref[1],
                                    col.Cc[1], col.Cr[1]);
        return -av / s.onepe * (u - col.ulast[1]);
    };
    const double h = 1e-4;
    const double u = col.utest[1];
    const double fd = (storage(u + h) - storage(u - h)) / (2 * h);
    EXPECT_NEAR(r.b[0], fd, 1e-7 * std::fabs(fd)) << p.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, Utest2SecantSlope,
                         ::testing::Values(SecantCase{"virgin", 80.0, 150.0},
                                           SecantCase{"recompression", 200.0, 150.0},
                                           SecantCase{"unloading", 80.0, 70.0},
                                           SecantCase{"crossing", 120.0, 160.0}));

// Columns the step cannot solve, and how each fails.
struct FailureCase {
    const char* name;
    int N;
    int drainagetype;
    int extra_utest;  // entries of utest beyond N + 1
    ErrKind kind;
};
std::ostream& operator<<(std::ostream& os, const FailureCase& c) { return os << c.name; }
class Utest2Failures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Utest2Failures, FailureKind) {
    const FailureCase p = GetParam();
    Column col = make_column(p.N, p.drainagetype);
    for (int k = 0; k < p.extra_utest; ++k) {
        col.utest.push_back(1.0);
        col.Res.push_back(0.0);
    }
    EXPECT_EQ(failure_of([&] { solve(col); }), p.kind) << p.name;
}

INSTANTIATE_TEST_SUITE_P(
    Columns, Utest2Failures,
    ::testing::Values(
        // drainage 0 with one element has no row: a[0] is out of bounds
        FailureCase{"both ends drained, N=1", 1, 0, 0, ErrKind::IndexOutOfBounds},
        // the link of node N-1 reads ztest[-1] = ztest[1]: zero spacing
        FailureCase{"sealed bottom, N=1", 1, 1, 0, ErrKind::FloatDivision},
        // the link of node 1 reads ztest[2]
        FailureCase{"sealed top, N=1", 1, 2, 0, ErrKind::IndexOutOfBounds},
        // an unknown boundary builds no row; the sweep divides by b[0] = 0
        FailureCase{"unknown drainage, N=1", 1, 7, 0, ErrKind::FloatDivision},
        FailureCase{"unknown drainage, N=4", 4, -1, 0, ErrKind::FloatDivision},
        FailureCase{"unknown drainage, N=0", 0, 3, 0, ErrKind::IndexOutOfBounds},
        // a longer utest writes its residual beyond the system
        FailureCase{"utest too long", 4, 1, 1, ErrKind::IndexOutOfBounds}));

}  // namespace
