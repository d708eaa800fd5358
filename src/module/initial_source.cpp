// get_initial reads its arguments through Python indexing, so that lists
// serve as well as arrays; the arithmetic is the core's.
#include "../solver/initial.hpp"
#include "functions.hpp"

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
        Ref item = own(PyObject_GetItem(a_.obj[13], key.get()));
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
            case InitArg::depth: return 0;
            case InitArg::Cc: return 1;
            case InitArg::Cr: return 2;
            case InitArg::sigvref: return 3;
            case InitArg::esigvref: return 4;
            case InitArg::Gs: return 5;
            case InitArg::qo: return 11;
            case InitArg::dsigv: return 12;
            case InitArg::ocrvoidratiotype: return 13;
            case InitArg::ocrvoidratio: return 14;
            case InitArg::ru: return 15;
            case InitArg::loadfactor: return 17;
            case InitArg::gammaw: return 18;
            case InitArg::pa: return 20;
        }
        return 0;
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
    Ref size = own(PyObject_GetAttrString(a.obj[0], "size"));
    const Py_ssize_t n = PyNumber_AsSsize_t(size.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) pending();
    NewArray sigvo = zeros(module, n), sigvo2 = zeros(module, n), sigvf = zeros(module, n),
             eo = zeros(module, n);
    PyInitialSource src(a);
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
