// Initial state of the column, read through a fake source over vectors.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <vector>

#include "core/errors.hpp"
#include "core/views.hpp"
#include "solver/initial.hpp"

namespace {

using pelorin::ErrKind;
using pelorin::NumericError;
using pelorin::Vec;
using pelorin::solver::get_initial;
using pelorin::solver::InitArg;
using pelorin::solver::InitialOut;
using pelorin::solver::InitialSource;
using Vd = std::vector<double>;

class FakeSource : public InitialSource {
public:
    Vd depth, Cc, Cr, sigvref, esigvref, Gs, dsigv, code, ocrvoidratio, ru, loadfactor;
    double qo = 10.0, gammaw = 9.81, pa = 101.325;
    std::vector<std::ptrdiff_t> invalid, no_convergence;
    int reads = 0;

    double get(InitArg arg, std::ptrdiff_t i) override {
        ++reads;
        switch (arg) {
            case InitArg::qo: return qo;
            case InitArg::gammaw: return gammaw;
            case InitArg::pa: return pa;
            default: break;
        }
        const Vd& v = array(arg);
        if (i < 0 || i >= static_cast<std::ptrdiff_t>(v.size()))
            pelorin::raise(ErrKind::IndexOutOfBounds, __FILE__, __LINE__);
        return v[static_cast<std::size_t>(i)];
    }
    void report_invalid_code(std::ptrdiff_t i) override { invalid.push_back(i); }
    void report_no_convergence(std::ptrdiff_t i) override { no_convergence.push_back(i); }

private:
    const Vd& array(InitArg arg) const {
        switch (arg) {
            case InitArg::depth: return depth;
            case InitArg::Cc: return Cc;
            case InitArg::Cr: return Cr;
            case InitArg::sigvref: return sigvref;
            case InitArg::esigvref: return esigvref;
            case InitArg::Gs: return Gs;
            case InitArg::dsigv: return dsigv;
            case InitArg::ocrvoidratiotype: return code;
            case InitArg::ocrvoidratio: return ocrvoidratio;
            case InitArg::ru: return ru;
            case InitArg::loadfactor: return loadfactor;
            default: return depth;
        }
    }
};

// A uniform column of n nodes one metre apart with the given code everywhere.
FakeSource column(std::size_t n, double code, double value) {
    FakeSource s;
    for (std::size_t i = 0; i < n; ++i) s.depth.push_back(static_cast<double>(i));
    s.Cc.assign(n, 0.4);
    s.Cr.assign(n, 0.05);
    s.sigvref.assign(n, 100.0);
    s.esigvref.assign(n, 1.1);
    s.Gs.assign(n, 2.7);
    s.dsigv.assign(n, 20.0);
    s.code.assign(n, code);
    s.ocrvoidratio.assign(n, value);
    s.ru.assign(n, 0.25);
    s.loadfactor = {0.5, 1.0, 1.0};
    return s;
}

struct Result {
    Vd eo, sigvo, sigvo2, sigvf;
    bool ok = false;
};

Result run(FakeSource& src, std::size_t n) {
    Result r{Vd(n, 0.0), Vd(n, 0.0), Vd(n, 0.0), Vd(n, 0.0)};
    auto v = [](Vd& x) { return Vec(x.data(), static_cast<std::ptrdiff_t>(x.size())); };
    const InitialOut out{v(r.eo), v(r.sigvo), v(r.sigvo2), v(r.sigvf)};
    r.ok = get_initial(src, static_cast<std::ptrdiff_t>(n), out);
    return r;
}

ErrKind failure_of(FakeSource& src, std::size_t n) {
    try {
        run(src, n);
    } catch (const NumericError& e) {
        return e.kind;
    }
    ADD_FAILURE() << "no failure raised";
    return ErrKind::IndexOutOfBounds;
}

// Void ratios given directly: each element adds (Gs - 1) gammaw dz / (1 + e),
// 1.7 * 9.81 / 2 per metre here.  The compression-line data are not read.
TEST(InitialState, GivenVoidRatiosStackTheSubmergedWeight) {
    FakeSource src = column(6, 1, 1.0);
    src.Cc.clear();
    src.Cr.clear();
    src.sigvref.clear();
    src.esigvref.clear();
    const Result r = run(src, 6);
    ASSERT_TRUE(r.ok);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_NEAR(r.sigvo[i], 10.0 + static_cast<double>(i) * 1.7 * 9.81 / 2, 1e-12) << i;
        EXPECT_EQ(r.eo[i], 1.0);
        EXPECT_EQ(r.sigvo2[i], r.sigvo[i] * 0.75);
        EXPECT_EQ(r.sigvf[i], r.sigvo[i] + 20.0 * 0.5);  // only loadfactor[0] counts
    }
}

// An element carries the mean void ratio of its two nodes.
TEST(InitialState, GivenVoidRatiosAverageOverTheElement) {
    FakeSource src = column(5, 1, 0.0);
    for (std::size_t i = 0; i < 5; ++i) src.ocrvoidratio[i] = 0.6 + 0.3 * static_cast<double>(i);
    const Result r = run(src, 5);
    ASSERT_TRUE(r.ok);
    double s = src.qo;
    for (std::size_t i = 1; i < 5; ++i) {
        s += 1.7 * 9.81 / (1 + 0.5 * (src.ocrvoidratio[i - 1] + src.ocrvoidratio[i]));
        EXPECT_NEAR(r.sigvo[i], s, 1e-12) << i;
    }
}

// Codes 0 and 2: the stress iteration meets its own equation within
// 1e-10 pa, and the void ratio lies where the stress history puts it.
struct HistoryCase {
    const char* name;
    double code, value;
};
std::ostream& operator<<(std::ostream& os, const HistoryCase& c) { return os << c.name; }
class InitialHistory : public ::testing::TestWithParam<HistoryCase> {};

TEST_P(InitialHistory, FixedPointAndVoidRatio) {
    const HistoryCase p = GetParam();
    FakeSource src = column(12, p.code, p.value);
    src.code[0] = 0.0;  // a double zero is the code 0
    src.ocrvoidratio[0] = 1.0;
    const Result r = run(src, 12);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.sigvo[0], src.qo);
    for (std::size_t i = 1; i < 12; ++i) {
        const double s = r.sigvo[i];
        double e;
        if (p.code == 0)
            e = 1.1 - 0.4 * std::log10(p.value * s / 100.0) + 0.05 * std::log10(p.value);
        else
            e = 1.1 - 0.4 * std::log10(p.value / 100.0) + 0.05 * std::log10(p.value / s);
        EXPECT_NEAR(r.eo[i], e, 1e-12) << i;
        if (p.code == 0 && p.value == 1.0) {
            // on the compression line
            EXPECT_NEAR(r.eo[i], 1.1 - 0.4 * std::log10(s / 100.0), 1e-12) << i;
        }
        const double weight = 1.7 * 9.81 * 1.0 / (1 + 0.5 * (r.eo[i] + r.eo[i - 1]));
        EXPECT_LE(std::fabs(s - r.sigvo[i - 1] - weight), 1e-10 * src.pa) << i;
        EXPECT_GT(s, r.sigvo[i - 1]);
    }
    EXPECT_TRUE(src.no_convergence.empty());
}

INSTANTIATE_TEST_SUITE_P(Codes, InitialHistory,
                         ::testing::Values(HistoryCase{"normally consolidated", 0, 1.0},
                                           HistoryCase{"overconsolidation ratio 3", 0, 3.0},
                                           HistoryCase{"preconsolidation stress", 2, 150.0}));

// An invalid code is reported with the node it stands at, and nothing else.
struct InvalidCase {
    const char* name;
    Vd codes;
    std::ptrdiff_t node;
};
std::ostream& operator<<(std::ostream& os, const InvalidCase& c) { return os << c.name; }
class InitialInvalidCode : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(InitialInvalidCode, ReportsTheNode) {
    const InvalidCase p = GetParam();
    FakeSource src = column(p.codes.size(), 1, 1.0);
    src.code = p.codes;
    const Result r = run(src, p.codes.size());
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(src.invalid, std::vector<std::ptrdiff_t>{p.node});
    EXPECT_TRUE(src.no_convergence.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Codes, InitialInvalidCode,
    ::testing::Values(InvalidCase{"3 at the top", {3, 1, 1}, 0},
                      InvalidCase{"5 at node 2", {1, 0, 5, 1}, 2},
                      InvalidCase{"fraction", {1, 1.5}, 1},
                      InvalidCase{"not a number", {1, 2, 0, std::numeric_limits<double>::quiet_NaN()}, 3}));

// A single node: only the top values, and no element is read below it.
TEST(InitialState, SingleNode) {
    FakeSource src = column(1, 0, 2.0);
    src.depth.clear();
    src.Gs.clear();
    const Result r = run(src, 1);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.sigvo[0], 10.0);
    EXPECT_EQ(r.sigvo2[0], 7.5);
    EXPECT_EQ(r.sigvf[0], 20.0);
    EXPECT_DOUBLE_EQ(r.eo[0], 1.1 - 0.4 * std::log10(2.0 * 10.0 / 100.0) + 0.05 * std::log10(2.0));
}

// Failures surface where they happen: the store of node 0 of an empty
// column, a short array, zero divisors (with the interpreter's message).
TEST(InitialState, Failures) {
    {
        FakeSource src = column(0, 1, 1.0);
        EXPECT_EQ(failure_of(src, 0), ErrKind::IndexOutOfBounds);
    }
    {
        FakeSource src = column(4, 0, 1.0);
        src.ru.resize(3);
        EXPECT_EQ(failure_of(src, 4), ErrKind::IndexOutOfBounds);
    }
    for (double code : {0.0, 2.0}) {
        FakeSource src = column(4, code, code == 0 ? 1.0 : 50.0);
        src.sigvref[2] = 0.0;
        EXPECT_EQ(failure_of(src, 4), ErrKind::HostFloatDivision) << code;
    }
    {
        FakeSource src = column(3, 1, 1.0);
        src.ocrvoidratio[0] = -1.0;  // the first trial divides by 1 + eo[0]
        EXPECT_EQ(failure_of(src, 3), ErrKind::HostFloatDivision);
    }
}

// A bound the residual can never meet (a negative pa) would keep the
// iteration going for ever: the guard reports the node and gives up.
TEST(InitialState, NonConvergenceIsReported) {
    FakeSource src = column(5, 1, 1.0);
    src.code[3] = 0;
    src.pa = -101.325;
    const Result r = run(src, 5);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(src.no_convergence, std::vector<std::ptrdiff_t>{3});
    EXPECT_TRUE(src.invalid.empty());
}

// A map that does not contract: a compression index far beyond any soil's
// makes the fixed point repel, and the iteration drifts for more than the
// allowed passes.
TEST(InitialState, RepellingFixedPointIsReported) {
    FakeSource src = column(2, 0, 1.0);
    src.qo = 173.68417988580237;
    src.Gs[1] = 1.1449744329693017;
    src.Cc[1] = 215.08202012534156;
    src.Cr[1] = 0.0;
    src.esigvref[1] = 46.24978437257671;
    src.ocrvoidratio[0] = 1.0;
    src.code[0] = 1;  // eo[0] = 1
    const Result r = run(src, 2);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(src.no_convergence, std::vector<std::ptrdiff_t>{1});
}

}  // namespace
