// Initial state of the column before any load: effective stress, void ratio,
// stress reduced by the pore-pressure ratio, and stress after the first load
// factor.  The arguments are read element by element through a source, in the
// order the formulas use them, so that a failing read surfaces where it
// happens (the module reads Python objects through it).
#pragma once

#include <cstddef>

#include "../core/interrupt.hpp"
#include "../core/views.hpp"

namespace pelorin::solver {

enum class InitArg {
    depth, Cc, Cr, sigvref, esigvref, Gs, qo, dsigv, ocrvoidratiotype, ocrvoidratio, ru,
    loadfactor, gammaw, pa,
};

class InitialSource {
public:
    virtual ~InitialSource() = default;
    // Element i of a node argument (the index is ignored for qo, gammaw, pa).
    // Throws PyErrorPending (or NumericError) when the read fails.
    virtual double get(InitArg arg, std::ptrdiff_t i) = 0;
    // Print "Invalid ocrvoidratiotype: <code of node i as the caller gave it>".
    virtual void report_invalid_code(std::ptrdiff_t i) = 0;
    // Print "Initial stress did not converge at node <i>".
    virtual void report_no_convergence(std::ptrdiff_t i) = 0;
};

struct InitialOut {
    Vec eo, sigvo, sigvo2, sigvf;  // n entries each, zero-filled
};

// Passes of the stress iteration of one node before it gives up.
constexpr int kInitialMaxPasses = 1000;

// Fills `out` for the n nodes.  Returns false after a report (the module
// function then returns None).
bool get_initial(InitialSource& src, std::ptrdiff_t n, const InitialOut& out);

}  // namespace pelorin::solver
