// The parameter set of a run: the 22 entries that get_inputs returns and
// get_initial takes, in this order.  Named once here; get_inputs builds the
// list by these positions, compute unpacks it by them and get_initial reads
// its arguments by them.
#pragma once

namespace pelorin::py {

enum SetEntry : int {
    kDepth, kCc, kCr, kSigvref, kEsigvref, kGs, kKref, kEkref, kCk, kCa, kTref,  // node arrays
    kQo,                // float
    kDsigv,             // node array
    kOcrvoidratiotype,  // int32 node array
    kOcrvoidratio, kRu, kTime, kLoadfactor,  // float arrays
    kGammaw, kTol, kPa,  // floats
    kDrainagetype,       // int
    kParamCount
};
static_assert(kParamCount == 22, "the parameter set has 22 entries");

// The fourteen soil and loading entries that every run requires, in the
// order of every check made over them: entries kCc .. kOcrvoidratio.
constexpr int kFirstRequired = kCc;
constexpr int kRequiredCount = kOcrvoidratio - kCc + 1;
static_assert(kRequiredCount == 14, "fourteen required keywords");

// Keyword names of the entries (the keyword of each position).
inline constexpr const char* kParamNames[kParamCount] = {
    "depth", "Cc", "Cr", "sigvref", "esigvref", "Gs", "kref", "ekref", "Ck", "Ca", "tref",
    "qo", "dsigv", "ocrvoidratiotype", "ocrvoidratio", "ru", "time", "loadfactor",
    "gammaw", "tol", "pa", "drainagetype",
};

}  // namespace pelorin::py
