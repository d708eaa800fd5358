#include "loading.hpp"

#include <algorithm>
#include <cmath>

#include "engine.hpp"

namespace pelorin::engine {

namespace {

double lerp(const PiecewiseLinear& p, size_t j, double t) {
    const double t0 = p.time[j - 1], t1 = p.time[j];
    return p.value[j - 1] + (p.value[j] - p.value[j - 1]) * ((t - t0) / (t1 - t0));
}

void check_function(const PiecewiseLinear& p, const char* param, int index, const std::string& what) {
    const std::string where =
        index < 0 ? std::string(param) + " " + what
                  : what + " of " + param + " entry " + std::to_string(index);
    if (p.time.empty() || p.time.size() != p.value.size())
        throw InputError(param, index, where + ": time and value need the same length >= 1");
    for (size_t j = 0; j < p.time.size(); ++j) {
        if (!std::isfinite(p.time[j]) || p.time[j] < 0.0 || (j > 0 && p.time[j] < p.time[j - 1]))
            throw InputError(param, index,
                             where + ": time must be finite, >= 0 and non-decreasing (corner " +
                                 std::to_string(j) + ")");
        if (!std::isfinite(p.value[j]))
            throw InputError(param, index,
                             where + ": value is not finite (corner " + std::to_string(j) + ")");
    }
}

void check_values(const std::vector<double>& v, size_t n, bool optional, const char* param,
                  int index, const char* name) {
    if (optional && v.empty()) return;
    if (v.size() != n)
        throw InputError(param, index,
                         std::string(name) + " of " + param + " entry " + std::to_string(index) +
                             " needs " + std::to_string(n) + " values, not " +
                             std::to_string(v.size()));
    for (double x : v)
        if (!std::isfinite(x))
            throw InputError(param, index,
                             std::string(name) + " of " + param + " entry " +
                                 std::to_string(index) + " is not finite");
}

double max_abs(const PiecewiseLinear& p) {
    double m = 0.0;
    for (double v : p.value) m = std::max(m, std::fabs(v));
    return m;
}

// Node values from the elements: the mean of the two adjacent ones.
std::vector<double> to_nodes(const std::vector<double>& given, const std::vector<double>& el) {
    const int N = static_cast<int>(el.size());
    if (static_cast<int>(given.size()) == N + 1) return given;
    std::vector<double> v(N + 1);
    v[0] = el[0];
    v[N] = el[N - 1];
    for (int i = 1; i < N; ++i) v[i] = 0.5 * (el[i - 1] + el[i]);
    return v;
}

}  // namespace

double PiecewiseLinear::before(double t) const {
    if (time.empty()) return 0.0;
    const size_t j = std::lower_bound(time.begin(), time.end(), t) - time.begin();
    if (j == 0) return value.front();
    if (j == time.size()) return value.back();
    if (time[j] == t) return value[j];
    return lerp(*this, j, t);
}

double PiecewiseLinear::after(double t) const {
    if (time.empty()) return 0.0;
    const size_t j = std::upper_bound(time.begin(), time.end(), t) - time.begin();
    if (j == 0) return value.front();
    if (j == time.size()) return value.back();
    if (time[j - 1] == t) return value[j - 1];
    return lerp(*this, j, t);
}

double fill_load(double g, double gs, double gammaw, double H, double hw, double s, double& dq_ds) {
    const double x = hw + s;  // the height of the fill below the water, unclamped
    const double c = g - gs + gammaw;
    if (x < 0.0) {
        dq_ds = 0.0;
        return g * H;
    }
    if (x >= H) {
        dq_ds = 0.0;
        return g * H - c * H;
    }
    dq_ds = -c;
    return g * H - c * x;
}

void check_loading(const Column& col, const Loading& ld) {
    const auto N = static_cast<size_t>(col.N);
    for (size_t k = 0; k < ld.loads.size(); ++k) {
        const int i = static_cast<int>(k);
        const LoadComponent& L = ld.loads[k];
        check_values(L.dsigv, N, false, "loads", i, "dsigv");
        check_values(L.node_dsigv, N + 1, true, "loads", i, "node_dsigv");
        check_function(L.f, "loads", i, "the function");
    }
    for (size_t f = 0; f < ld.fills.size(); ++f) {
        const int i = static_cast<int>(f);
        const Fill& F = ld.fills[f];
        check_function(F.height, "fills", i, "height");
        for (double h : F.height.value)
            if (h < 0.0)
                throw InputError("fills", i,
                                 "height of fills entry " + std::to_string(i) + " must be >= 0");
        if (!F.water_level.empty()) check_function(F.water_level, "fills", i, "water_level");
        if (!(std::isfinite(F.unit_weight) && F.unit_weight >= 0.0))
            throw InputError("fills", i,
                             "unit_weight of fills entry " + std::to_string(i) +
                                 " must be finite and >= 0");
        if (!(std::isfinite(F.saturated_unit_weight) && F.saturated_unit_weight >= 0.0))
            throw InputError("fills", i,
                             "saturated_unit_weight of fills entry " + std::to_string(i) +
                                 " must be finite and >= 0");
        check_values(F.influence, N, true, "fills", i, "influence");
        check_values(F.node_influence, N + 1, true, "fills", i, "node_influence");
    }
    const bool top_drained = col.drainage == 0 || col.drainage == 1;
    const bool bottom_drained = col.drainage == 0 || col.drainage == 2;
    if (!ld.top.empty()) {
        if (!top_drained)
            throw InputError("boundary", -1,
                             "boundary: the top is sealed (drainagetype 2): no pore pressure can "
                             "be given there");
        check_function(ld.top, "boundary", -1, "top");
    }
    if (!ld.bottom.empty()) {
        if (!bottom_drained)
            throw InputError("boundary", -1,
                             "boundary: the bottom is sealed (drainagetype 1): no pore pressure "
                             "can be given there");
        check_function(ld.bottom, "boundary", -1, "bottom");
    }
}

LoadPath::LoadPath(const Column& col, const Loading& ld) : col_(col), ld_(ld) {
    active_ = !ld.empty() || col.seepage;
    nl_ = static_cast<int>(ld.loads.size());
    nf_ = static_cast<int>(ld.fills.size());
    for (const auto& L : ld.loads) {
        fn_.push_back(&L.f);
        node_dsigv_.push_back(to_nodes(L.node_dsigv, L.dsigv));
    }
    for (const auto& F : ld.fills) {
        fn_.push_back(&F.height);
        fn_.push_back(&F.water_level);
        const std::vector<double> ones(col.N, 1.0);
        infl_.push_back(F.influence.empty() ? ones : F.influence);
        for (double x : infl_.back()) uniform_ &= x == infl_.back()[0];
        node_infl_.push_back(to_nodes(F.node_influence, infl_.back()));
    }
    fn_.push_back(&ld.top);
    fn_.push_back(&ld.bottom);
    for (const PiecewiseLinear* p : fn_)
        for (double t : p->time)
            if (t > 0.0) corners_.push_back(t);
    std::sort(corners_.begin(), corners_.end());
    corners_.erase(std::unique(corners_.begin(), corners_.end()), corners_.end());
    u0_top_ = col.u0_top;
    u0_bottom_ = col.u0_bottom;
    start();
}

void LoadPath::start() {
    next_ = 0;
    a_ = 0.0;
    b_ = next_corner();
    va_.resize(fn_.size());
    vb_.resize(fn_.size());
    for (size_t i = 0; i < fn_.size(); ++i) {
        va_[i] = fn_[i]->after(0.0);
        vb_[i] = b_ < kNone ? fn_[i]->before(b_) : va_[i];
    }
}

bool LoadPath::cross(std::vector<double>& before) {
    const double T = corners_[next_];
    before = vb_;
    bool jump = false;
    for (size_t i = 0; i < fn_.size(); ++i) {
        va_[i] = fn_[i]->after(T);
        jump |= va_[i] != vb_[i];
    }
    a_ = T;
    ++next_;
    b_ = next_corner();
    for (size_t i = 0; i < fn_.size(); ++i) vb_[i] = b_ < kNone ? fn_[i]->before(b_) : va_[i];
    return jump;
}

void LoadPath::values(double t, std::vector<double>& v) const {
    v.resize(fn_.size());
    if (!(b_ < kNone)) {
        v = va_;
        return;
    }
    const double x = (std::min(std::max(t, a_), b_) - a_) / (b_ - a_);
    for (size_t i = 0; i < fn_.size(); ++i) v[i] = x >= 1.0 ? vb_[i] : va_[i] + (vb_[i] - va_[i]) * x;
}

void LoadPath::add_loads(const std::vector<double>& v, std::vector<double>& sig) const {
    for (int k = 0; k < nl_; ++k) {
        const double f = v[index_load(k)];
        const auto& d = ld_.loads[k].dsigv;
        for (int c = 0; c < col_.N; ++c) sig[c] += d[c] * f;
    }
}

double LoadPath::top(const std::vector<double>& v) const { return u0_top_ + v[index_top()]; }
double LoadPath::bottom(const std::vector<double>& v) const { return u0_bottom_ + v[index_bottom()]; }

void LoadPath::fill_loads(const std::vector<double>& v, double s, std::vector<double>& q,
                          std::vector<double>& dq) const {
    q.resize(nf_);
    dq.resize(nf_);
    for (int f = 0; f < nf_; ++f) {
        const Fill& F = ld_.fills[f];
        const double hw = F.water_level.empty() ? -kNone : v[index_water(f)];
        q[f] = fill_load(F.unit_weight, F.saturated_unit_weight, col_.gammaw, v[index_height(f)],
                         hw, s, dq[f]);
    }
}

void LoadPath::add_fills(const std::vector<double>& q, std::vector<double>& sig) const {
    for (int f = 0; f < nf_; ++f) {
        const auto& I = infl_[f];
        for (int c = 0; c < col_.N; ++c) sig[c] += I[c] * q[f];
    }
}

void LoadPath::fill_direction(const std::vector<double>& dq, std::vector<double>& w) const {
    w.assign(col_.N, 0.0);
    for (int f = 0; f < nf_; ++f) {
        const auto& I = infl_[f];
        for (int c = 0; c < col_.N; ++c) w[c] += I[c] * dq[f];
    }
}

double LoadPath::uniform_sum(const std::vector<double>& x) const {
    double v = 0.0;
    for (int f = 0; f < nf_; ++f) v += infl_[f][0] * x[f];
    return v;
}

double LoadPath::node_stress(const std::vector<double>& v, const std::vector<double>& q, int i) const {
    double x = 0.0;
    for (int k = 0; k < nl_; ++k) x += node_dsigv_[k][i] * v[index_load(k)];
    for (int f = 0; f < nf_; ++f) x += node_infl_[f][i] * q[f];
    return x;
}

double LoadPath::scale(int c) const {
    double x = 0.0;
    for (const auto& L : ld_.loads) x += std::fabs(L.dsigv[c]) * max_abs(L.f);
    for (int f = 0; f < nf_; ++f) {
        const Fill& F = ld_.fills[f];
        x += std::fabs(infl_[f][c]) * std::max(F.unit_weight, F.saturated_unit_weight) *
             max_abs(F.height);
    }
    const double ut = std::fabs(u0_top_) + max_abs(ld_.top);
    const double ub = std::fabs(u0_bottom_) + max_abs(ld_.bottom);
    return x + std::max(ut, ub);
}

}  // namespace pelorin::engine
