// The consolidation run: from the start state of the column through every
// step of the loading history.
//
// Each step applies the change of load to the excess pore pressures, solves
// trial pressures with the tridiagonal step, derives the trial effective
// stress, compressibility, void ratio, strain, permeability and node
// positions, and evaluates the residual.  A trial whose residual is within
// the tolerance is accepted; otherwise Newton corrections follow until it is,
// or until 100 corrections have failed, which ends the run.
#include "run.hpp"

#include <climits>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace pelorin::driver {

namespace {

// Accepted state <- trial state, and column j of the histories.  Runs over
// the length of the trial pressures: a solver that returned more than N + 1
// values fails here on the histories.
void accept(const Work& w, const Histories& h, Vec utest, std::ptrdiff_t j) {
    for (std::ptrdiff_t i = 0; i < utest.size(); ++i) {
        interrupt_point(i);
        h.u(i, j) = utest[i];
        w.ulast[i] = utest[i];
        w.sigvlast[i] = w.sigvtest[i];
        w.elast[i] = w.etest[i];
        w.klast[i] = w.ktest[i];
        w.zlast[i] = w.ztest[i];
        h.z(i, j) = w.ztest[i];
        h.sigv(i, j) = w.sigvtest[i];
        h.e(i, j) = w.etest[i];
    }
}

// Bottom node fixed at H; every element keeps its previous length less the
// strain of its upper node.
void trial_positions(const Work& w, std::ptrdiff_t N, double H) {
    w.ztest[N] = H;
    for (std::ptrdiff_t i = N - 1; i >= 0; --i) {
        w.ztest[i] = w.ztest[i + 1] - ((w.zlast[i + 1] - w.zlast[i]) -
                                       (w.zlast[i + 1] - w.zlast[i]) * w.epsvtest[i]);
    }
}

}  // namespace

RunStats run(const RunParams& p, const Initial& init, const Work& w, const Histories& h,
             Calls& calls) {
    RunStats stats;
    const double ln10 = std::log(10.0);

    const std::ptrdiff_t N = p.depth.size() - 1;
    const std::ptrdiff_t Ntime = p.time.size();
    const double H = p.depth[N];
    // The step functions take the element count as an int.
    if (N > INT_MAX || Ntime > INT_MAX) throw std::overflow_error("run: N or Ntime beyond an int");
    const int Nint = static_cast<int>(N);

    // Trial pressures before the first solve: a zero array of the node
    // count, like every working array; afterwards the solvers' results.
    std::vector<double> utest0(static_cast<std::size_t>(N + 1), 0.0);
    Vec utest(utest0.data(), N + 1);
    Vec Res;

    // Permeability of node i at void ratio e (arguments read in the order of
    // the call).
    auto permeability = [&](double e, std::ptrdiff_t i) {
        const double ekref = p.ekref[i];
        const double kref = p.kref[i];
        const double Ck = p.Ck[i];
        return calls.ktest(e, ekref, kref, Ck);
    };

    // Compressibility of node i for a step from stress `from` to `to` (the
    // soil parameters read in the order of the call).
    auto compressibility = [&](std::ptrdiff_t i, double from, double to) {
        const double elast = w.elast[i];
        const double eref = p.esigvref[i];
        const double sigvref = p.sigvref[i];
        const double Cc = p.Cc[i];
        const double Cr = p.Cr[i];
        return calls.avtest(elast, from, to, eref, sigvref, Cc, Cr);
    };
    auto step_avtest = [&](std::ptrdiff_t i) { return compressibility(i, w.sigvlast[i], w.sigvtest[i]); };

    // Start state: the stress after the first load factor, with the part
    // the effective stress does not yet carry held as excess pore pressure.
    calls.checkpoint();
    calls.begin_node_pass();
    for (std::ptrdiff_t i = 0; i <= N; ++i) {
        interrupt_point(i);
        w.dsigvsub[i] = p.dsigv[i] * p.loadfactor[0];
        w.dsigvsublast[i] = p.dsigv[i] * p.loadfactor[0];
        w.ulast[i] = init.sigvf[i] - init.sigvo2[i];
        w.sigvlast[i] = init.sigvf[i] - w.ulast[i];
        // elast is still 0.0 here: the array has only just been made.
        w.avtest[i] = compressibility(i, init.sigvo2[i], w.sigvlast[i]);
        w.elast[i] = init.eo[i] - (w.sigvlast[i] - init.sigvo2[i]) * w.avtest[i];
        w.klast[i] = permeability(w.elast[i], i);
    }

    // Start positions: the nodes sit at the depths the caller gave.
    for (std::ptrdiff_t i = 0; i <= N; ++i) w.zlast[i] = p.depth[i];

    // Trial state from the current trial pressures: effective stress,
    // compressibility, void ratio, strain and permeability of every node.
    // In the first pass of a step the void ratio without creep has its
    // closed form; the corrections always go through get_etest.
    auto derive = [&](bool closed_form_without_creep, double dt) {
        calls.begin_node_pass();
        for (std::ptrdiff_t i = 0; i <= N; ++i) {
            interrupt_point(i);
            const double alpha = div(p.Ca[i], ln10);
            w.sigvtest[i] = w.ulast[i] + w.sigvlast[i] - utest[i];
            w.avtest[i] = step_avtest(i);
            if (!closed_form_without_creep || alpha > 0) {
                const double etest = w.etest[i];
                const double elast = w.elast[i];
                const double eref = p.esigvref[i];
                const double tref = p.tref[i];
                const double sigvtest = w.sigvtest[i];
                const double sigvlast = w.sigvlast[i];
                const double sigvref = p.sigvref[i];
                const double Cc = p.Cc[i];
                const double avtest = w.avtest[i];
                const double ut = utest[i];
                const double ulast = w.ulast[i];
                w.etest[i] = calls.etest(etest, elast, eref, alpha, tref, sigvtest, sigvlast,
                                         sigvref, Cc, avtest, ut, ulast, dt);
            } else {
                w.etest[i] = w.elast[i] - (w.ulast[i] - utest[i]) * w.avtest[i];
            }
            w.epsvtest[i] = div(w.elast[i] - w.etest[i], w.elast[i] + 1);
            w.ktest[i] = permeability(w.etest[i], i);
        }
        trial_positions(w, N, H);
    };

    auto residual = [&](double dt) {
        solver::ResidualIn in{w.ulast,  utest,    w.elast,    w.etest,    w.klast,
                              w.ktest,  w.avtest, w.zlast,    w.ztest,    w.sigvlast,
                              w.sigvtest, p.gammaw, p.Ca,     p.Cc,       p.sigvref,
                              p.esigvref, dt,       p.tref,   p.drainagetype, Nint};
        Res = calls.residual(in);
    };

    for (std::ptrdiff_t j = 0; j < Ntime; ++j) {
        calls.checkpoint();
        // Load change: whatever the applied stress changed since the last
        // step is carried at once by the pore water.
        calls.begin_node_pass();
        for (std::ptrdiff_t i = 0; i <= N; ++i) {
            interrupt_point(i);
            w.dsigvsub[i] = p.loadfactor[j] * p.dsigv[i];
            w.ulast[i] = w.dsigvsub[i] + w.ulast[i] - w.dsigvsublast[i];
            w.dsigvsublast[i] = w.dsigvsub[i];
            w.ktest[i] = w.klast[i];
            w.ztest[i] = w.zlast[i];
            w.sigvtest[i] = w.sigvlast[i];
            w.etest[i] = w.elast[i];
            utest[i] = w.ulast[i];
            w.avtest[i] = step_avtest(i);
        }

        // The history starts at time 0.
        const double dt = j == 0 ? p.time[0] : p.time[j] - p.time[j - 1];

        {
            solver::UtestIn in{w.klast,    w.ktest,    w.avtest, w.zlast,  w.ztest,
                               w.ulast,    w.sigvlast, w.sigvtest, w.elast, w.etest,
                               p.Ca,       p.Cc,       p.sigvref, p.esigvref, dt,
                               p.tref,     p.drainagetype, Nint,  p.gammaw};
            utest = calls.utest(in);
            ++stats.passes;
        }
        derive(true, dt);
        residual(dt);

        // Accepted only at or below the tolerance: a NaN measure is not.
        if (calls.max(Res) <= p.tol) {
            accept(w, h, utest, j);
            continue;
        }

        int I = 0;
        while (!(calls.max(Res) <= p.tol)) {
            calls.checkpoint();
            {
                solver::Utest2In in{Nint,        w.klast,   w.ktest,    w.zlast,    w.ztest,
                                    w.avtest, w.elast,   w.etest,    w.ulast,    utest,
                                    w.sigvlast, w.sigvtest, Res,     dt,         p.Cc,
                                    p.Cr,     p.Ca,      p.gammaw,   p.ekref,    p.kref,
                                    p.Ck,     p.tref,    p.esigvref, p.sigvref,
                                    w.dsigvsub, p.drainagetype, p.pa};
                utest = calls.utest2(in);
                ++stats.passes;
                ++stats.corrections;
            }
            derive(false, dt);
            residual(dt);
            if (calls.max(Res) <= p.tol) {
                accept(w, h, utest, j);
            } else {
                // A failed correction, NaN included.
                ++I;
                if (I == kMaxCorrections) {
                    calls.report_no_convergence(j, I, p.time[j]);
                    return stats;
                }
            }
        }
    }

    return stats;
}

}  // namespace pelorin::driver
