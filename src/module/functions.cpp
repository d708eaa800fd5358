// The function table and the bodies of the numerical module functions: each
// binds through the table, makes its result arrays with np.zeros and hands
// plain views to its core.
#include "functions.hpp"
#include "params.hpp"

#include "../driver/max.hpp"
#include "../driver/logspace.hpp"
#include "gil.hpp"

namespace pelorin::py {

namespace {

constexpr Kind D = Kind::Double, I = Kind::Int, A = Kind::Array, O = Kind::Object;

const Param kLogspaceParams[] = {{"tmin", D}, {"tmax", D}, {"Ntime", I}, {"tstart", D}};

PyObject* logspace_body(PyObject* module, Args& a) {
    const double tmin = a.d[0], tmax = a.d[1], tstart = a.d[3];
    const int Ntime = a.i[2];
    inputs::logspace_check(Ntime, tstart);
    NewArray t = zeros(module, Ntime);
    {
        // Only arithmetic from here: a long grid is made without the lock.
        GilRelease gil;
        SignalPoller poller(&gil);
        PollerScope polling(&poller);
        if (Ntime >= 100000) gil.release();
        inputs::logspace_fill(tmin, tmax, Ntime, tstart, t.v());
    }
    return t.obj.release();
}

const Param kKtestParams[] = {{"etest", D}, {"ekref", D}, {"kref", D}, {"Ck", D}};

PyObject* ktest_body(PyObject*, Args& a) {
    return PyFloat_FromDouble(soil::get_ktest(a.d[0], a.d[1], a.d[2], a.d[3]));
}

const Param kAvtestParams[] = {{"elast", D}, {"sigvlast", D}, {"sigvtest", D}, {"eref", D},
                               {"sigvref", D}, {"Cc", D}, {"Cr", D}};

PyObject* avtest_body(PyObject*, Args& a) {
    return PyFloat_FromDouble(
        soil::get_avtest(a.d[0], a.d[1], a.d[2], a.d[3], a.d[4], a.d[5], a.d[6]));
}

const Param kEtestParams[] = {{"etest", D}, {"elast", D},    {"eref", D},     {"alpha", D},
                              {"tref", D},  {"sigvtest", D}, {"sigvlast", D}, {"sigvref", D},
                              {"Cc", D},    {"avtest", D},   {"utest", D},    {"ulast", D},
                              {"dt", D}};

PyObject* etest_body(PyObject*, Args& a) {
    const double* d = a.d;
    return etest_result(soil::get_etest(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8],
                                        d[9], d[10], d[11], d[12]));
}

const Param kResidualParams[] = {
    {"ulast", A},    {"utest", A},    {"elast", A}, {"etest", A},    {"klast", A},
    {"ktest", A},    {"avtest", A},   {"zlast", A}, {"ztest", A},    {"sigvlast", A},
    {"sigvtest", A}, {"gammaw", D},   {"Ca", A},    {"Cc", A},       {"sigvref", A},
    {"esigvref", A}, {"dt", D},       {"tref", A},  {"drainagetype", I}, {"N", I}};

PyObject* residual_body(PyObject* module, Args& a) {
    SignalPoller poller;
    PollerScope polling(&poller);
    solver::ResidualIn in{a.vec(0),  a.vec(1),  a.vec(2),  a.vec(3),  a.vec(4), a.vec(5),
                          a.vec(6),  a.vec(7),  a.vec(8),  a.vec(9),  a.vec(10), a.d[11],
                          a.vec(12), a.vec(13), a.vec(14), a.vec(15), a.d[16], a.vec(17),
                          a.i[18],   a.i[19]};
    return residual_call(module, in).obj.release();
}

const Param kUtest2Params[] = {
    {"N", I},     {"klast", A},    {"ktest", A},    {"zlast", A},   {"ztest", A},
    {"avtest", A}, {"elast", A},   {"etest", A},    {"ulast", A},   {"utest", A},
    {"sigvlast", A}, {"sigvtest", A}, {"Res", A},   {"dt", D},      {"Cc", A},
    {"Cr", A},    {"Ca", A},       {"gammaw", D},   {"ekref", A},   {"kref", A},
    {"Ck", A},    {"tref", A},     {"esigvref", A}, {"sigvref", A}, {"dsigv", A},
    {"drainagetype", I}, {"pa", D}};

PyObject* utest2_body(PyObject* module, Args& a) {
    SignalPoller poller;
    PollerScope polling(&poller);
    solver::Utest2In in{a.i[0],    a.vec(1),  a.vec(2),  a.vec(3),  a.vec(4),  a.vec(5),
                        a.vec(6),  a.vec(7),  a.vec(8),  a.vec(9),  a.vec(10), a.vec(11),
                        a.vec(12), a.d[13],   a.vec(14), a.vec(15), a.vec(16), a.d[17],
                        a.vec(18), a.vec(19), a.vec(20), a.vec(21), a.vec(22), a.vec(23),
                        a.vec(24), a.i[25],   a.d[26]};
    return utest2_call(module, in).obj.release();
}

const Param kUtestParams[] = {
    {"klast", A},    {"ktest", A},  {"avtest", A}, {"zlast", A},   {"ztest", A},
    {"ulast", A},    {"sigvlast", A}, {"sigvtest", A}, {"elast", A}, {"etest", A},
    {"Ca", A},       {"Cc", A},     {"sigvref", A}, {"esigvref", A}, {"dt", D},
    {"tref", A},     {"drainagetype", I}, {"N", I}, {"gammaw", D}};

PyObject* utest_body(PyObject* module, Args& a) {
    SignalPoller poller;
    PollerScope polling(&poller);
    solver::UtestIn in{a.vec(0),  a.vec(1),  a.vec(2),  a.vec(3),  a.vec(4),  a.vec(5),
                       a.vec(6),  a.vec(7),  a.vec(8),  a.vec(9),  a.vec(10), a.vec(11),
                       a.vec(12), a.vec(13), a.d[14],   a.vec(15), a.i[16],   a.i[17],
                       a.d[18]};
    return utest_call(module, in).obj.release();
}

const Param kMaxParams_[] = {{"v", A}};

PyObject* max_body(PyObject* module, PyObject* arg) {
    Held<Vec> v;
    if (!to_vec(arg, &v)) pending();
    if (v.view.len == 0) {
        PyErr_SetString(PyExc_ValueError,
                        "zero-size array to reduction operation maximum which has no identity");
        pending();
    }
    SignalPoller poller;
    PollerScope polling(&poller);
    const double m = driver::max_abs(v.view);
    // The result is the array library's double scalar.
    Ref np = lookup(module, names().np);
    Ref f64 = own(PyObject_GetAttr(np.get(), names().float64));
    Ref value = own(PyFloat_FromDouble(m));
    return own(PyObject_CallOneArg(f64.get(), value.get())).release();
}

// get_initial takes the parameter set itself: its names, every one an object.
struct InitialParams {
    Param p[kParamCount];
    constexpr InitialParams() : p{} {
        for (int k = 0; k < kParamCount; ++k) p[k] = {kParamNames[k], O};
    }
};
constexpr InitialParams kInitialTable{};
constexpr const Param (&kInitialParams)[kParamCount] = kInitialTable.p;

template <class T, int n>
constexpr int count(const T (&)[n]) {
    return n;
}

}  // namespace

NewArray residual_call(PyObject* module, const solver::ResidualIn& in) {
    NewArray r = zeros(module, static_cast<Py_ssize_t>(in.N) + 1);
    solver::get_residual(in, r.v());
    return r;
}

NewArray utest_call(PyObject* module, const solver::UtestIn& in) {
    const Py_ssize_t rows = solver::utest_rows(in.drainagetype, in.N);
    NewArray a = zeros(module, rows), b = zeros(module, rows), c = zeros(module, rows),
             x = zeros(module, rows);
    NewArray uout = zeros(module, static_cast<Py_ssize_t>(in.N) + 1);
    solver::get_utest(in, a.v(), b.v(), c.v(), x.v(), uout.v());
    return uout;
}

NewArray utest2_call(PyObject* module, const solver::Utest2In& in) {
    const Py_ssize_t rows = solver::utest2_rows(in.drainagetype, in.N);
    NewArray a = zeros(module, rows), b = zeros(module, rows), c = zeros(module, rows),
             x = zeros(module, rows);
    NewArray uout = zeros(module, in.utest.len);
    solver::get_utest2(in, a.v(), b.v(), c.v(), x.v(), uout.v());
    return uout;
}

PyObject* etest_result(const soil::EtestResult& r) {
    return r.converged ? PyFloat_FromDouble(r.e) : PyLong_FromLong(-1);
}

#define FIXED(name, params, body) \
    {name, Form::Fixed, params, count(params), __LINE__, __FILE__, body, nullptr, nullptr}

const FuncSpec kFunctions[] = {
    {"get_inputs", Form::Collect, nullptr, 0, __LINE__, __FILE__, nullptr, get_inputs_body, nullptr},
    FIXED("Logspace", kLogspaceParams, logspace_body),
    FIXED("get_ktest", kKtestParams, ktest_body),
    FIXED("get_avtest", kAvtestParams, avtest_body),
    FIXED("get_etest", kEtestParams, etest_body),
    FIXED("get_residual", kResidualParams, residual_body),
    FIXED("get_utest2", kUtest2Params, utest2_body),
    FIXED("get_utest", kUtestParams, utest_body),
    {"Max", Form::One, kMaxParams_, 1, __LINE__, __FILE__, nullptr, nullptr, max_body},
    FIXED("get_initial", kInitialParams, get_initial_body),
    {"compute", Form::Collect, nullptr, 0, __LINE__, __FILE__, nullptr, compute_body, nullptr},
};
const int kFunctionCount = sizeof(kFunctions) / sizeof(kFunctions[0]);
static_assert(sizeof(kFunctions) / sizeof(kFunctions[0]) == 11, "eleven module functions");

}  // namespace pelorin::py
