// The consolidation run: start state, time loop, correction loop and
// accepting, over plain views.  Every relation the run evaluates goes through
// a `Calls` object, which the module implements with the module namespace's
// functions (and the native benchmark with the cores directly).
#pragma once

#include <cstddef>
#include <vector>

#include "../core/interrupt.hpp"
#include "../core/views.hpp"
#include "../solver/solver.hpp"

namespace pelorin::driver {

// Corrections of one step before the run gives up.
constexpr int kMaxCorrections = 100;

// The parameter set of a run, after conversion.
struct RunParams {
    Vec depth, Cc, Cr, sigvref, esigvref, Gs, kref, ekref, Ck, Ca, tref;
    double qo;
    Vec dsigv;
    IVec ocrvoidratiotype;
    Vec ocrvoidratio, ru, time, loadfactor;
    double gammaw, tol, pa;
    int drainagetype;
};

// The initial state as get_initial returns it.
struct Initial {
    Vec eo, sigvo2, sigvf;
};

// Working node arrays of the run (N + 1 zeros each, made by the caller).
struct Work {
    Vec dsigvsub, dsigvsublast;
    Vec ulast, sigvlast, elast, klast, zlast;
    Vec sigvtest, etest, ktest, ztest;
    Vec avtest, epsvtest;
    // Trial pressures of a recovered step (N + 1 each; needed only with
    // Recovery::maxsplit > 0): the run's own arrays, since it adjusts them.
    Vec ua = {}, ub = {};
};

// Opt-in handling of steps that fail.  With maxsplit = 0 and splitfirst off
// the run is exactly the plain one.
struct Recovery {
    // A step that fails (a NaN measure, 100 corrections, a division by zero
    // or a void-ratio iteration that gives up) is restored and redone with a
    // damped Newton iteration (exact slope, backtracking, a guard on trial
    // effective stresses, the void-ratio iteration started without creep),
    // halved recursively into up to 2^maxsplit pieces.
    int maxsplit = 0;
    // The first step after each load change is split geometrically from
    // 0.1 tref (ten pieces per decade).
    bool splitfirst = false;
};

// (N + 1) x Ntime histories, zero-filled by the caller.
struct Histories {
    Mat z, u, sigv, e;
};

class Calls {
public:
    virtual ~Calls() = default;
    // Called before every node-by-node pass that evaluates get_avtest,
    // get_etest or get_ktest.
    virtual void begin_node_pass() = 0;
    virtual double avtest(double elast, double sigvlast, double sigvtest, double eref,
                          double sigvref, double Cc, double Cr) = 0;
    // The void ratio as a double (a non-converged iteration gives -1.0).
    virtual double etest(double etest, double elast, double eref, double alpha, double tref,
                         double sigvtest, double sigvlast, double sigvref, double Cc,
                         double avtest, double utest, double ulast, double dt) = 0;
    virtual double ktest(double etest, double ekref, double kref, double Ck) = 0;
    // Step functions: each returns a view on a new array that stays valid
    // until the next call of the same function.
    virtual Vec utest(const solver::UtestIn& in) = 0;
    virtual Vec residual(const solver::ResidualIn& in) = 0;
    virtual Vec utest2(const solver::Utest2In& in) = 0;
    virtual double max(Vec v) = 0;
    // Step j, ending at time t, failed after `count` corrections: the
    // "ERROR! Increment ..." line (and whatever else the caller reports).
    virtual void report_no_convergence(std::ptrdiff_t j, int count, double t) = 0;
    // At the start of the run, of every step and of every correction: where
    // a caller may look for interrupts or change how it serves the calls.
    virtual void checkpoint() {}
    // Inside a handler of an exception from one of the calls, while a failed
    // step can still be recovered: true when the exception is a division by
    // zero, which is then dropped; false to let it propagate.
    virtual bool absorb_failure() { return false; }

    // --- Passes without calls (see fused/fused.hpp) ---
    // True while the relations and solvers may be evaluated inline: all of
    // them are the module's own and nothing can rebind them before the next
    // checkpoint.  Asked at every step and before every part of a pass.
    virtual bool fused() { return false; }
    // Changes whenever host code may have run (and changed the parameter
    // arrays): the inline passes then drop what they cached.
    virtual unsigned long epoch() { return 0; }
    // The arrays an inline pass writes into: the next trial pressures (what
    // utest/utest2 would return) and the residual (what residual would).
    // n = N + 1 entries each.
    virtual Vec fused_pressures(std::ptrdiff_t n) { (void)n; return {}; }
    virtual Vec fused_residual(std::ptrdiff_t n) { (void)n; return {}; }
};

struct RunStats {
    long long passes = 0;       // solver passes (get_utest + get_utest2 calls)
    long long corrections = 0;  // get_utest2 calls
    long long recovered = 0;    // steps whose first try failed and were redone
    long long pieces = 0;       // sub-steps solved (split steps)
    // Per step of the history: corrections made (first try and recovery),
    // and whether the first try failed.
    std::vector<int> step_corrections;
    std::vector<char> step_recovered;
    long long inline_passes = 0;                // passes made without calls
    // Transcendental functions those passes evaluated.
    long long inline_log10 = 0, inline_exp = 0, inline_pow = 0, inline_log = 0;
    long long damped_corrections = 0;           // corrections of recovered pieces
    std::vector<int> step_damped_corrections;   // the same per step
};

// From this many elements on a run's inline passes use two threads by
// default (measured at 1000: 1.15x faster through the module, 1.4x in the
// native benchmark; nothing at 256, where the threads mostly wait for each
// other).
constexpr std::ptrdiff_t kThreadsFrom = 1000;

// Runs the whole history.  N = len(depth) - 1, Ntime = len(time); both must
// fit an int (std::overflow_error otherwise).  threads: of the inline passes'
// node loops, 1 or 2 (the results are the same to the bit); 0 for the
// environment variable PELORIN_THREADS (1 or 2) when set, else by N, with
// the worker resting while the cores are too busy for it to gain.
RunStats run(const RunParams& p, const Initial& init, const Work& w, const Histories& h,
             Calls& calls, const Recovery& recovery = {}, int threads = 0);

}  // namespace pelorin::driver
