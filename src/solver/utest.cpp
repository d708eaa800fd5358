// Trial pore pressures of a step by one tridiagonal solve.
//
// With the trial permeabilities, positions, compressibilities and the creep
// term held at their current values, each node's equation of the residual is
// linear in the trial pressures of the node and its two neighbours.  Row r of
// the system a[r]*u(above) + b[r]*u(node) + c[r]*u(below) = x[r] holds one
// solved node; drained end nodes are not solved (their pressure is 0) and
// links to them stay 0.  An impermeable end node gets a row of its own from
// the one-sided boundary equation; there the diagonal carries only the
// conduction part, the one-sided permeability-gradient product goes into the
// off-diagonal coefficient.
//
// Divisions by the trial spacing dztest are reported as the interpreter's
// float division (hdiv), every other divisor as the module's (div).
#include <cstddef>

#include "creep.hpp"
#include "solver.hpp"

namespace pelorin::solver {

std::ptrdiff_t utest_rows(int drainagetype, int N) {
    const std::ptrdiff_t n = N;
    switch (drainagetype) {
        case 0: return n - 1;
        case 1:
        case 2: return n;
        default: return n + 1;
    }
}

namespace {

struct StepFactors {
    double Th, T8, mTh;  // 0.5*dt/gammaw, 0.125*dt/gammaw, dt*(-0.5)/gammaw
};

inline StepFactors step_factors(double dt, double gammaw) {
    const double Th = div(0.5 * dt, gammaw);
    const double T8 = div(0.125 * dt, gammaw);
    const double mTh = div(dt * (-0.5), gammaw);
    return {Th, T8, mTh};
}

inline double creep_of(const UtestIn& in, std::ptrdiff_t j, double alpha) {
    if (!(alpha > 0.0)) return 0.0;
    return creep::term<false>(j, alpha, in.dt, in.tref, in.elast, in.etest, in.esigvref, in.Cc,
                              in.sigvtest, in.sigvlast, in.sigvref);
}

// Coefficient of the pressure of the node above (lower = true) or below an
// interior node i, from the conduction and the centred permeability-gradient
// terms of the trial state.
inline double interior_link(const UtestIn& in, const StepFactors& f, std::ptrdiff_t i,
                            double dztest, bool lower) {
    const double s = hdiv(hdiv(f.mTh, dztest), dztest);
    const double dk = 0.25 * (in.ktest[i + 1] - in.ktest[i - 1]);
    return s * (lower ? in.ktest[i] - dk : in.ktest[i] + dk);
}

}  // namespace

void get_utest(const UtestIn& in, Vec a, Vec b, Vec c, Vec x, Vec uout) {
    const std::ptrdiff_t N = in.N;
    const int dtype = in.drainagetype;
    const std::ptrdiff_t arrayLength = utest_rows(dtype, in.N);
    const Vec& klast = in.klast;
    const Vec& ktest = in.ktest;
    const Vec& zlast = in.zlast;
    const Vec& ztest = in.ztest;
    const Vec& ulast = in.ulast;
    const Vec& avtest = in.avtest;
    const Vec& elast = in.elast;

    a[0] = 0.0;
    c[arrayLength - 1] = 0.0;

    // Rows exist only where a node is solved; gammaw is divided by only when
    // one is built.
    StepFactors f{0.0, 0.0, 0.0};
    if (N - 1 >= 1 || dtype == 1 || dtype == 2) f = step_factors(in.dt, in.gammaw);

    // Row of node i, and the solved range [first, last] of nodes.
    const std::ptrdiff_t rowShift = dtype == 2 ? 0 : 1;
    const std::ptrdiff_t firstSolved = dtype == 2 ? 0 : 1;
    const std::ptrdiff_t lastSolved = dtype == 1 ? N : N - 1;

    for (std::ptrdiff_t i = 1; i <= N - 1; ++i) {
        interrupt_point(i);
        const std::ptrdiff_t r = i - rowShift;
        const double alpha = div(in.Ca[i], creep::ln10);
        const double dzlast = (zlast[i + 1] - zlast[i - 1]) * 0.5;
        const double dztest = (ztest[i + 1] - ztest[i - 1]) * 0.5;

        if (i - 1 >= firstSolved) a[r] = interior_link(in, f, i, dztest, true);

        const double storage = div(avtest[i], 1.0 + elast[i]);
        const double conduction = hdiv(hdiv(div(in.dt * ktest[i], in.gammaw), dztest), dztest);
        b[r] = storage + conduction;

        if (i + 1 <= lastSolved) c[r] = interior_link(in, f, i, dztest, false);

        // Known part: creep, the previous state's conduction and gradient
        // product, and the storage of the previous pressure.
        const double q = creep_of(in, i, alpha);
        const double lap = (ulast[i - 1] - 2.0 * ulast[i]) + ulast[i + 1];
        const double xr = q + lap * div(div(klast[i] * f.Th, dzlast), dzlast);
        x[r] = xr + div(avtest[i] * ulast[i], 1.0 + elast[i]);
        const double du = ulast[i + 1] - ulast[i - 1];
        const double grad = du * div(div(f.T8, dzlast), dzlast);
        x[r] = grad * (klast[i + 1] - klast[i - 1]) + x[r];
    }

    if (dtype == 1) {
        // Impermeable bottom: node N, row N - 1.  The link of the interior
        // neighbour N - 1 to node N is (re)computed first with the interior
        // formula; for a single element its stencil wraps onto node N itself
        // and the zero spacing fails (with longer arrays the write wraps onto
        // the single row's c, which the sweep of one row never reads).
        {
            const double dzlink = (ztest[N] - ztest[N - 2]) * 0.5;
            c[N - 2] = interior_link(in, f, N - 1, dzlink, false);
        }
        const double alpha = div(in.Ca[N], creep::ln10);
        const double dzlast = zlast[N] - zlast[N - 1];
        const double dztest = ztest[N] - ztest[N - 1];

        const double storage = div(avtest[N], 1.0 + elast[N]);
        const double conduction = hdiv(hdiv(f.Th * ktest[N], dztest), dztest);
        b[N - 1] = storage + conduction;

        const double s = hdiv(hdiv(f.mTh, dztest), dztest);
        a[N - 1] = s * (ktest[N] - 0.25 * (ktest[N] - ktest[N - 1]));

        const double q = creep_of(in, N, alpha);
        const double cl = div(div(klast[N] * f.Th * (ulast[N - 1] - ulast[N]), dzlast), dzlast);
        const double xr = q + cl;
        x[N - 1] = xr + div(avtest[N] * ulast[N], 1.0 + elast[N]);
        const double g = div(div(f.T8, dzlast), dzlast) * (ulast[N] - ulast[N - 1]);
        x[N - 1] = g * (klast[N] - klast[N - 1]) + x[N - 1];
    } else if (dtype == 2) {
        // Impermeable top: node 0, row 0, the mirror image.  The link of node
        // 1 to node 0 is (re)computed first with the interior formula; for a
        // single element its stencil reads past the bottom node, or (with
        // longer arrays) the write finds no second row.
        {
            const double dzlink = (ztest[2] - ztest[0]) * 0.5;
            a[1] = interior_link(in, f, 1, dzlink, true);
        }
        const double alpha = div(in.Ca[0], creep::ln10);
        const double dzlast = zlast[1] - zlast[0];
        const double dztest = ztest[1] - ztest[0];

        const double storage = div(avtest[0], 1.0 + elast[0]);
        const double conduction = hdiv(hdiv(f.Th * ktest[0], dztest), dztest);
        b[0] = storage + conduction;

        const double s = hdiv(hdiv(f.mTh, dztest), dztest);
        c[0] = s * (ktest[0] + 0.25 * (ktest[1] - ktest[0]));

        const double q = creep_of(in, 0, alpha);
        const double cl = div(div(klast[0] * f.Th * (ulast[1] - ulast[0]), dzlast), dzlast);
        const double xr = q + cl;
        x[0] = xr + div(avtest[0] * ulast[0], 1.0 + elast[0]);
        const double g = div(div(f.T8, dzlast), dzlast) * (ulast[1] - ulast[0]);
        x[0] = g * (klast[1] - klast[0]) + x[0];
    }

    // Forward sweep (Thomas algorithm, no pivoting).
    {
        const double b0 = b[0];
        c[0] = div(c[0], b0);
        x[0] = div(x[0], b0);
    }
    for (std::ptrdiff_t i = 1; i <= arrayLength - 1; ++i) {
        interrupt_point(i);
        const double m = div(1.0, b[i] - c[i - 1] * a[i]);
        c[i] = c[i] * m;
        x[i] = (x[i] - x[i - 1] * a[i]) * m;
    }
    // Back substitution.
    for (std::ptrdiff_t i = arrayLength - 2; i >= 0; --i) x[i] = x[i] - c[i] * x[i + 1];

    switch (dtype) {
        case 0:
            uout[0] = 0.0;
            uout[N] = 0.0;
            for (std::ptrdiff_t r = 0; r < arrayLength; ++r) uout[r + 1] = x[r];
            break;
        case 1:
            uout[0] = 0.0;
            for (std::ptrdiff_t r = 0; r < arrayLength; ++r) uout[r + 1] = x[r];
            break;
        case 2:
            uout[N] = 0.0;
            for (std::ptrdiff_t r = 0; r < arrayLength; ++r) uout[r] = x[r];
            break;
        default:
            // Unreachable with finite coefficients: the sweep has met an
            // empty row and failed.
            break;
    }
}

}  // namespace pelorin::solver
