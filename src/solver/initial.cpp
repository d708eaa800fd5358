// Initial state of the column: the effective stress grows downward from the
// applied load by the submerged weight of each element, and the void ratio of
// a node follows from its stress history.  Because an element's weight
// depends on the void ratios of its two nodes, a node whose void ratio is not
// given directly is found by a fixed-point iteration on its stress.
//
// Every argument element is read through the source where a formula uses it,
// so a failing read (a short array, a non-number) surfaces at that point.  The
// divisions are those of the interpreter's floats (hdiv).
#include <cmath>
#include <cstddef>

#include "../core/errors.hpp"
#include "initial.hpp"

namespace pelorin::solver {
namespace {

using Index = std::ptrdiff_t;

enum class Code { OCR, VoidRatio, Preconsolidation, Invalid };

Code classify(double code) {
    if (code == 0) return Code::OCR;
    if (code == 1) return Code::VoidRatio;
    if (code == 2) return Code::Preconsolidation;
    return Code::Invalid;
}

// Void ratio of node i at effective stress s, for an overconsolidation ratio
// (code 0) or a preconsolidation stress (code 2): on the compression line at
// the preconsolidation stress, then back along the swelling line.
double void_ratio(InitialSource& src, Index i, Code code, double s) {
    const double er = src.get(InitArg::esigvref, i);
    const double cc = src.get(InitArg::Cc, i);
    if (code == Code::OCR) {
        const double ocr = src.get(InitArg::ocrvoidratio, i);
        const double t = hdiv(ocr * s, src.get(InitArg::sigvref, i));
        const double e = er - cc * std::log10(t);
        const double cr = src.get(InitArg::Cr, i);
        return e + cr * std::log10(src.get(InitArg::ocrvoidratio, i));
    }
    const double pc = src.get(InitArg::ocrvoidratio, i);
    const double t = hdiv(pc, src.get(InitArg::sigvref, i));
    const double e = er - cc * std::log10(t);
    const double cr = src.get(InitArg::Cr, i);
    return e + cr * std::log10(hdiv(src.get(InitArg::ocrvoidratio, i), s));
}

// Submerged weight of the element above node i per unit of (1 + mean void
// ratio): (Gs - 1) gammaw dz.
double submerged_weight(InitialSource& src, Index i, double dz) {
    const double gs = src.get(InitArg::Gs, i);
    return (gs - 1) * src.get(InitArg::gammaw, i) * dz;
}

// Stress of node i implied by the weight of the element above it, for a
// trial void ratio eotest of the node.
double weight_increment(InitialSource& src, Index i, double dz, double eotest, double eo_above) {
    const double sw = submerged_weight(src, i, dz);
    return hdiv(sw, 1 + 0.5 * (eotest + eo_above));
}

}  // namespace

bool get_initial(InitialSource& src, std::ptrdiff_t n, const InitialOut& out) {
    // Top node: the applied load is the effective stress.
    out.sigvo[0] = src.get(InitArg::qo, 0);
    {
        const double qo = src.get(InitArg::qo, 0);
        out.sigvo2[0] = qo * (1 - src.get(InitArg::ru, 0));
    }
    {
        const double qo = src.get(InitArg::qo, 0);
        const double ds = src.get(InitArg::dsigv, 0);
        out.sigvf[0] = qo + ds * src.get(InitArg::loadfactor, 0);
    }
    {
        const Code code = classify(src.get(InitArg::ocrvoidratiotype, 0));
        if (code == Code::Invalid) {
            src.report_invalid_code(0);
            return false;
        }
        if (code == Code::VoidRatio) {
            out.eo[0] = src.get(InitArg::ocrvoidratio, 0);
        } else if (code == Code::OCR) {
            out.eo[0] = void_ratio(src, 0, code, src.get(InitArg::qo, 0));
        } else {
            out.eo[0] = void_ratio(src, 0, code, out.sigvo[0]);
        }
    }

    for (Index i = 1; i < n; ++i) {
        interrupt_point(i);
        const double d_i = src.get(InitArg::depth, i);
        const double dz = d_i - src.get(InitArg::depth, i - 1);

        // First trial from the void ratio of the node above alone.
        const double s_above = out.sigvo[i - 1];
        const double gs = src.get(InitArg::Gs, i);
        const double per_void = hdiv(gs - 1, out.eo[i - 1] + 1);
        double sigvotest = s_above + per_void * src.get(InitArg::gammaw, i) * dz;

        const Code code = classify(src.get(InitArg::ocrvoidratiotype, i));
        if (code == Code::Invalid) {
            src.report_invalid_code(i);
            return false;
        }
        if (code == Code::VoidRatio) {
            out.eo[i] = src.get(InitArg::ocrvoidratio, i);
            const double g = src.get(InitArg::Gs, i);
            double w = (g - 1) * dz * src.get(InitArg::gammaw, i);
            w = hdiv(w, (out.eo[i - 1] + out.eo[i]) * 0.5 + 1);
            out.sigvo[i] = out.sigvo[i - 1] + w;
        } else {
            // Fixed point: the stress of the node is that of the node above
            // plus the weight of the element, whose void ratio is the mean of
            // the two nodes'.
            double eotest = void_ratio(src, i, code, sigvotest);
            double res = (sigvotest - out.sigvo[i - 1]) -
                         weight_increment(src, i, dz, eotest, out.eo[i - 1]);
            int passes = 0;
            while (std::fabs(res) > 1e-10 * src.get(InitArg::pa, i)) {
                // A map that does not contract would cycle for ever.
                if (passes == kInitialMaxPasses) {
                    src.report_no_convergence(i);
                    return false;
                }
                sigvotest = out.sigvo[i - 1] + weight_increment(src, i, dz, eotest, out.eo[i - 1]);
                eotest = void_ratio(src, i, code, sigvotest);
                res = (sigvotest - out.sigvo[i - 1]) -
                      weight_increment(src, i, dz, eotest, out.eo[i - 1]);
                ++passes;
            }
            out.sigvo[i] = sigvotest;
            out.eo[i] = eotest;
        }

        out.sigvo2[i] = out.sigvo[i] * (1 - src.get(InitArg::ru, i));
        const double ds = src.get(InitArg::dsigv, i);
        out.sigvf[i] = out.sigvo[i] + ds * src.get(InitArg::loadfactor, 0);
    }
    return true;
}

}  // namespace pelorin::solver
