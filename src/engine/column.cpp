// Initial state of a column: the solids height of every element and the
// stresses at the element centres and the nodes.
//
// The effective stress at solids height xi below the top is exactly
// qo + sum over the solids above of (Gs - 1) gammaw dxi.  An element's solids
// height S_c = dz_c / (1 + e_c) takes the void ratio at the stress of its
// centre, which itself depends on S_c: a short fixed-point iteration, element
// by element from the top.  Stresses at the centres stay positive with
// qo = 0 as long as the soil has weight (Gs > 1).
#include <cmath>
#include <string>

#include "engine.hpp"

namespace pelorin::engine {

namespace {

std::string at(int c) {
    return "element " + std::to_string(c) + " (nodes " + std::to_string(c) + " and " +
           std::to_string(c + 1) + ")";
}

// Void ratio of element c at effective stress s from its stress history.
double history_e(const ColumnInput& in, int c, double s) {
    const Material& m = in.mat[c];
    const double v = in.hist_value[c];
    switch (in.hist_type[c]) {
        case 0: return m.esigvref - m.Cc * std::log10(v * s / m.sigvref) + m.Cr * std::log10(v);
        case 1: return v;
        default: return m.esigvref - m.Cc * std::log10(v / m.sigvref) + m.Cr * std::log10(v / s);
    }
}

}  // namespace

Column prepare(const ColumnInput& in) {
    const int N = static_cast<int>(in.depth.size()) - 1;
    if (N < 1) throw InputError("depth", 0, "the column needs at least two nodes (one element)");
    for (int i = 0; i <= N; ++i) {
        if (!std::isfinite(in.depth[i]))
            throw InputError("depth", i, "depth is not finite at node " + std::to_string(i));
        if (i > 0 && !(in.depth[i] > in.depth[i - 1]))
            throw InputError("depth", i,
                             "depth must increase strictly: node " + std::to_string(i) + " at " +
                                 std::to_string(in.depth[i]) + " m is not below node " +
                                 std::to_string(i - 1));
    }
    if (!(in.gammaw > 0.0) || !std::isfinite(in.gammaw))
        throw InputError("gammaw", -1, "gammaw must be positive");
    if (in.drainage < 0 || in.drainage > 2)
        throw InputError("drainagetype", -1,
                         "drainagetype must be 0 (both ends), 1 (top) or 2 (bottom), not " +
                             std::to_string(in.drainage));
    if (!(in.qo >= 0.0) || !std::isfinite(in.qo))
        throw InputError("qo", 0, "qo must be a finite stress >= 0");

    const auto n = static_cast<size_t>(N);
    if (in.mat.size() != n || in.Gs.size() != n || in.dsigv.size() != n || in.ru.size() != n ||
        in.hist_type.size() != n || in.hist_value.size() != n)
        throw InputError("depth", -1, "every element property needs one value per element");
    for (int c = 0; c < N; ++c) {
        const Material& m = in.mat[c];
        auto need = [&](bool ok, const char* name, const char* what) {
            if (!ok) throw InputError(name, c, std::string(name) + " " + what + " in " + at(c));
        };
        need(std::isfinite(m.Cr) && m.Cr > 0.0, "Cr", "must be positive");
        need(std::isfinite(m.Cc) && m.Cc > m.Cr, "Cc", "must be larger than Cr");
        need(std::isfinite(m.sigvref) && m.sigvref > 0.0, "sigvref", "must be positive");
        need(std::isfinite(m.esigvref), "esigvref", "must be finite");
        need(std::isfinite(m.kref) && m.kref > 0.0, "kref", "must be positive");
        need(std::isfinite(m.ekref), "ekref", "must be finite");
        need(std::isfinite(m.Ck) && m.Ck > 0.0, "Ck", "must be positive");
        need(std::isfinite(m.Ca) && m.Ca >= 0.0, "Ca", "must be >= 0");
        need(std::isfinite(m.tref) && m.tref > 0.0, "tref", "must be positive");
        need(std::isfinite(in.Gs[c]) && in.Gs[c] > 0.0, "Gs", "must be positive");
        need(std::isfinite(in.dsigv[c]), "dsigv", "must be finite");
        const int t = in.hist_type[c];
        need(t == 0 || t == 1 || t == 2, "ocrvoidratiotype", "must be 0, 1 or 2");
        const double v = in.hist_value[c];
        need(std::isfinite(v) && v > 0.0, "ocrvoidratio", "must be positive");
        need(t != 0 || !in.check_history || v >= 1.0, "ocrvoidratio",
             "(an overconsolidation ratio) must be >= 1");
    }

    Column col;
    col.N = N;
    col.mat = in.mat;
    col.gammaw = in.gammaw;
    col.drainage = in.drainage;
    check_drains(in.drains, N);
    col.drains = in.drains;
    col.depth = in.depth;
    col.dsigv = in.dsigv;
    col.ru = in.ru;
    for (const Material& m : in.mat) col.ln_tref.push_back(std::log(m.tref));
    col.S.resize(N);
    col.sigma0.resize(N);
    col.e0.resize(N);
    col.sig_node.resize(N + 1);
    col.useep.assign(N, 0.0);
    col.node_useep.assign(N + 1, 0.0);

    const bool top_drained = in.drainage == 0 || in.drainage == 1;
    const bool bottom_drained = in.drainage == 0 || in.drainage == 2;
    if ((in.initial_top_set && !top_drained) || (in.initial_bottom_set && !bottom_drained))
        throw InputError("initial_boundary", -1,
                         std::string("initial_boundary: the ") +
                             (in.initial_top_set && !top_drained ? "top" : "bottom") +
                             " is sealed: no pore pressure can be held there");
    if ((in.initial_top_set && !std::isfinite(in.initial_top)) ||
        (in.initial_bottom_set && !std::isfinite(in.initial_bottom)))
        throw InputError("initial_boundary", -1, "initial_boundary values must be finite");
    col.u0_top = in.initial_top_set ? in.initial_top : 0.0;
    col.u0_bottom = in.initial_bottom_set ? in.initial_bottom : 0.0;
    col.seepage = in.initial_top_set || in.initial_bottom_set;

    // The column at the seepage pore pressures col.useep: element by element
    // from the top, the solids height and the stresses; false once converged
    // (the solids heights no longer change).
    auto stack = [&]() {
        col.sig_node[0] = in.qo - col.node_useep[0];
        double top = in.qo;  // hydrostatic effective stress (water at the top)
        for (int c = 0; c < N; ++c) {
            const double w = (in.Gs[c] - 1.0) * in.gammaw;
            const double dz = in.depth[c + 1] - in.depth[c];
            const double us = col.useep[c];
            double S = dz / 2.0, s = 0.0, e = 1.0;
            bool done = false;
            for (int it = 0; it < 500 && !done; ++it) {
                s = top + w * S / 2.0 - us;
                if (!(s > 0.0)) {
                    if (col.seepage && top + w * S / 2.0 > 0.0)
                        throw InputError("initial_boundary", c,
                                         "the seepage of initial_boundary leaves no positive "
                                         "initial effective stress at the centre of " + at(c));
                    throw InputError("qo", c,
                                     "the initial effective stress is not positive at the centre of " +
                                         at(c) + ": give qo > 0, or soil with Gs > 1");
                }
                e = history_e(in, c, s);
                if (!(e > 0.0) || !std::isfinite(e))
                    throw InputError("ocrvoidratio", c,
                                     "the initial void ratio is not positive in " + at(c));
                const double Sn = dz / (1.0 + e);
                done = std::fabs(Sn - S) <= 1e-14 * Sn || in.hist_type[c] == 1;
                S = Sn;
            }
            if (!done)
                throw InputError("depth", c, "the initial stress does not converge in " + at(c));
            s = top + w * S / 2.0 - us;
            e = history_e(in, c, s);
            col.S[c] = S;
            col.sigma0[c] = s;
            col.e0[c] = e;
            top += w * S;
            col.sig_node[c + 1] = top - col.node_useep[c + 1];
            if (!(top >= 0.0))
                throw InputError("Gs", c + 1,
                                 "the initial effective stress is negative at node " +
                                     std::to_string(c + 1) + " (Gs below 1)");
            if (!(col.sig_node[c + 1] >= 0.0))
                throw InputError("initial_boundary", c,
                                 "the seepage of initial_boundary leaves a negative initial "
                                 "effective stress at node " + std::to_string(c + 1));
        }
        if (!(col.sig_node[0] >= 0.0))
            throw InputError("initial_boundary", 0,
                             "the pore pressure initial_boundary holds at the top exceeds qo: "
                             "negative effective stress at node 0");
    };
    stack();
    if (col.seepage) {
        // Steady seepage: one flux through the whole column, so the pore
        // pressure falls from one end to the other by each element's share of
        // the resistance, (1 + e) dxi / k(e) (gammaw aside), linearly within
        // an element: the steady state of the engine's own discrete fluxes
        // (half-cell conductances in series).  With one end drained there is
        // no flow and the pore pressure is that end's throughout.  The void
        // ratios depend on the effective stress, hence on the seepage: a
        // fixed-point (Picard) iteration, column and seepage in turn, until
        // the pore pressures change by no more than 1e-13 of their range; the
        // resistances depend on the pore pressures only through k(e) and
        // 1 + e, weakly, so it contracts within a few passes.
        const double range = std::fabs(col.u0_top) + std::fabs(col.u0_bottom);
        std::vector<double> r(N);
        bool converged = range == 0.0;
        for (int it = 0; it < 200 && !converged; ++it) {
            double Rt = 0.0;
            for (int c = 0; c < N; ++c) {
                r[c] = col.S[c] * (1.0 + col.e0[c]) / col.mat[c].k(col.e0[c]);
                Rt += r[c];
            }
            double change = 0.0, R = 0.0;
            auto at_share = [&](double x) {
                if (in.drainage == 1) return col.u0_top;
                if (in.drainage == 2) return col.u0_bottom;
                return col.u0_top + (col.u0_bottom - col.u0_top) * (x / Rt);
            };
            for (int c = 0; c < N; ++c) {
                const double uc = at_share(R + 0.5 * r[c]);
                change = std::max(change, std::fabs(uc - col.useep[c]));
                col.useep[c] = uc;
                col.node_useep[c] = at_share(R);
                R += r[c];
            }
            col.node_useep[0] = in.drainage == 2 ? col.u0_bottom : col.u0_top;
            col.node_useep[N] = in.drainage == 1 ? col.u0_top : col.u0_bottom;
            stack();
            converged = change <= 1e-13 * range;
        }
        if (!converged)
            throw InputError("initial_boundary", -1,
                             "the steady seepage of initial_boundary does not converge");
    }
    for (int c = 0; c < N; ++c) {
        const Material& m = col.mat[c];
        const double s = col.sigma0[c], e = col.e0[c];
        if (in.check_history && m.e_of(m.P(s), s) < e - 1e-9 * (1.0 + std::fabs(e)))
            throw InputError("ocrvoidratio", c,
                             "the initial void ratio " + std::to_string(e) +
                                 " lies above the normal compression line in " + at(c));
        if (!(in.ru[c] < 1.0) || !std::isfinite(in.ru[c]))
            throw InputError("ru", c, "ru must be below 1 in " + at(c));
    }

    // Node values of the load and of ru: given, or from the adjacent elements.
    auto to_nodes = [&](const std::vector<double>& given, const std::vector<double>& el) {
        if (static_cast<int>(given.size()) == N + 1) return given;
        std::vector<double> v(N + 1);
        v[0] = el[0];
        v[N] = el[N - 1];
        for (int i = 1; i < N; ++i) v[i] = 0.5 * (el[i - 1] + el[i]);
        return v;
    };
    col.node_dsigv = to_nodes(in.node_dsigv, in.dsigv);
    col.node_ru = to_nodes(in.node_ru, in.ru);
    return col;
}

}  // namespace pelorin::engine
