// get_initial reads its arguments through Python indexing, so that lists
// serve as well as arrays; the arithmetic is the core's.
#include "../solver/initial.hpp"
#include "functions.hpp"
#include "gil.hpp"
#include "params.hpp"

namespace pelorin::py {

namespace {

class PyInitialSource final : public solver::InitialSource {
public:
    explicit PyInitialSource(const Args& a) : a_(a) {}

    double get(solver::InitArg arg, std::ptrdiff_t i) override {
        using solver::InitArg;
        PyObject* o = a_.obj[index_of(arg)];
        if (arg == InitArg::qo || arg == InitArg::gammaw || arg == InitArg::pa)
            return number(o);
        Ref key = own(PyLong_FromSsize_t(i));
        Ref item = own(PyObject_GetItem(o, key.get()));
        return number(item.get());
    }

    void report_invalid_code(std::ptrdiff_t i) override {
        Ref key = own(PyLong_FromSsize_t(i));
        Ref item = own(PyObject_GetItem(a_.obj[kOcrvoidratiotype], key.get()));
        Ref text = own(PyUnicode_FromFormat("Invalid ocrvoidratiotype: %S", item.get()));
        print_line(text.get());
    }

    void report_no_convergence(std::ptrdiff_t i) override {
        Ref text = own(PyUnicode_FromFormat("Initial stress did not converge at node %zd", i));
        print_line(text.get());
    }

private:
    static int index_of(solver::InitArg arg) {
        using solver::InitArg;
        switch (arg) {
            case InitArg::depth: return kDepth;
            case InitArg::Cc: return kCc;
            case InitArg::Cr: return kCr;
            case InitArg::sigvref: return kSigvref;
            case InitArg::esigvref: return kEsigvref;
            case InitArg::Gs: return kGs;
            case InitArg::qo: return kQo;
            case InitArg::dsigv: return kDsigv;
            case InitArg::ocrvoidratiotype: return kOcrvoidratiotype;
            case InitArg::ocrvoidratio: return kOcrvoidratio;
            case InitArg::ru: return kRu;
            case InitArg::loadfactor: return kLoadfactor;
            case InitArg::gammaw: return kGammaw;
            case InitArg::pa: return kPa;
        }
        return kDepth;
    }

    // An element as a number: floats directly, other numbers through their
    // float conversion (a non-number fails there with TypeError).
    static double number(PyObject* o) {
        double d;
        if (!to_double(o, &d)) pending();
        return d;
    }

    const Args& a_;
};

}  // namespace

PyObject* get_initial_body(PyObject* module, Args& a) {
    Ref size = own(PyObject_GetAttrString(a.obj[kDepth], "size"));
    const Py_ssize_t n = PyNumber_AsSsize_t(size.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) pending();
    ensure_memory(4.0 * 8.0 * static_cast<double>(n), "get_initial: that many nodes");
    NewArray sigvo = zeros(module, n), sigvo2 = zeros(module, n), sigvf = zeros(module, n),
             eo = zeros(module, n);
    PyInitialSource src(a);
    SignalPoller poller;
    PollerScope polling(&poller);
    if (!solver::get_initial(src, n, {eo.v(), sigvo.v(), sigvo2.v(), sigvf.v()}))
        Py_RETURN_NONE;
    Ref d = own(PyDict_New());
    const Names& k = names();
    if (PyDict_SetItem(d.get(), k.eo, eo.obj.get()) < 0 ||
        PyDict_SetItem(d.get(), k.sigvo, sigvo.obj.get()) < 0 ||
        PyDict_SetItem(d.get(), k.sigvo2, sigvo2.obj.get()) < 0 ||
        PyDict_SetItem(d.get(), k.sigvf, sigvf.obj.get()) < 0)
        pending();
    return d.release();
}

}  // namespace pelorin::py
