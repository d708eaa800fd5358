// Column solver cores: residual of the discretised consolidation equation,
// the tridiagonal trial step and the coupled Newton step.
//
// Inputs are plain views in the order of the module functions' parameters.
// The result arrays (and the work arrays a, b, c, x of the two step solvers)
// are made by the caller, zero-filled, with the lengths the *_length helpers
// give; the cores only fill them.
#pragma once

#include <cstddef>

#include "../core/interrupt.hpp"
#include "../core/views.hpp"

namespace pelorin::solver {

struct ResidualIn {
    Vec ulast, utest, elast, etest, klast, ktest, avtest, zlast, ztest, sigvlast, sigvtest;
    double gammaw;
    Vec Ca, Cc, sigvref, esigvref;
    double dt;
    Vec tref;
    int drainagetype;
    int N;
};
// `residual` has N + 1 entries.
void get_residual(const ResidualIn& in, Vec residual);

struct UtestIn {
    Vec klast, ktest, avtest, zlast, ztest, ulast, sigvlast, sigvtest, elast, etest, Ca, Cc,
        sigvref, esigvref;
    double dt;
    Vec tref;
    int drainagetype;
    int N;
    double gammaw;
};
// Number of rows of the tridiagonal system (may be negative for N < 1).
std::ptrdiff_t utest_rows(int drainagetype, int N);
// a, b, c, x have utest_rows() entries, uout N + 1.
void get_utest(const UtestIn& in, Vec a, Vec b, Vec c, Vec x, Vec uout);

struct Utest2In {
    int N;
    Vec klast, ktest, zlast, ztest, avtest, elast, etest, ulast, utest, sigvlast, sigvtest, Res;
    double dt;
    Vec Cc, Cr, Ca;
    double gammaw;
    Vec ekref, kref, Ck, tref, esigvref, sigvref, dsigv;
    int drainagetype;
    double pa;
    // The creep path of the diagonal with its true sign (see utest2.cpp).
    bool exact_jacobian = false;
};
std::ptrdiff_t utest2_rows(int drainagetype, int N);
// a, b, c, x have utest2_rows() entries, uout len(utest).
void get_utest2(const Utest2In& in, Vec a, Vec b, Vec c, Vec x, Vec uout);

}  // namespace pelorin::solver
