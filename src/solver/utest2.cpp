// Coupled Newton step for the trial pore pressures of one time step.
//
// Every solved node contributes one row: the derivative of its residual with
// respect to its own trial pressure (diagonal) and to the pressures of its two
// neighbours.  A pressure acts on the residual directly (storage, conduction),
// through the trial void ratio (which moves the permeability, the node spacing
// and the creep rate) and through the trial effective stress (which moves the
// compressibility and the creep rate).  The system J x = Res is solved by the
// Thomas algorithm and the update is uout = utest - x.
//
// The derivatives are a fixed linearisation shared with the rest of the
// solver; each is evaluated with its operations in a fixed order so that runs
// are reproducible bit for bit.  Reads of the input arrays are sequenced with
// the divisions as the formulas meet them, so that a short array and a zero
// divisor fail in a well-defined order.
#include <cmath>
#include <cstddef>

#include "../core/errors.hpp"
#include "../soil/soil.hpp"
#include "solver.hpp"

namespace pelorin::solver {
namespace {

using Index = std::ptrdiff_t;

using soil::ln10;

// Per-node factors of the derivatives, memoised over the few nodes a row and
// its successor share.  E and D depend on the creep coefficient of the row
// being built (also for the neighbours), so a stored value is reused only for
// the same node and the same alpha; K does not depend on the row.  A stored
// value is exactly what a fresh evaluation would give, and one that failed was
// never stored, so the memo changes neither results nor failures.
class NodeFactors {
public:
    explicit NodeFactors(const Utest2In& in) : in_(in) {}

    // Creep rate factor of node j's trial state under the row's alpha.
    double E(Index j, double alpha) {
        Slot& s = slot(j);
        if (s.has_e && s.j == j && s.alpha == alpha) return s.e;
        const double st = in_.sigvtest[j];
        const double sr = in_.sigvref[j];
        const double lg = std::log10(div(st, sr));
        const double cc = in_.Cc[j];
        const double t1 = lg * div(cc, alpha);
        const double et = in_.etest[j];
        const double er = in_.esigvref[j];
        const double e = std::exp(t1 + div(et - er, alpha));
        s = Slot{};
        s.j = j;
        s.alpha = alpha;
        s.has_e = true;
        s.e = e;
        return e;
    }

    // 1 + d(creep over the step)/d(etest): the implicit factor of the
    // void-ratio equation of the step.
    double D(Index j, double alpha) {
        const double e = E(j, alpha);
        Slot& s = slot(j);  // E has filled this slot for (j, alpha)
        if (s.has_d) return s.d;
        const double tr = in_.tref[j];
        const double d = e * div(in_.dt * 0.5, tr) + 1;
        s.has_d = true;
        s.d = d;
        return d;
    }

    // dk/de of the permeability law k = kref 10^((e - ekref)/Ck).
    double K(Index j) {
        KSlot& s = kslot_[static_cast<std::size_t>(j) & 3u];
        if (s.valid && s.j == j) return s.k;
        const double et = in_.etest[j];
        const double ek = in_.ekref[j];
        const double ck = in_.Ck[j];
        const double p = std::pow(10.0, div(et - ek, ck));
        const double kr = in_.kref[j];
        const double k = p * div(ln10 * kr, ck);
        s.valid = true;
        s.j = j;
        s.k = k;
        return k;
    }

private:
    struct Slot {
        Index j = 0;
        double alpha = 0.0;
        bool has_e = false;
        bool has_d = false;
        double e = 0.0;
        double d = 0.0;
    };
    struct KSlot {
        bool valid = false;
        Index j = 0;
        double k = 0.0;
    };

    Slot& slot(Index j) { return slot_[static_cast<std::size_t>(j) & 3u]; }

    const Utest2In& in_;
    Slot slot_[4];
    KSlot kslot_[4];
};

// The scalars of one row that enter its diagonal entry.
struct RowTerms {
    double dresdutest = 0.0;
    double dresdavtest = 0.0;
    double dresdktest = 0.0;
    double dresdsigvtest = 0.0;
    double dresdetest = 0.0;
    double dresddztest = 0.0;
    double detestdutest = 0.0;
    double detestdsigvtest = 0.0;
    double dktestdetest = 0.0;
    double davtestdsigvtest = 0.0;
    double ddztestdetest = 0.0;
};

// Total derivative of a node's residual with respect to its own pressure.
// The creep path enters as detestdutest - detestdsigvtest: a larger slope
// than the true one (+), which damps the corrections.  `exact` takes the
// true slope (finite differences agree with it), for callers that damp the
// corrections themselves.
double diagonal(const RowTerms& t, bool exact) {
    double d = t.dktestdetest * t.dresdktest * t.detestdutest;
    d = d + (t.dresdutest - t.dresdsigvtest);
    d = d - t.davtestdsigvtest * t.dresdavtest;
    d = d + t.ddztestdetest * t.dresddztest * t.detestdutest;
    const double creep = exact ? t.detestdutest + t.detestdsigvtest
                               : t.detestdutest - t.detestdsigvtest;
    d = d + creep * t.dresdetest;
    return d;
}

// Creep derivatives of node i's residual and the slope of its void ratio,
// with alpha > 0.  The neighbour slopes are left to the caller.
void creep_terms(const Utest2In& in, NodeFactors& f, Index i, double alpha, double onepe,
                 double av_i, RowTerms& t) {
    const double Ei = f.E(i, alpha);
    double g = div(in.dt * 0.5 * in.Cc[i], ln10);
    g = div(g, in.sigvtest[i]);
    g = div(g, in.tref[i]);
    g = div(g, onepe);
    t.dresdsigvtest = Ei * g;
    t.dresdetest = Ei * div(div(in.dt * 0.5, in.tref[i]), onepe);
    const double Di = f.D(i, alpha);
    t.detestdutest = div(av_i, Di);
    // The stress share of the slope (detestdsigvtest_of) follows the
    // neighbours' slopes.
}

double detestdsigvtest_of(const Utest2In& in, NodeFactors& f, Index i, double alpha) {
    const double Ei = f.E(i, alpha);
    double g = in.Cc[i] * 0.5 * in.dt;
    g = div(g, in.tref[i]);
    g = div(g, in.sigvtest[i]);
    g = div(g, ln10);
    return div(Ei * g, f.D(i, alpha));
}

// Slope of the neighbour j's void ratio with respect to its own pressure,
// under the creep coefficient of the row being built.
double neighbour_slope(const Utest2In& in, NodeFactors& f, Index j, double alpha) {
    const double av = in.avtest[j];
    if (!(alpha > 0)) return av;
    const double d = f.D(j, alpha);
    return div(av, d);
}

// d(avtest)/d(sigvtest) of node j: the derivative of the secant
// compressibility over the step, or a tangent-like slope when the step is
// negligible against the tolerance eps.
double compressibility_slope(const Utest2In& in, Index j, double eps) {
    const double st = in.sigvtest[j];
    const double sl = in.sigvlast[j];
    const double W = (st - sl) * (ln10 * st) * (st - sl);

    const double lsr = std::log10(in.sigvref[j]);
    const double cc = in.Cc[j];
    const double er = in.esigvref[j];
    const double el = in.elast[j];
    const double cr = in.Cr[j];
    const double num = lsr * cc + (er - el) - std::log10(sl) * cr;
    const double sigmap = std::pow(10.0, div(num, cc - cr));

    if (std::fabs(div(st - sl, sl)) > eps) {
        if (sl >= sigmap && st > sl) {  // virgin loading
            return div((st - std::log(div(st, sl)) * st - sl) * cc, W);
        }
        if (sigmap > st || sl > st) {  // recompression or unloading
            return div((st - std::log(div(st, sl)) * st - sl) * cr, W);
        }
        // the step crosses the preconsolidation stress
        const double virgin = (st - std::log(div(st, sigmap)) * st - sl) * cc;
        const double recomp = std::log(div(sigmap, sl)) * (cr * st);
        return div(virgin - recomp, W);
    }
    if (eps >= std::fabs(div(st - sigmap, sigmap))) {
        return div(div(-cc * ln10, st), st);
    }
    return div(div(-cr * ln10, st), st);
}

// Row of interior node i (1 <= i <= N - 1); stores its entries for drainage
// types 0, 1 and 2.
void interior_row(const Utest2In& in, NodeFactors& f, Index i, double eps, Vec a, Vec b,
                  Vec c) {
    const Index N = in.N;
    const double dt = in.dt;
    const double gw = in.gammaw;
    RowTerms t;

    const double alpha = div(in.Ca[i], ln10);

    const double dzlast = (in.zlast[i + 1] - in.zlast[i - 1]) * 0.5;
    const double dztest = (in.ztest[i + 1] - in.ztest[i - 1]) * 0.5;

    // Direct derivatives of the node's equation.
    const double av_i = in.avtest[i];
    const double onepe = 1 + in.elast[i];
    const double storage = div(-av_i, onepe);
    const double kt_i = in.ktest[i];
    t.dresdutest = storage - div(div(div(dt * kt_i, dztest), dztest), gw);

    const double kt_m = in.ktest[i - 1];
    const double kt_p = in.ktest[i + 1];
    const double thdz2 = div(div(div(dt * 0.5, gw), dztest), dztest);
    const double dresduim1test = (kt_i + (kt_m - kt_p) * 0.25) * thdz2;
    const double dresduip1test = (kt_i + (kt_p - kt_m) * 0.25) * thdz2;

    const double ul_i = in.ulast[i];
    const double ut_i = in.utest[i];
    t.dresdavtest = div(ul_i - ut_i, onepe);

    const double ut_m = in.utest[i - 1];
    const double ut_p = in.utest[i + 1];
    const double curv = ut_m - 2 * ut_i + ut_p;
    t.dresdktest = curv * thdz2;

    const double t8dz2 = div(div(div(dt * 0.125, gw), dztest), dztest);
    const double dresdkim1test = (ut_m - ut_p) * t8dz2;
    const double dresdkip1test = -dresdkim1test;

    // Creep and the slopes of the void ratios.
    double deim1testduim1test;
    double deip1testduip1test;
    if (alpha > 0) {
        creep_terms(in, f, i, alpha, onepe, av_i, t);
        deim1testduim1test = neighbour_slope(in, f, i - 1, alpha);
        deip1testduip1test = neighbour_slope(in, f, i + 1, alpha);
        t.detestdsigvtest = detestdsigvtest_of(in, f, i, alpha);
    } else {
        t.detestdutest = av_i;
        deim1testduim1test = in.avtest[i - 1];
        deip1testduip1test = in.avtest[i + 1];
    }

    // Spacing: the node's half span moves with its void ratio.
    const double grad = (kt_p - kt_m) * 0.25 * (ut_p - ut_m);
    double dzf = div(-dt, gw);
    dzf = div(dzf, dztest);
    dzf = div(dzf, dztest);
    dzf = div(dzf, dztest);
    t.dresddztest = (grad + curv * kt_i) * dzf;

    t.dktestdetest = f.K(i);
    const double dkim1testdeim1test = f.K(i - 1);
    const double dkip1testdeip1test = f.K(i + 1);

    t.davtestdsigvtest = compressibility_slope(in, i, eps);
    t.ddztestdetest = div(dzlast, onepe);

    const double dresdu = diagonal(t, in.exact_jacobian);

    const int dtype = in.drainagetype;
    if (dtype != 0 && dtype != 1 && dtype != 2) return;
    const Index r = (dtype == 2) ? i : i - 1;
    b[r] = dresdu;
    if (i >= 2) a[r] = dkim1testdeim1test * dresdkim1test * deim1testduim1test + dresduim1test;
    if (i < N - 1) c[r] = dkip1testdeip1test * dresdkip1test * deip1testduip1test + dresduip1test;
}

// Impermeable bottom (drainage 1): the link of node N-1 to node N and the row
// of node N from its one-sided equation.
void bottom_rows(const Utest2In& in, NodeFactors& f, double eps, Vec a, Vec b, Vec c) {
    const Index N = in.N;
    const double dt = in.dt;
    const double gw = in.gammaw;
    RowTerms t;

    const double alpha = div(in.Ca[N], ln10);

    // Link of node N-1 to node N, as the interior row of N-1 sees it.
    {
        const double dztest = (in.ztest[N] - in.ztest[N - 2]) * 0.5;
        const double k1 = in.ktest[N - 1];
        const double kn = in.ktest[N];
        const double k2 = in.ktest[N - 2];
        const double thdz2 = div(div(div(dt * 0.5, gw), dztest), dztest);
        const double dresduip1test = (k1 + (kn - k2) * 0.25) * thdz2;
        const double u2 = in.utest[N - 2];
        const double un = in.utest[N];
        const double dresdkip1test =
            (u2 - un) * div(div(div(dt * (-0.125), gw), dztest), dztest);
        const double deip1testduip1test = neighbour_slope(in, f, N, alpha);
        const double kN = f.K(N);
        c[N - 2] = kN * dresdkip1test * deip1testduip1test + dresduip1test;
    }

    const double dzlast = in.zlast[N] - in.zlast[N - 1];
    const double dztest = in.ztest[N] - in.ztest[N - 1];

    const double av_n = in.avtest[N];
    const double onepe = 1 + in.elast[N];
    const double storage = div(-av_n, onepe);
    const double kn = in.ktest[N];
    const double km = in.ktest[N - 1];
    const double t8dz2 = div(div(div(dt * 0.125, gw), dztest), dztest);
    t.dresdutest = storage - (kn * 3 + km) * t8dz2;
    const double dresduim1test = t8dz2 * (kn * 3 + km);

    const double ul_n = in.ulast[N];
    const double ut_n = in.utest[N];
    t.dresdavtest = div(ul_n - ut_n, onepe);

    const double ut_m = in.utest[N - 1];
    t.dresdktest = (ut_n - ut_m) * div(div(div(dt * (-0.375), gw), dztest), dztest);
    const double dresdkim1test = (ut_n - ut_m) * div(div(div(dt * (-0.125), gw), dztest), dztest);

    double deim1testduim1test;
    if (alpha > 0) {
        creep_terms(in, f, N, alpha, onepe, av_n, t);
        deim1testduim1test = neighbour_slope(in, f, N - 1, alpha);
        t.detestdsigvtest = detestdsigvtest_of(in, f, N, alpha);
    } else {
        t.detestdutest = av_n;
        deim1testduim1test = in.avtest[N - 1];
    }

    double dzf = div(dt * 0.25, gw);
    dzf = div(dzf, dztest);
    dzf = div(dzf, dztest);
    dzf = div(dzf, dztest);
    t.dresddztest = (kn * 3 + km) * dzf * (ut_n - ut_m);

    t.dktestdetest = f.K(N);
    const double dkim1testdeim1test = f.K(N - 1);
    t.davtestdsigvtest = compressibility_slope(in, N, eps);
    t.ddztestdetest = div(dzlast, onepe);

    b[N - 1] = diagonal(t, in.exact_jacobian);
    a[N - 1] = dkim1testdeim1test * dresdkim1test * deim1testduim1test + dresduim1test;
}

// Impermeable top (drainage 2): the mirror image with node 0 and node 1.
void top_rows(const Utest2In& in, NodeFactors& f, double eps, Vec a, Vec b, Vec c) {
    const double dt = in.dt;
    const double gw = in.gammaw;
    RowTerms t;

    const double alpha = div(in.Ca[0], ln10);

    // Link of node 1 to node 0, as the interior row of node 1 sees it.
    {
        const double dztest = (in.ztest[2] - in.ztest[0]) * 0.5;
        const double k1 = in.ktest[1];
        const double k0 = in.ktest[0];
        const double k2 = in.ktest[2];
        const double thdz2 = div(div(div(dt * 0.5, gw), dztest), dztest);
        const double dresduim1test = (k1 + (k0 - k2) * 0.25) * thdz2;
        const double u0 = in.utest[0];
        const double u2 = in.utest[2];
        const double dresdkim1test = (u0 - u2) * div(div(div(dt * 0.125, gw), dztest), dztest);
        const double deim1testduim1test = neighbour_slope(in, f, 0, alpha);
        const double k0d = f.K(0);
        a[1] = k0d * dresdkim1test * deim1testduim1test + dresduim1test;
    }

    const double dzlast = in.zlast[1] - in.zlast[0];
    const double dztest = in.ztest[1] - in.ztest[0];

    const double av_0 = in.avtest[0];
    const double onepe = 1 + in.elast[0];
    const double storage = div(-av_0, onepe);
    const double t8dz2 = div(div(div(dt * 0.125, gw), dztest), dztest);
    const double k0 = in.ktest[0];
    const double k1 = in.ktest[1];
    t.dresdutest = storage - t8dz2 * (k0 * 3 + k1);
    const double dresduip1test = t8dz2 * (k0 * 3 + k1);

    const double ut_0 = in.utest[0];
    const double ut_1 = in.utest[1];
    t.dresdktest = div(div(div(dt * (-0.375), gw), dztest), dztest) * (ut_0 - ut_1);
    const double dresdkip1test = (ut_0 - ut_1) * div(div(div(dt * (-0.125), gw), dztest), dztest);

    double dzf = div(dt * 0.25, gw);
    dzf = div(dzf, dztest);
    dzf = div(dzf, dztest);
    dzf = div(dzf, dztest);
    t.dresddztest = dzf * (k0 * 3 + k1) * (ut_0 - ut_1);

    const double ul_0 = in.ulast[0];
    t.dresdavtest = div(ul_0 - ut_0, onepe);

    double deip1testduip1test;
    if (alpha > 0) {
        creep_terms(in, f, 0, alpha, onepe, av_0, t);
        deip1testduip1test = neighbour_slope(in, f, 1, alpha);
        t.detestdsigvtest = detestdsigvtest_of(in, f, 0, alpha);
    } else {
        t.detestdutest = av_0;
        deip1testduip1test = in.avtest[1];
    }

    t.dktestdetest = f.K(0);
    const double dkip1testdeip1test = f.K(1);
    t.davtestdsigvtest = compressibility_slope(in, 0, eps);
    t.ddztestdetest = div(dzlast, onepe);

    b[0] = diagonal(t, in.exact_jacobian);
    c[0] = dkip1testdeip1test * dresdkip1test * deip1testduip1test + dresduip1test;
}

}  // namespace

std::ptrdiff_t utest2_rows(int drainagetype, int N) {
    return drainagetype == 0 ? static_cast<std::ptrdiff_t>(N) - 1
                             : static_cast<std::ptrdiff_t>(N);
}

void get_utest2(const Utest2In& in, Vec a, Vec b, Vec c, Vec x, Vec uout) {
    const Index N = in.N;
    const int dtype = in.drainagetype;
    const Index rows = utest2_rows(dtype, in.N);
    const double eps = in.pa * 1e-10;

    a[0] = 0;
    c[rows - 1] = 0;

    NodeFactors f(in);
    for (Index i = 1; i <= N - 1; ++i) {
        interrupt_point(i);
        interior_row(in, f, i, eps, a, b, c);
    }

    // Boundary rows and right-hand side (the residual itself).
    const Index nu = in.utest.size();
    if (dtype == 0) {
        for (Index i = 1; i <= nu - 2; ++i) x[i - 1] = in.Res[i];
    } else if (dtype == 1) {
        bottom_rows(in, f, eps, a, b, c);
        for (Index i = 1; i <= nu - 1; ++i) x[i - 1] = in.Res[i];
    } else if (dtype == 2) {
        top_rows(in, f, eps, a, b, c);
        for (Index i = 0; i <= nu - 2; ++i) x[i] = in.Res[i];
    }

    // Thomas algorithm, without pivoting.
    c[0] = div(c[0], b[0]);
    x[0] = div(x[0], b[0]);
    for (Index r = 1; r <= rows - 1; ++r) {
        interrupt_point(r);
        const double m = div(1.0, b[r] - c[r - 1] * a[r]);
        c[r] = c[r] * m;
        x[r] = (x[r] - x[r - 1] * a[r]) * m;
    }
    for (Index r = rows - 2; r >= 0; --r) x[r] = x[r] - x[r + 1] * c[r];

    if (dtype == 0) {
        for (Index r = 0; r <= rows - 1; ++r) uout[r + 1] = in.utest[r + 1] - x[r];
        uout[0] = 0;
        uout[N] = 0;
    } else if (dtype == 1) {
        for (Index r = 0; r <= rows - 1; ++r) uout[r + 1] = in.utest[r + 1] - x[r];
        uout[0] = 0;
    } else if (dtype == 2) {
        for (Index r = 0; r <= rows - 1; ++r) uout[r] = in.utest[r] - x[r];
        uout[N] = 0;
    }
}

}  // namespace pelorin::solver
