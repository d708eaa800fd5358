// A run's relations evaluated by the C++ cores directly, without any host
// objects: the floor against which the module's own calls are measured, and
// the reference implementation the driver tests run on.
//
// The result and work arrays of the step functions are owned here, grown
// once per size and zero-filled on every call, as fresh zero arrays would
// be.  The corrected pressures alternate between two buffers because each
// correction reads the pressures of the one before.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include "../core/views.hpp"
#include "../soil/soil.hpp"
#include "../solver/solver.hpp"
#include "run.hpp"

namespace pelorin::driver {

class NativeCalls : public Calls {
public:
    // Largest absolute value (the larger of the maximum and the negated
    // minimum); a NaN anywhere gives NaN.
    static double max_abs(Vec v) {
        if (v.size() == 0) throw std::invalid_argument("zero-size array to reduction operation maximum which has no identity");
        double hi = v[0], lo = v[0];
        bool nan = std::isnan(v[0]);
        for (std::ptrdiff_t i = 1; i < v.size(); ++i) {
            const double x = v[i];
            if (std::isnan(x)) nan = true;
            if (x > hi) hi = x;
            if (x < lo) lo = x;
        }
        if (nan) return std::nan("");
        return std::max(hi, -lo);
    }

    void begin_node_pass() override {}

    double avtest(double elast, double sigvlast, double sigvtest, double eref, double sigvref,
                  double Cc, double Cr) override {
        return soil::get_avtest(elast, sigvlast, sigvtest, eref, sigvref, Cc, Cr);
    }

    double etest(double etest, double elast, double eref, double alpha, double tref,
                 double sigvtest, double sigvlast, double sigvref, double Cc, double avtest,
                 double utest, double ulast, double dt) override {
        const soil::EtestResult r = soil::get_etest(etest, elast, eref, alpha, tref, sigvtest,
                                                    sigvlast, sigvref, Cc, avtest, utest, ulast,
                                                    dt);
        if (!r.converged) {
            ++etest_failures;
            return -1.0;
        }
        return r.e;
    }

    double ktest(double etest, double ekref, double kref, double Ck) override {
        return soil::get_ktest(etest, ekref, kref, Ck);
    }

    Vec utest(const solver::UtestIn& in) override {
        const std::ptrdiff_t rows = solver::utest_rows(in.drainagetype, in.N);
        Vec a = zeros(a_, rows), b = zeros(b_, rows), c = zeros(c_, rows), x = zeros(x_, rows);
        Vec out = zeros(utest_out_, std::ptrdiff_t(in.N) + 1);
        solver::get_utest(in, a, b, c, x, out);
        return out;
    }

    Vec residual(const solver::ResidualIn& in) override {
        Vec out = zeros(res_out_, std::ptrdiff_t(in.N) + 1);
        solver::get_residual(in, out);
        return out;
    }

    Vec utest2(const solver::Utest2In& in) override {
        const std::ptrdiff_t rows = solver::utest2_rows(in.drainagetype, in.N);
        Vec a = zeros(a_, rows), b = zeros(b_, rows), c = zeros(c_, rows), x = zeros(x_, rows);
        std::vector<double>& buf = utest2_out_[flip_];
        flip_ ^= 1;
        Vec out = zeros(buf, in.utest.size());
        solver::get_utest2(in, a, b, c, x, out);
        return out;
    }

    double max(Vec v) override { return max_abs(v); }

    // Inline passes (off: the run makes every call, as before them).
    bool inline_passes = false;
    bool fused() override { return inline_passes; }
    Vec fused_pressures(std::ptrdiff_t n) override {
        std::vector<double>& buf = utest2_out_[flip_];
        flip_ ^= 1;
        return zeros(buf, n);
    }
    Vec fused_residual(std::ptrdiff_t n) override { return zeros(res_out_, n); }

    bool absorb_failure() override {
        try {
            throw;
        } catch (const NumericError& e) {
            return e.kind != ErrKind::IndexOutOfBounds;
        } catch (...) {
            return false;
        }
    }

    void report_no_convergence(std::ptrdiff_t j, int count, double t) override {
        failed_step = static_cast<int>(j);
        failed_time = t;
        failed_count = count;
    }

    // What the run reported, for callers that inspect it (-1: nothing).
    int failed_step = -1;
    int failed_count = -1;
    double failed_time = 0.0;
    // get_etest iterations that gave up (stored as -1.0 void ratios).
    long long etest_failures = 0;

private:
    static Vec zeros(std::vector<double>& buf, std::ptrdiff_t n) {
        if (n < 0) throw std::invalid_argument("negative dimensions are not allowed");
        const auto un = static_cast<std::size_t>(n);
        if (buf.size() < un) buf.resize(un);
        std::fill(buf.begin(), buf.begin() + n, 0.0);
        return Vec(buf.data(), n);
    }

    std::vector<double> a_, b_, c_, x_;
    std::vector<double> utest_out_, res_out_;
    std::vector<double> utest2_out_[2];
    int flip_ = 0;
};

}  // namespace pelorin::driver
