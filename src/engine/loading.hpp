// The loading of a run beyond its load factor: load components, fills and
// pore pressures at the drained ends, each following a piecewise-linear
// function of time.
//
// A function is given by its corners (time non-decreasing from >= 0, value):
// linear between two corners, value[0] before the first and value[-1] after
// the last; a time given twice is a jump, from the value just before to the
// value just after.  Sub-steps land on every corner of every function, so that
// within a sub-step every total stress varies linearly in time (the creep
// update of material.hpp is exact for that) and the steps never straddle a
// jump: a jump acts at once, undrained, between two sub-steps.
//
// Fills: a fill of height H (placed over time) of unit weight g, the part of
// it below the water (level hw above the top of the column, the top settled
// by s) at its saturated unit weight gs, buoyant:
//     q = g H - (g - gs + gammaw) clamp(hw + s, 0, H)
// acts on element c as I_c q.  q couples every element to the settlement of
// the top; the engine solves for both at once (engine.cpp).
#pragma once

#include <limits>
#include <string>
#include <vector>

namespace pelorin::engine {

struct Column;

struct PiecewiseLinear {
    std::vector<double> time, value;

    double before(double t) const;  // the value just before t (at t if continuous there)
    double after(double t) const;   // the value just after t
    bool empty() const { return time.empty(); }
};

// A total-stress change dsigv (kPa per element) times f(t).
struct LoadComponent {
    std::vector<double> dsigv;       // N
    std::vector<double> node_dsigv;  // N + 1 (node outputs; empty: from the elements)
    PiecewiseLinear f;
};

struct Fill {
    PiecewiseLinear height;          // m of fill placed
    PiecewiseLinear water_level;     // m above the top of the column
    double unit_weight = 0.0;        // g, kN/m3
    double saturated_unit_weight = 0.0;  // gs, kN/m3
    std::vector<double> influence;       // N (empty: 1)
    std::vector<double> node_influence;  // N + 1 (empty: from the elements)
};

struct Loading {
    std::vector<LoadComponent> loads;
    std::vector<Fill> fills;
    // Change of the pore pressure at a drained end relative to the initial
    // state (kPa); empty: none.
    PiecewiseLinear top, bottom;

    bool empty() const { return loads.empty() && fills.empty() && top.empty() && bottom.empty(); }
};

// The load of a fill at height H, water level hw and settlement s, and its
// derivative with respect to s (0 where the water is below the fill's base or
// above its top; at the two kinks the side the settlement comes from).
double fill_load(double g, double gs, double gammaw, double H, double hw, double s, double& dq_ds);

// Throws InputError (param "loads", "fills" or "boundary", index the
// component) for loading that does not fit the column or is not finite.
void check_loading(const Column& col, const Loading& ld);

// The loading of a run as it goes: the sorted corners of all its functions and
// their values on the current piece, between two consecutive corners, where
// every function is linear.
class LoadPath {
public:
    LoadPath(const Column& col, const Loading& ld);

    bool active() const { return active_; }
    bool coupled() const { return !ld_.fills.empty(); }
    // Every fill acts alike on every element (its influence is constant).
    bool uniform() const { return uniform_; }
    int nfills() const { return static_cast<int>(ld_.fills.size()); }
    const Loading& loading() const { return ld_; }

    // The first piece, from t = 0 (values just after 0).
    void start();
    // The next corner after the current piece's start (infinity: none).
    double next_corner() const { return next_ < corners_.size() ? corners_[next_] : kNone; }
    // Moves onto the piece after the next corner; returns whether a function
    // jumps there (the changes: `before` holds the values just before it).
    bool cross(std::vector<double>& before);

    // Every function's value at time t on the current piece (t clamped to it).
    void values(double t, std::vector<double>& v) const;
    // The values just after the start of the current piece.
    const std::vector<double>& start_values() const { return va_; }

    // From a vector of values: the stress of the load components per element
    // (added to `sig`), the boundary values (the initial part included), the
    // load of every fill at settlement s (q, dq/ds) and the direction
    // w_c = sum_f I_fc dq_f/ds of the stresses' change with s.
    void add_loads(const std::vector<double>& v, std::vector<double>& sig) const;
    double top(const std::vector<double>& v) const;
    double bottom(const std::vector<double>& v) const;
    void fill_loads(const std::vector<double>& v, double s, std::vector<double>& q,
                    std::vector<double>& dq) const;
    void add_fills(const std::vector<double>& q, std::vector<double>& sig) const;
    void fill_direction(const std::vector<double>& dq, std::vector<double>& w) const;
    // With uniform(): sum_f I_f x_f, the same in every element.
    double uniform_sum(const std::vector<double>& x) const;
    // The total-stress change at node i (loads and fills, the load factor's
    // step aside).
    double node_stress(const std::vector<double>& v, const std::vector<double>& q, int i) const;
    // A bound of the pore pressures the loading can cause (kPa), per element.
    double scale(int c) const;

    static constexpr double kNone = std::numeric_limits<double>::infinity();

private:
    int index_load(int k) const { return k; }
    int index_height(int f) const { return nl_ + 2 * f; }
    int index_water(int f) const { return nl_ + 2 * f + 1; }
    int index_top() const { return nl_ + 2 * nf_; }
    int index_bottom() const { return nl_ + 2 * nf_ + 1; }

    const Column& col_;
    const Loading& ld_;
    bool active_ = false, uniform_ = true;
    int nl_ = 0, nf_ = 0;
    std::vector<const PiecewiseLinear*> fn_;  // loads, (height, water) per fill, top, bottom
    std::vector<double> corners_;             // every corner time > 0, sorted, once each
    size_t next_ = 0;
    double a_ = 0.0, b_ = kNone;   // the current piece
    std::vector<double> va_, vb_;  // values just after a_ and just before b_
    std::vector<std::vector<double>> infl_, node_infl_, node_dsigv_;
    double u0_top_ = 0.0, u0_bottom_ = 0.0;
};

}  // namespace pelorin::engine
