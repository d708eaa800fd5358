// The consolidation run: from the start state of the column through every
// step of the loading history.
//
// Each step applies the change of load to the excess pore pressures, solves
// trial pressures with the tridiagonal step, derives the trial effective
// stress, compressibility, void ratio, strain, permeability and node
// positions, and evaluates the residual.  A trial whose residual is within
// the tolerance is accepted; otherwise Newton corrections follow until it is,
// or until 100 corrections have failed, which ends the run.
//
// On request (Recovery) a failed step is redone instead of ending the run:
// from its start state, with a damped Newton iteration, and halved into
// smaller pieces while it still fails.  Steps that pass on their first try
// are computed exactly as without the request.
#include "run.hpp"

#include "fused/fused.hpp"
#include "max.hpp"
#include "../soil/soil.hpp"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

namespace pelorin::driver {

namespace {

// Accepted state <- trial state, and column j of the histories.  Runs over
// the length of the trial pressures: a solver that returned more than N + 1
// values fails here on the histories.
void accept(const Work& w, const Histories& h, Vec utest, std::ptrdiff_t j,
            std::ptrdiff_t from = 0, std::ptrdiff_t to = -1) {
    if (to < 0) to = utest.size();
    for (std::ptrdiff_t i = from; i < to; ++i) {
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

// Corrections of a redone step, and halvings of one correction.
constexpr int kMaxHalvings = 12;
// A trial effective stress is kept at or above this share of the stress at
// the start of the step.
constexpr double kStressFloor = 0.05;
// Geometric splitting of a first step: the first piece, in units of the
// smallest tref, and the pieces per decade.
constexpr double kFirstPiece = 0.1;
constexpr double kPiecesPerDecade = 10.0;

class Runner {
public:
    Runner(const RunParams& p, const Initial& init, const Work& w, const Histories& h,
           Calls& calls, const Recovery& rec, int threads, bool adaptive)
        : p(p), init(init), w(w), h(h), calls(calls), rec(rec), threads(threads),
          adaptive(adaptive) {}

    RunStats run();

private:
    RunStats run_steps();
    enum class Outcome { Accepted, Failed, Stopped };

    // --- the relations of one node ---
    double permeability(double e, std::ptrdiff_t i) {
        const double ekref = p.ekref[i];
        const double kref = p.kref[i];
        const double Ck = p.Ck[i];
        return calls.ktest(e, ekref, kref, Ck);
    }
    // Compressibility of node i for a step from stress `from` to `to` (the
    // soil parameters read in the order of the call).
    double compressibility(std::ptrdiff_t i, double from, double to) {
        const double elast = w.elast[i];
        const double eref = p.esigvref[i];
        const double sigvref = p.sigvref[i];
        const double Cc = p.Cc[i];
        const double Cr = p.Cr[i];
        return calls.avtest(elast, from, to, eref, sigvref, Cc, Cr);
    }
    double step_avtest(std::ptrdiff_t i) { return compressibility(i, w.sigvlast[i], w.sigvtest[i]); }

    void start_state();
    void load_change(std::ptrdiff_t j, bool apply, double dt);
    void load_change_node(std::ptrdiff_t j, std::ptrdiff_t i, bool apply);
    void derive(bool closed_form_without_creep, double dt, bool from_no_creep);
    void derive_node(std::ptrdiff_t i, bool closed_form_without_creep, double dt,
                     bool from_no_creep);
    void residual(double dt);
    Vec first_solve(double dt);
    Vec correction(double dt);
    double measure(Vec v);
    bool start_fused();
    bool still_fused();
    solver::UtestIn utest_in(double dt) const;
    solver::Utest2In utest2_in(double dt, bool exact) const;

    Outcome plain_step(std::ptrdiff_t j, double dt, bool apply_load, bool to_history,
                       bool may_fail);
    Outcome substep(std::ptrdiff_t j, double dt, bool apply_load);
    bool damped_piece(std::ptrdiff_t j, double dt, bool apply_load);
    bool halved(std::ptrdiff_t j, double dt, bool apply_load, int depth);
    void guard(const Vec& u);
    void keep_state();
    void accept_step(std::ptrdiff_t j);
    void write_history(std::ptrdiff_t j);
    bool first_after_load_change(std::ptrdiff_t j) const;

    struct Snapshot {
        std::vector<double> v[7];
    };
    void save(Snapshot& s) const;
    void restore(const Snapshot& s) const;

    const RunParams& p;
    const Initial& init;
    const Work& w;
    const Histories& h;
    Calls& calls;
    const Recovery& rec;
    int threads;
    bool adaptive;  // two threads by default: the worker rests while it gains nothing

    RunStats stats;
    std::ptrdiff_t N = 0;
    int Nint = 0;
    double H = 0.0;
    std::vector<double> utest0;
    Vec utest, Res;
    bool bad_void_ratio = false;  // get_etest gave up (-1) in the last derive

    // Inline passes of plain steps: set up at the first step that may use
    // them; fz while the current step uses them.
    Fused fused;
    bool fused_tried = false, fused_ready = false, fz = false;
    unsigned long epoch = 0;
};

RunStats Runner::run_steps() {
    N = p.depth.size() - 1;
    const std::ptrdiff_t Ntime = p.time.size();
    H = p.depth[N];
    // The step functions take the element count as an int.
    if (N > INT_MAX || Ntime > INT_MAX) throw std::overflow_error("run: N or Ntime beyond an int");
    Nint = static_cast<int>(N);

    // Trial pressures before the first solve: a zero array of the node
    // count, like every working array; afterwards the solvers' results.
    utest0.assign(static_cast<std::size_t>(N + 1), 0.0);
    utest = Vec(utest0.data(), N + 1);

    start_state();

    const bool recovering = rec.maxsplit > 0;
    for (std::ptrdiff_t j = 0; j < Ntime; ++j) {
        struct Tally {
            RunStats& s;
            long long c = s.corrections, r = s.recovered, d = s.damped_corrections;
            ~Tally() {
                s.step_corrections.push_back(static_cast<int>(s.corrections - c));
                s.step_recovered.push_back(s.recovered > r ? 1 : 0);
                s.step_damped_corrections.push_back(static_cast<int>(s.damped_corrections - d));
            }
        } tally{stats};
        // The history starts at time 0.
        if (!(rec.splitfirst && first_after_load_change(j))) {
            if (!recovering) {
                // The plain run; a failure ends it (reported inside).
                if (plain_step(j, j == 0 ? p.time[0] : p.time[j] - p.time[j - 1], true, true,
                               false) == Outcome::Stopped)
                    return stats;
                continue;
            }
            Snapshot start;
            save(start);
            const double dt = j == 0 ? p.time[0] : p.time[j] - p.time[j - 1];
            if (plain_step(j, dt, true, true, true) == Outcome::Accepted) continue;
            restore(start);
            ++stats.recovered;
            if (!halved(j, dt, true, 0)) {
                calls.report_no_convergence(j, kMaxCorrections, p.time[j]);
                return stats;
            }
            write_history(j);
            continue;
        }

        // The first step after a load change, in pieces growing tenfold per
        // decade from a tenth of the creep reference time.
        const double t0 = j == 0 ? 0.0 : p.time[j - 1];
        const double dt = p.time[j] - t0;
        double smallest = INFINITY;
        for (std::ptrdiff_t i = 0; i <= N; ++i) {
            const double t = p.tref[i];
            if (t > 0.0 && t < smallest) smallest = t;
        }
        const double first = kFirstPiece * smallest;
        const double growth = std::pow(10.0, 1.0 / kPiecesPerDecade);
        double done = 0.0, piece = first;
        bool apply = true;
        while (true) {
            double end = done + piece;
            // The last piece ends at the step's end (merged when short).
            const bool last = !(dt > 0.0) || !std::isfinite(dt) || !(end * std::sqrt(growth) < dt);
            if (last) end = dt;
            const Outcome o = substep(j, end - done, apply);
            if (o == Outcome::Stopped) return stats;
            apply = false;
            done = end;
            if (last) break;
            piece = done * (growth - 1.0);
        }
        write_history(j);
    }
    return stats;
}

// Start state: the stress after the first load factor, with the part the
// effective stress does not yet carry held as excess pore pressure.
void Runner::start_state() {
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
}

// Load change (whatever the applied stress changed since the last step is
// carried at once by the pore water) and the trial start.
void Runner::load_change(std::ptrdiff_t j, bool apply, double dt) {
    calls.begin_node_pass();
    if (still_fused()) {
        double* u = raw_data(utest, N + 1);
        const double lf = apply ? static_cast<double>(p.loadfactor[j]) : 0.0;
        fused.load_change(apply, lf, dt, u);
        for (const std::ptrdiff_t i : fused.checked()) {
            // The node's compressibility through the checked call.
            w.avtest[i] = step_avtest(i);
            fused.forget_step(i);
        }
        fused.step(dt);
        return;
    }
    for (std::ptrdiff_t i = 0; i <= N; ++i) load_change_node(j, i, apply);
}

void Runner::load_change_node(std::ptrdiff_t j, std::ptrdiff_t i, bool apply) {
    {
        interrupt_point(i);
        if (apply) {
            w.dsigvsub[i] = p.loadfactor[j] * p.dsigv[i];
            w.ulast[i] = w.dsigvsub[i] + w.ulast[i] - w.dsigvsublast[i];
            w.dsigvsublast[i] = w.dsigvsub[i];
        }
        w.ktest[i] = w.klast[i];
        w.ztest[i] = w.zlast[i];
        w.sigvtest[i] = w.sigvlast[i];
        w.etest[i] = w.elast[i];
        utest[i] = w.ulast[i];
        w.avtest[i] = step_avtest(i);
    }
}

// Trial state from the current trial pressures: effective stress,
// compressibility, void ratio, strain and permeability of every node.  In
// the first pass of a step the void ratio without creep has its closed form;
// the corrections always go through get_etest, whose iteration starts at the
// previous trial void ratio, or (from_no_creep) at the void ratio the
// pressure change gives without creep.
void Runner::derive(bool closed_form_without_creep, double dt, bool from_no_creep) {
    bad_void_ratio = false;
    calls.begin_node_pass();
    if (!from_no_creep && still_fused()) {
        const double* u = raw_data(utest, N + 1);
        if (u) {
            fused.derive(closed_form_without_creep, dt, u, bad_void_ratio);
            for (const std::ptrdiff_t i : fused.checked()) {
                derive_node(i, closed_form_without_creep, dt, from_no_creep);
                fused.forget_pass(i);
            }
            fused.positions(H);
            ++stats.inline_passes;
            return;
        }
        fz = false;
    }
    for (std::ptrdiff_t i = 0; i <= N; ++i)
        derive_node(i, closed_form_without_creep, dt, from_no_creep);
    trial_positions(w, N, H);
}

void Runner::derive_node(std::ptrdiff_t i, bool closed_form_without_creep, double dt,
                         bool from_no_creep) {
    {
        interrupt_point(i);
        const double alpha = div(p.Ca[i], soil::ln10);
        w.sigvtest[i] = w.ulast[i] + w.sigvlast[i] - utest[i];
        w.avtest[i] = step_avtest(i);
        if (!closed_form_without_creep || alpha > 0) {
            const double etest = from_no_creep
                                     ? w.elast[i] + w.avtest[i] * (utest[i] - w.ulast[i])
                                     : static_cast<double>(w.etest[i]);
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
            const double e = calls.etest(etest, elast, eref, alpha, tref, sigvtest, sigvlast,
                                         sigvref, Cc, avtest, ut, ulast, dt);
            if (e == -1.0) bad_void_ratio = true;
            w.etest[i] = e;
        } else {
            w.etest[i] = w.elast[i] - (w.ulast[i] - utest[i]) * w.avtest[i];
        }
        w.epsvtest[i] = div(w.elast[i] - w.etest[i], w.elast[i] + 1);
        w.ktest[i] = permeability(w.etest[i], i);
    }
}

void Runner::residual(double dt) {
    if (still_fused()) {
        const double* u = raw_data(utest, N + 1);
        const Vec out = calls.fused_residual(N + 1);
        double* o = raw_data(out, N + 1);
        if (u && o && fused.residual(u, dt, o)) {
            Res = out;
            return;
        }
        fz = false;
    }
    solver::ResidualIn in{w.ulast,  utest,    w.elast,    w.etest,    w.klast,
                          w.ktest,  w.avtest, w.zlast,    w.ztest,    w.sigvlast,
                          w.sigvtest, p.gammaw, p.Ca,     p.Cc,       p.sigvref,
                          p.esigvref, dt,       p.tref,   p.drainagetype, Nint};
    Res = calls.residual(in);
}

solver::UtestIn Runner::utest_in(double dt) const {
    return solver::UtestIn{w.klast,    w.ktest,    w.avtest,   w.zlast,    w.ztest,
                           w.ulast,    w.sigvlast, w.sigvtest, w.elast,    w.etest,
                           p.Ca,       p.Cc,       p.sigvref,  p.esigvref, dt,
                           p.tref,     p.drainagetype, Nint,   p.gammaw};
}

solver::Utest2In Runner::utest2_in(double dt, bool exact) const {
    solver::Utest2In in{Nint,       w.klast,   w.ktest,    w.zlast,    w.ztest,
                        w.avtest,   w.elast,   w.etest,    w.ulast,    utest,
                        w.sigvlast, w.sigvtest, Res,       dt,         p.Cc,
                        p.Cr,       p.Ca,      p.gammaw,   p.ekref,    p.kref,
                        p.Ck,       p.tref,    p.esigvref, p.sigvref,
                        w.dsigvsub, p.drainagetype, p.pa};
    in.exact_jacobian = exact;
    return in;
}

// One step (or piece) as the plain run makes it.  With may_fail it gives up
// at the first sign that it cannot succeed (a NaN measure, a void-ratio
// iteration that gave up, a division by zero) or after 100 corrections, and
// reports Failed; without, a NaN measure counts as a failed correction and
// the hundredth failure is reported and Stops the run.  to_history accepts
// into column j of the histories as well.
Runner::Outcome Runner::plain_step(std::ptrdiff_t j, double dt, bool apply_load,
                                   bool to_history, bool may_fail) {
    try {
        calls.checkpoint();
        fz = start_fused();
        load_change(j, apply_load, dt);
        utest = first_solve(dt);
        ++stats.passes;
        derive(true, dt, false);
        residual(dt);

        // Accepted only at or below the tolerance: a NaN measure is not.
        // A state with a void ratio whose iteration gave up (-1) is no
        // state: accepted, it soon divides by zero.
        double m = measure(Res);
        if (may_fail && m <= p.tol && bad_void_ratio) return Outcome::Failed;
        if (m <= p.tol) {
            if (to_history) accept_step(j);
            else keep_state();
            return Outcome::Accepted;
        }
        if (may_fail && std::isnan(m)) return Outcome::Failed;

        int I = 0;
        while (!(measure(Res) <= p.tol)) {
            calls.checkpoint();
            utest = correction(dt);
            ++stats.passes;
            ++stats.corrections;
            derive(false, dt, false);
            residual(dt);
            m = measure(Res);
            if (may_fail && m <= p.tol && bad_void_ratio) return Outcome::Failed;
            if (m <= p.tol) {
                if (to_history) accept_step(j);
                else keep_state();
            } else {
                if (may_fail && std::isnan(m)) return Outcome::Failed;
                // A failed correction, NaN included.
                ++I;
                if (I == kMaxCorrections) {
                    if (may_fail) return Outcome::Failed;
                    calls.report_no_convergence(j, I, p.time[j]);
                    return Outcome::Stopped;
                }
            }
        }
        return Outcome::Accepted;
    } catch (...) {
        if (may_fail && calls.absorb_failure()) return Outcome::Failed;
        throw;
    }
}

// Whether this step's passes go inline: the calls allow it and the run's
// arrays do.  Host code that ran since the last step may have changed the
// parameter arrays: their copies are then made again.
bool Runner::start_fused() {
    if (!calls.fused()) return false;
    if (!fused_tried) {
        fused_tried = true;
        fused_ready = fused.setup(p, w, threads, adaptive);
        epoch = calls.epoch();
    }
    if (!fused_ready || !raw_data(utest, N + 1)) return false;
    const unsigned long e = calls.epoch();
    if (e != epoch) {
        fused.refresh(p);
        epoch = e;
    }
    return true;
}

// Within a step: once a name was rebound, or host code that ran changed the
// parameter arrays, the rest of the step goes through the calls.
bool Runner::still_fused() {
    if (!fz || !calls.fused()) return fz = false;
    const unsigned long e = calls.epoch();
    if (e != epoch) {
        // Host code may have run: the parameter arrays must be as copied.
        if (!fused.same_params(p)) return fz = false;
        epoch = e;
    }
    return true;
}

// The trial pressures of the first pass, and of a correction.
Vec Runner::first_solve(double dt) {
    if (still_fused() && fused.utest(dt)) {
        const Vec out = calls.fused_pressures(N + 1);
        if (double* o = raw_data(out, N + 1)) {
            fused.write_utest(o);
            return out;
        }
        fz = false;
    }
    return calls.utest(utest_in(dt));
}

Vec Runner::correction(double dt) {
    if (still_fused()) {
        const double* u = raw_data(utest, N + 1);
        const double* res = raw_data(Res, N + 1);
        if (u && res && fused.utest2(u, res, dt)) {
            const Vec out = calls.fused_pressures(N + 1);
            if (double* o = raw_data(out, N + 1)) {
                fused.write_utest2(u, o);
                return out;
            }
        }
        fz = false;
    }
    return calls.utest2(utest2_in(dt, false));
}

double Runner::measure(Vec v) {
    if (still_fused() && v.len > 0) {
        const double* d = raw_data(v, v.len);
        if (!d || !fused.threaded()) return max_abs(v);
        // On two threads: the extremes of the two parts, joined in order.
        Extremes e[2] = {};
        bool two = false;
        fused.parts(0, v.len, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, int part) {
            e[part] = extremes_raw(d + lo, hi - lo);
            if (part == 1) two = true;
        });
        return max_abs_of(two ? join(e[0], e[1]) : e[0]);
    }
    return calls.max(v);
}

// A piece of a split step: the plain try, then (on request) its recovery.
// The state is written to the histories by the caller.
Runner::Outcome Runner::substep(std::ptrdiff_t j, double dt, bool apply_load) {
    ++stats.pieces;
    if (rec.maxsplit <= 0) return plain_step(j, dt, apply_load, false, false) ==
                                          Outcome::Stopped
                                      ? Outcome::Stopped
                                      : Outcome::Accepted;
    Snapshot start;
    save(start);
    if (plain_step(j, dt, apply_load, false, true) == Outcome::Accepted) return Outcome::Accepted;
    restore(start);
    ++stats.recovered;
    if (halved(j, dt, apply_load, 0)) return Outcome::Accepted;
    calls.report_no_convergence(j, kMaxCorrections, p.time[j]);
    return Outcome::Stopped;
}

// The damped try of an interval, halved recursively while it fails, the
// load change in its first piece.  False (state restored) when it still
// fails in pieces of dt / 2^maxsplit.
bool Runner::halved(std::ptrdiff_t j, double dt, bool apply_load, int depth) {
    Snapshot start;
    save(start);
    if (damped_piece(j, dt, apply_load)) return true;
    restore(start);
    if (depth >= rec.maxsplit) return false;
    const double half = dt * 0.5;
    if (halved(j, half, apply_load, depth + 1) && halved(j, dt - half, false, depth + 1))
        return true;
    restore(start);
    return false;
}

// Trial effective stresses must stay positive (the soil relations take
// their logarithm): a node whose trial pressure would leave less than a
// share of the start-of-step stress is pulled back toward its
// start-of-step pressure.  Drained ends keep their pressure.
void Runner::guard(const Vec& u) {
    const int dtype = p.drainagetype;
    for (std::ptrdiff_t i = 0; i <= N; ++i) {
        interrupt_point(i);
        if ((i == 0 && (dtype == 0 || dtype == 1)) || (i == N && (dtype == 0 || dtype == 2)))
            continue;
        const double most = w.ulast[i] + w.sigvlast[i] * (1.0 - kStressFloor);
        if (u[i] > most) u[i] = most;
    }
}

// One piece by a damped Newton iteration: exact slope, corrections halved
// while the largest residual grows or is not a number, trial stresses kept
// positive, the void-ratio iteration started without creep.  A trial whose
// void-ratio iteration gives up counts as a residual that grew (its
// residual, over a collapsed element, is not evaluated).  A division by zero
// here is not absorbed: with positive stresses and void ratios it comes from
// the inputs (a zero tref with creep), and is raised as in the plain run.
bool Runner::damped_piece(std::ptrdiff_t j, double dt, bool apply_load) {
    ++stats.pieces;
    calls.checkpoint();
    fz = false;
    load_change(j, apply_load, dt);
    Vec cur = w.ua, next = w.ub;
    {
        const Vec r = calls.utest(utest_in(dt));
        ++stats.passes;
        for (std::ptrdiff_t i = 0; i <= N; ++i) cur[i] = r[i];
    }
    guard(cur);
    utest = cur;
    derive(true, dt, true);
    if (bad_void_ratio) return false;
    residual(dt);
    double m = calls.max(Res);
    for (int I = 0; !(m <= p.tol); ++I) {
        if (std::isnan(m) || I == kMaxCorrections) return false;
        calls.checkpoint();
        utest = cur;
        const Vec r = calls.utest2(utest2_in(dt, true));
        ++stats.passes;
        ++stats.corrections;
        ++stats.damped_corrections;
        double lambda = 1.0;
        bool better = false;
        for (int k = 0; k <= kMaxHalvings && !better; ++k, lambda *= 0.5) {
            for (std::ptrdiff_t i = 0; i <= N; ++i)
                next[i] = k == 0 ? static_cast<double>(r[i])
                                 : cur[i] + lambda * (r[i] - cur[i]);
            guard(next);
            utest = next;
            derive(false, dt, true);
            if (bad_void_ratio) continue;
            residual(dt);
            const double mn = calls.max(Res);
            if (mn <= m) {
                better = true;
                m = mn;
            }
        }
        if (!better) return false;
        std::swap(cur, next);
    }
    utest = cur;
    keep_state();
    return true;
}

// accept() of a step; on two threads in two parts when no index can be out
// of bounds (the copies are independent).
void Runner::accept_step(std::ptrdiff_t j) {
    const std::ptrdiff_t n = utest.size();
    bool fits = fz && fused.threaded() && n == N + 1;
    for (const Vec* v : {&w.ulast, &w.sigvlast, &w.elast, &w.klast, &w.zlast, &w.sigvtest,
                         &w.etest, &w.ktest, &w.ztest})
        fits = fits && v->len >= n;
    for (const Mat* m : {&h.u, &h.z, &h.sigv, &h.e})
        fits = fits && m->shape[0] >= n && m->shape[1] > j;
    if (!fits) {
        accept(w, h, utest, j);
        return;
    }
    fused.parts(0, n, [&](std::ptrdiff_t lo, std::ptrdiff_t hi, int) {
        accept(w, h, utest, j, lo, hi);
    });
}

// Accepted state <- trial state (a piece of a step: no history column).
void Runner::keep_state() {
    for (std::ptrdiff_t i = 0; i <= N; ++i) {
        interrupt_point(i);
        w.ulast[i] = utest[i];
        w.sigvlast[i] = w.sigvtest[i];
        w.elast[i] = w.etest[i];
        w.klast[i] = w.ktest[i];
        w.zlast[i] = w.ztest[i];
    }
}

// Column j of the histories from the accepted state.
void Runner::write_history(std::ptrdiff_t j) {
    for (std::ptrdiff_t i = 0; i <= N; ++i) {
        h.u(i, j) = w.ulast[i];
        h.z(i, j) = w.zlast[i];
        h.sigv(i, j) = w.sigvlast[i];
        h.e(i, j) = w.elast[i];
    }
}

bool Runner::first_after_load_change(std::ptrdiff_t j) const {
    return j == 0 || !(p.loadfactor[j] == p.loadfactor[j - 1]);
}

void Runner::save(Snapshot& s) const {
    const Vec* from[7] = {&w.ulast, &w.sigvlast, &w.elast,  &w.klast,
                          &w.zlast, &w.dsigvsub, &w.dsigvsublast};
    for (int k = 0; k < 7; ++k) {
        s.v[k].resize(static_cast<std::size_t>(N + 1));
        for (std::ptrdiff_t i = 0; i <= N; ++i) s.v[k][static_cast<std::size_t>(i)] = (*from[k])[i];
    }
}

void Runner::restore(const Snapshot& s) const {
    const Vec* to[7] = {&w.ulast, &w.sigvlast, &w.elast,  &w.klast,
                        &w.zlast, &w.dsigvsub, &w.dsigvsublast};
    for (int k = 0; k < 7; ++k)
        for (std::ptrdiff_t i = 0; i <= N; ++i) (*to[k])[i] = s.v[k][static_cast<std::size_t>(i)];
}

}  // namespace

RunStats run(const RunParams& p, const Initial& init, const Work& w, const Histories& h,
             Calls& calls, const Recovery& recovery, int threads) {
    bool adaptive = false;
    if (threads <= 0) {
        // PELORIN_THREADS, else two from kThreadsFrom elements on (where a
        // second core is there).
        const char* env = std::getenv("PELORIN_THREADS");
        if (env && (env[0] == '1' || env[0] == '2') && env[1] == '\0') {
            threads = env[0] - '0';
        } else {
            const std::ptrdiff_t n = p.depth.size() - 1;
            threads = n >= kThreadsFrom && std::thread::hardware_concurrency() >= 2 ? 2 : 1;
            adaptive = true;
        }
    }
    Runner r(p, init, w, h, calls, recovery, threads, adaptive);
    return r.run();
}

RunStats Runner::run() {
    RunStats s = run_steps();
    s.inline_log10 = fused.counts.log10;
    s.inline_exp = fused.counts.exp;
    s.inline_pow = fused.counts.pow;
    s.inline_log = fused.counts.log;
    return s;
}

}  // namespace pelorin::driver
