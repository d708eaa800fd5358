// The passes of a step over raw node arrays, with the soil relations and the
// column solvers evaluated inline (the plain try of every step; the damped
// recovery of a failed one keeps the calls).
//
// Each file of src/driver/fused holds the part of a pass that shadows one
// file of the relations or the solvers: setup.cpp (the run's arrays and
// per-run constants), state.cpp (the load change and the trial state:
// src/soil/soil.cpp), residual.cpp (src/solver/residual.cpp), utest.cpp
// (src/solver/utest.cpp) and utest2.cpp (src/solver/utest2.cpp); kernels.hpp
// holds what they share.
//
// A pass computes exactly what the calls of the module's own functions
// compute, operation for operation, so the results are the same to the last
// bit.  What it saves is the dispatch (virtual calls, bounds-checked element
// access, the zero-filling of result arrays) and the transcendental functions
// whose arguments are provably the same bits as in an earlier evaluation:
//   per run   log10(sigvref), alpha = Ca / ln 10, Cc / alpha, ln 10 kref / Ck;
//   per step  the preconsolidation stress, the creep rate factor of the
//             previous state and the creep factor 0.5 alpha dt / tref / (1 + elast);
//   per pass  the creep rate factor of the trial state (the last one the
//             void-ratio iteration evaluated) and 10^((e - ekref)/Ck).
//
// Every division whose divisor is zero, and every value that was not cached,
// flags the node (or the pass): the caller then re-runs that node (or the
// whole pass, which only writes its result) through the checked calls, so a
// failure surfaces from the same place with the same error as without this
// path.
//
// Each part of a pass runs as loops over the nodes: the arithmetic in loops
// without calls or branches (every branch computed, the node's own
// selected), which the compiler vectorises, built for the instruction
// sets of core/simd.hpp and picked at run time; the transcendental functions in scalar
// loops between them.  IEEE +, -, *, / give the same bits in a vector lane
// as in a scalar register, and no multiply and add are fused into one
// instruction, so the results do not depend on which build runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../../core/simd.hpp"
#include "../../core/views.hpp"
#include "../run.hpp"
#include "../team.hpp"

namespace pelorin::driver {

class Fused {
public:
    // Binds the run's working arrays.  False when the run does not qualify:
    // fewer than 3 elements, a drainage type other than 0, 1 or 2, or an
    // array that is short, strided or not aligned.
    // threads: 1, or 2 to start a worker for the node loops (adaptive: one
    // that rests while it does not gain, see team.hpp).
    bool setup(const RunParams& p, const Work& w, int threads = 1, bool adaptive = false);
    // Copies of the soil arrays and their per-run constants, from the
    // parameter views as they are now.
    void refresh(const RunParams& p);
    // The parameter views still hold the copied values, bit for bit.
    bool same_params(const RunParams& p);

    // Load change and trial start of every node (u: the current trial
    // pressures).  The nodes whose compressibility must go through the
    // checked call are left in checked(), in order; their other updates are
    // made.
    void load_change(bool apply, double loadfactor, double dt, double* u);
    // The rest of the step's caches, after the load change of every node.
    void step(double dt);
    // Trial state of every node from the trial pressures u.  The nodes that
    // must go through the checked calls (nothing of them written) are left
    // in checked(), in order.
    void derive(bool closed_form_without_creep, double dt, const double* u,
                bool& bad_void_ratio);
    const std::vector<std::ptrdiff_t>& checked() const { return checked_; }
    // Node i went through the checked calls: its cached values are not used.
    void forget_step(std::ptrdiff_t i);
    void forget_pass(std::ptrdiff_t i);
    // Trial positions from the strains.
    void positions(double H);

    // The residual into out (N + 1).  False when the pass must be redone by
    // the checked call.
    bool residual(const double* u, double dt, double* out);
    // Trial pressures of the first pass of a step (right after load_change):
    // solved into the kernel's own rows, then written by write_pressures.
    bool utest(double dt);
    // Newton correction of the trial pressures u with the residual res.
    bool utest2(const double* u, const double* res, double dt);
    // The pressures solved by the last utest / utest2 (u: the trial
    // pressures utest2 corrected).
    void write_utest(double* out) const;
    void write_utest2(const double* u, double* out) const;

    // Transcendental functions evaluated by the passes so far (the floor of
    // the benchmark replays them).
    struct Counts {
        long long log10 = 0, exp = 0, pow = 0, log = 0;
    };
    Counts counts;

    // f(lo, hi, part) over [lo, hi) split in two parts (part 0 here, part 1
    // on the worker, the split at a block boundary near lo + share (hi - lo)),
    // or over the whole range here.  The worker's counts go to counts.
    template <class F>
    void parts(std::ptrdiff_t lo, std::ptrdiff_t hi, F&& f, double share = 0.5) {
        const std::ptrdiff_t mid =
            team_.running() ? Team::split_point(lo, hi, share, kAlign) : hi;
        if (mid <= lo || mid >= hi) {
            f(lo, hi, 0);
            return;
        }
        team_.run(lo, mid, hi, f);
        counts.log10 += wcounts_.log10;
        counts.exp += wcounts_.exp;
        counts.pow += wcounts_.pow;
        counts.log += wcounts_.log;
        wcounts_ = Counts{};
    }
    bool threaded() const { return team_.running(); }
    // Parts split at multiples of this (the trial state's blocks).
    static constexpr std::ptrdiff_t kAlign = simd::kBlock;

private:
    // Flags of nodes, as wide as a double (the vector loops read them
    // alongside doubles).
    using Flag = std::int64_t;
    struct Raw {
        double *ulast, *sigvlast, *elast, *klast, *zlast, *sigvtest, *etest, *ktest, *ztest,
            *avtest, *epsvtest, *dsigvsub, *dsigvsublast;
    };
    struct Terms;
    double rate(std::ptrdiff_t j, double e, double s, double alpha, bool& bad, Counts& n);
    double creep_term(std::ptrdiff_t j, bool& bad, Counts& n);
    double E(std::ptrdiff_t j, double al, bool& bad);
    double D(std::ptrdiff_t j, double al, double dt, bool& bad);
    double K(std::ptrdiff_t j, bool& bad);
    double neighbour_slope(std::ptrdiff_t j, double al, double dt, bool& bad);
    void creep_terms(std::ptrdiff_t i, double al, double onepe, double av, double dt, Terms& t,
                     bool& bad);
    double detestdsigvtest_of(std::ptrdiff_t i, double al, double dt, bool& bad);
    double compressibility_slope(std::ptrdiff_t j, double eps, bool& bad);
    void interior_row(std::ptrdiff_t i, const double* u, double dt, double eps, bool& bad);
    void bottom_rows(const double* u, double dt, double eps, bool& bad);
    void top_rows(const double* u, double dt, double eps, bool& bad);
    double link(std::ptrdiff_t i, double mTh, double dztest, bool lower, bool& bad) const;
    bool sweep(bool& bad);
    void eliminate_row(std::ptrdiff_t k, bool& bad);
    void eliminate(std::ptrdiff_t k0, std::ptrdiff_t k1, bool& bad);
    std::ptrdiff_t load_change_from(std::ptrdiff_t i0, std::ptrdiff_t i1, bool apply,
                                    double loadfactor, double dt, double* u, Counts& n);
    std::ptrdiff_t derive_from(std::ptrdiff_t i0, std::ptrdiff_t i1, bool closed,
                               const double* u, bool& minus1, Counts& n);
    // The counts of a part.
    Counts& counts_of(int part) { return part ? wcounts_ : counts; }
    // Checked nodes of the parts, then in order.
    void gather();

    std::ptrdiff_t N = 0;
    int dtype = 0;
    double gammaw = 0.0, pa = 0.0;
    Raw r{};
    // Per run.
    std::vector<double> Cc, Cr, sigvref, esigvref, kref, ekref, Ck, Ca, tref, dsigv;
    std::vector<double> alpha, lsr, coa, kfac;
    // Per step: preconsolidation stress, creep rate factor of the previous
    // state, creep factor of the residual and the trial step (and whether
    // each was computed for the node).
    std::vector<double> sigmap, Al, fq;
    std::vector<Flag> sm_ok, al_ok, fq_ok;
    // Per step, quotients of step values: the void-ratio iteration's F and
    // dA factor, dt/2/tref and dt/2/tref/(1 + elast), the creep slope
    // numerators dt/2 Cc/ln 10 and Cc/2 dt/tref, dzlast/(1 + elast), the
    // previous state's conduction and gradient product, and whether the
    // previous state is at its preconsolidation stress (tangent test).
    // ck_ok: those dividing by tref computed (tref not 0), st_ok: the others
    // (no zero divisor).
    std::vector<double> Fe, dAe, h5, rde, g0, gt, ddz, cl, gl;
    std::vector<Flag> tan1, st_ok, ck_ok;
    double Thg = 0.0, T8g = 0.0, mdg = 0.0;
    bool t8_scaled = false, md_scaled = false;
    // Per pass: the residual's storage factor -avtest/(1 + elast), and
    // (for the Newton step) 1 + d(creep)/de and the void-ratio slope
    // avtest / that of every node under its own alpha.
    std::vector<double> stor, Dn, Sn;
    std::vector<Flag> sn_ok;
    // Per pass: the log arguments of d(avtest)/d(sigvtest) (get_avtest's
    // quotients, kept by the trial state) and their logs (nlog: how many of
    // the two a node takes), and the nodes whose residual equation or Newton
    // row is completed or built one by one.
    std::vector<double> la, lb, L1, L2;
    std::vector<Flag> nlog, slow;
    // Per pass: creep rate factor of the trial state, 10^((e - ekref)/Ck).
    std::vector<double> At, P;
    std::vector<Flag> at_ok, p_ok;
    // Rows of the tridiagonal systems.
    std::vector<double> a, b, c, x;
    std::ptrdiff_t rows = 0;

    Team team_;
    Counts wcounts_;
    std::vector<std::ptrdiff_t> part_checked_[2], checked_;
};

// Contiguous, aligned double data of a view with at least n entries, or null.
double* raw_data(const Vec& v, std::ptrdiff_t n);

}  // namespace pelorin::driver
