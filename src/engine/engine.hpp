// The run engine: one-dimensional finite-strain consolidation with creep in
// solids (material) coordinates, cell-centred finite volumes, an exact Newton
// Jacobian and error-controlled time steps (backward Euler after every load
// change, then variable-step BDF2).
//
// Coordinates: xi is the height of solids measured from the top; an element
// (cell) c lies between nodes c and c + 1 and holds S_c of solids.  Its state
// is its excess pore pressure u_c, void ratio e_c and plastic void ratio ep_c
// at its centre.  Mass balance of the pore water (Gibson, England & Hussey
// 1967, their equation in xi):
//     S_c de_c/dt = F_{c+1/2} - F_{c-1/2},  F = G (u_right - u_left),
// G the conductance between two centres, k/(gammaw (1 + e)) combined in series
// over the two half cells (the harmonic mean for layered soils); a drained end
// holds u = 0 at the boundary face, half a cell from the last centre, a sealed
// end carries no flux.  The effective stress of a cell is
//     s'_c = sigma0_c + dsigv_c * lf(t) - u_c,
// sigma0_c = qo + (Gs - 1) gammaw xi_c exactly (the submerged weight per unit
// height of solids does not depend on the void ratio).  Further loading
// (loading.hpp) adds its total-stress change to s'_c and holds its pore
// pressures at the drained ends instead of 0; u is then relative to
// hydrostatic with the water at the top, and an initial steady seepage
// enters as u(t = 0) with sigma0_c the effective stress it leaves.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "loading.hpp"
#include "drains.hpp"
#include "material.hpp"

namespace pelorin::engine {

// Physically impossible input; `param` names the keyword, `index` the element
// (or node, as `where` says).
struct InputError : std::runtime_error {
    std::string param;
    int index;
    InputError(std::string p, int i, const std::string& msg)
        : std::runtime_error(msg), param(std::move(p)), index(i) {}
};

// A callback asked the run to stop (its reason is kept by the caller).
struct Interrupted {};

// The run cannot go on: no sub-step is accepted at `time`.  `element` is the
// element that held the last step back (-1: none in particular) and
// `quantity` what of it: "pore pressure" or "settlement" (the time error),
// "effective stress", "void ratio" or "permeability" (a non-physical trial,
// or an end node's state that is not physical), "Newton correction" (no
// convergence).
struct StepFailure : std::runtime_error {
    double time;
    int element;
    std::string quantity;
    StepFailure(double t, const std::string& msg, int elem = -1, std::string qty = "")
        : std::runtime_error(msg), time(t), element(elem), quantity(std::move(qty)) {}
};

// Per-element description of a column, with the node depths.
struct ColumnInput {
    std::vector<double> depth;       // N + 1 node depths, increasing, m
    std::vector<Material> mat;       // N
    std::vector<double> Gs;          // N
    std::vector<double> dsigv;       // N: total stress change at load factor 1, kPa
    std::vector<double> ru;          // N: initial pore-pressure ratio
    std::vector<int> hist_type;      // N: 0 OCR, 1 void ratio, 2 preconsolidation stress
    std::vector<double> hist_value;  // N
    std::vector<double> node_dsigv;  // N + 1 (node outputs; empty: from the elements)
    std::vector<double> node_ru;     // N + 1 (node outputs; empty: from the elements)
    double qo = 0.0;
    double gammaw = 9.81;
    int drainage = 0;  // 0 both ends, 1 top only, 2 bottom only
    // Reject an element whose stress history puts it above the compression
    // line (when false the state is put on the line: node-wise input whose
    // nodes were checked themselves).
    bool check_history = true;
    // Excess pore pressures held at t = 0 at the drained ends (relative to
    // hydrostatic with the water at the top); given at either: the initial
    // state is the steady seepage between them (column.cpp).
    bool initial_top_set = false, initial_bottom_set = false;
    double initial_top = 0.0, initial_bottom = 0.0;
    Drains drains;  // vertical drains (none: eta empty)
};

// The prepared column: initial state at the element centres and the nodes.
struct Column {
    int N = 0;
    std::vector<Material> mat;
    std::vector<double> ln_tref;  // ln tref per element
    std::vector<double> S;        // solids height per element
    std::vector<double> sigma0;   // initial effective stress at the element centres
    std::vector<double> e0;       // initial void ratio
    std::vector<double> dsigv, ru;
    std::vector<double> depth;       // N + 1
    std::vector<double> sig_node;    // N + 1: initial effective stress at the nodes
    std::vector<double> node_dsigv;  // N + 1
    std::vector<double> node_ru;     // N + 1
    double gammaw = 9.81;
    int drainage = 0;
    // Steady seepage at t = 0: its pore pressure (relative to hydrostatic,
    // zeros without it) at the centres and the nodes, and its values at the
    // two ends; sigma0 and sig_node are the effective stresses with it.
    bool seepage = false;
    std::vector<double> useep;       // N
    std::vector<double> node_useep;  // N + 1
    double u0_top = 0.0, u0_bottom = 0.0;
    Drains drains;
};

Column prepare(const ColumnInput& in);

struct Options {
    double rtol = 3e-4;        // local time error, relative to the load
    long max_substeps = 1000000;
    int max_newton = 12;
};

struct Stats {
    long substeps = 0;   // accepted sub-steps
    long newton = 0;       // Newton iterations (linear solves)
    long evaluations = 0;  // residual and Jacobian evaluations (line search included)
    long rejected = 0;   // rejected sub-steps (error, Newton, non-physical trial)
    long probes = 0;     // trial first steps of a stage tried again longer
    int columns = 0;     // output columns written (t = 0 included)
};

// Histories written by the engine, time-major [ncol][row] (a column is
// contiguous), ncol = Ntime + 1; a nullptr history is not wanted and not
// computed.
struct Output {
    int ncol = 0;
    double *z = nullptr, *u = nullptr, *sigv = nullptr, *e = nullptr, *k = nullptr;  // nodes
    double *ue = nullptr, *sigve = nullptr, *ee = nullptr, *ke = nullptr;            // elements
    double* settlement = nullptr;
    // The loading acting: the total-stress change at the top, the load of
    // every fill [ncol][fill], the pore pressure held at each drained end
    // (NaN at a sealed one).
    double *load = nullptr, *fill_load = nullptr, *boundary_top = nullptr,
           *boundary_bottom = nullptr;
};

struct Callbacks {
    std::function<void()> poll;                   // every ~50 ms; may throw
    std::function<void(int, double)> on_output;   // after output column j at time t
};

// Runs the loading history: load factor lf[j] acts over (time[j-1], time[j]]
// (time[-1] = 0), lf[0] from t = 0 on; column 0 of the output is the state
// at t = 0 just after lf[0] is applied, column j + 1 the state at time[j].
// Throws StepFailure (stats.columns tells how much of the output is valid),
// Interrupted, or whatever a callback throws.
void solve(const Column& col, const std::vector<double>& time,
           const std::vector<double>& loadfactor, const Options& opt, Output& out,
           const Callbacks& cb, Stats& stats);
// The same with further loading (loading.hpp), acting besides the load factor.
void solve(const Column& col, const std::vector<double>& time,
           const std::vector<double>& loadfactor, const Loading& loading, const Options& opt,
           Output& out, const Callbacks& cb, Stats& stats);

// The residual of a step and its Jacobian, exposed for tests: the step from
// state (ep0, s0) over dt with BDF weights a0 (new), and `hist` the part of
// the mass balance from earlier levels (sum a_i e_i); returns false for a
// non-physical trial.
struct StepSystem {
    std::vector<double> R, lo, di, up;  // residual and tridiagonal Jacobian
    // With fills, the border of the settlement unknown s: dR/ds (b), the row
    // Z = s - sum S (e0 - e) with dZ/du (c) and dZ/ds (d).
    std::vector<double> b, c;
    double d = 1.0, Z = 0.0;
};
bool step_residual(const Column& col, const std::vector<double>& ep0,
                   const std::vector<double>& s0, const std::vector<double>& sig_tot,
                   const std::vector<double>& hist, double a0, double dt,
                   const std::vector<double>& u, StepSystem& sys);
// The same for a sub-step from absolute time t0 to t0 + dt (the drains' sink
// acts from their installation on).
bool step_residual(const Column& col, const std::vector<double>& ep0,
                   const std::vector<double>& s0, const std::vector<double>& sig_tot,
                   const std::vector<double>& hist, double a0, double dt, double t0,
                   const std::vector<double>& u, StepSystem& sys);

// The same with fills and pore pressures held at the drained ends: sig_tot
// holds the loads without the fills, which act at the settlement s.
struct StepLoad {
    struct FillAt {
        double g, gs, H, hw;
        std::vector<double> influence;  // N
    };
    std::vector<FillAt> fills;
    double top = 0.0, bottom = 0.0;
};
bool step_residual(const Column& col, const std::vector<double>& ep0,
                   const std::vector<double>& s0, const std::vector<double>& sig_tot,
                   const std::vector<double>& hist, double a0, double dt,
                   const std::vector<double>& u, const StepLoad& load, double s, StepSystem& sys);
// Solves the bordered system of a step, [T b; c' d] (x, y) = (r, z), in place
// of r (returns y).
double bordered_solve(const StepSystem& sys, std::vector<double>& r, double z);

// The state of every element at the end of a step from (ep0, s0) over dt to
// the pore pressures u, as the Newton passes compute it (the update of
// `local_update`, written over blocks of elements), exposed for tests: ep, e
// and d e / d u per element; false for a non-physical trial.
bool cell_states(const Column& col, const std::vector<double>& ep0, const std::vector<double>& s0,
                 const std::vector<double>& sig_tot, double dt, const std::vector<double>& u,
                 std::vector<double>& ep, std::vector<double>& e, std::vector<double>& dedu);

}  // namespace pelorin::engine
