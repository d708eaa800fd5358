// Collection, defaulting and validation of the keyword arguments of a run.
// Problems the caller can fix are printed on one line and the result is
// None; values that cannot be converted raise.
#include "functions.hpp"
#include "params.hpp"

namespace pelorin::py {

namespace {

// The required keywords, in the order of every check made over them; k
// indexes them from 0, entry kFirstRequired + k of the parameter set.
constexpr int kNRequired = kRequiredCount;
const char* const* const kRequired = kParamNames + kFirstRequired;
constexpr int kQoReq = kQo - kFirstRequired, kCodesReq = kOcrvoidratiotype - kFirstRequired;

class Inputs {
public:
    Inputs(PyObject* module, PyObject* kw) : module_(module), kw_(kw) {}

    PyObject* run();

private:
    // Borrowed value of a keyword, or null when it was not given.
    PyObject* kw(const char* name) {
        Ref key = own(PyUnicode_InternFromString(name));
        PyObject* v = PyDict_GetItemWithError(kw_, key.get());
        if (!v && PyErr_Occurred()) pending();
        return v;
    }
    Ref np_attr(PyObject* attr) {
        Ref np = lookup(module_, names().np);
        return own(PyObject_GetAttr(np.get(), attr));
    }
    // np.<fn>(*args, **kwargs)
    Ref np_call(PyObject* fn, std::initializer_list<PyObject*> args, PyObject* kwargs = nullptr) {
        Ref f = np_attr(fn);
        Ref t = own(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
        Py_ssize_t k = 0;
        for (PyObject* a : args) PyTuple_SET_ITEM(t.get(), k++, Py_NewRef(a));
        return own(PyObject_Call(f.get(), t.get(), kwargs));
    }
    Ref dtype_kw(PyObject* dtype_name) {
        Ref d = own(PyDict_New());
        Ref dt = np_attr(dtype_name);
        if (PyDict_SetItem(d.get(), names().dtype, dt.get()) < 0) pending();
        return d;
    }
    Ref full(PyObject* n, PyObject* value, PyObject* dtype_name) {
        Ref kwargs = dtype_kw(dtype_name);
        return np_call(names().full, {n, value}, kwargs.get());
    }
    bool is_number(PyObject* o) { return PyLong_Check(o) || PyFloat_Check(o); }
    bool is_list_or_array(PyObject* o) {
        if (PyList_Check(o)) return true;
        Ref nd = np_attr(names().ndarray);
        int r = PyObject_IsInstance(o, nd.get());
        if (r < 0) pending();
        return r == 1;
    }
    // The caller's array itself once it has passed the view checks (a
    // buffer that is not an ndarray comes back as an ndarray on the same
    // memory; None as an empty array).
    Ref view_of(PyObject* o, bool ints) {
        if (ints) {
            Held<IVec> h;
            if (!to_ivec(o, &h)) pending();
        } else {
            Held<Vec> h;
            if (!to_vec(o, &h)) pending();
        }
        if (o == Py_None) {
            Ref zero = own(PyLong_FromLong(0));
            Ref kwargs = dtype_kw(ints ? names().int32 : names().float64);
            return np_call(names().zeros, {zero.get()}, kwargs.get());
        }
        Ref nd = np_attr(names().ndarray);
        int r = PyObject_IsInstance(o, nd.get());
        if (r < 0) pending();
        if (r == 1) return Ref::borrow(o);
        // Through a memoryview, so that NumPy views the very buffer that
        // was checked (never a copy made from other array interfaces).
        Ref mv = own(PyMemoryView_FromObject(o));
        return np_call(names().asarray, {mv.get()});
    }
    PyObject* say(const char* text) {
        print_line(text);
        Py_RETURN_NONE;
    }
    PyObject* say(Ref text) {
        print_line(text.get());
        Py_RETURN_NONE;
    }

    PyObject* module_;
    PyObject* kw_;
    Ref soil_[kNRequired];  // the fourteen entries in required order (qo: a float)
    Ref depth_, ru_, time_, loadfactor_;
};

PyObject* Inputs::run() {
    // Presence of every required keyword.
    PyObject* given[kNRequired];
    for (int k = 0; k < kNRequired; ++k) {
        given[k] = kw(kRequired[k]);
        if (!given[k]) return say(own(PyUnicode_FromFormat("You must specify %s", kRequired[k])));
    }

    PyObject* Cc = given[0];
    if (is_number(Cc)) {
        // Uniform soil: every parameter is one number.
        for (int k = 0; k < kNRequired; ++k)
            if (!is_number(given[k]))
                return say(own(PyUnicode_FromFormat("If Cc is a number, %s must also be a number",
                                                    kRequired[k])));
        PyObject* Nobj = kw("N");
        if (!Nobj) return say("you must specify N when using input option 1, uniform soil");
        PyObject* Hobj = kw("H");
        if (!Hobj) return say("you must specify H when using input option 1, uniform soil");
        int N;
        double H;
        {
            Ref asint = own(PyNumber_Long(Nobj));
            if (!to_int(asint.get(), &N)) pending();
        }
        if (!to_double(Hobj, &H)) pending();
        // Sixteen node arrays follow (fourteen parameters, depth and ru).
        if (N >= 0)
            ensure_memory(16.0 * 8.0 * (static_cast<double>(N) + 1.0),
                          "get_inputs: a uniform soil of that many nodes");
        Ref n = own(PyLong_FromLongLong(static_cast<long long>(N) + 1));
        for (int k = 0; k < kNRequired; ++k) {
            if (k == kQoReq) {
                double qo;
                if (!to_double(given[k], &qo)) pending();
                soil_[k] = own(PyFloat_FromDouble(qo));
            } else if (k == kCodesReq) {
                int code;
                if (!to_int(given[k], &code)) pending();
                Ref c = own(PyLong_FromLong(code));
                soil_[k] = full(n.get(), c.get(), names().int32);
            } else {
                soil_[k] = full(n.get(), given[k], names().float64);
            }
        }
        {
            Ref zero = own(PyLong_FromLong(0));
            Ref h = own(PyFloat_FromDouble(H));
            Ref kwargs = own(PyDict_New());
            if (PyDict_SetItem(kwargs.get(), names().num, n.get()) < 0 ||
                PyDict_SetItem(kwargs.get(), names().endpoint, Py_True) < 0)
                pending();
            depth_ = np_call(names().linspace, {zero.get(), h.get()}, kwargs.get());
        }
        if (PyObject* ru = kw("ru"))
            ru_ = full(n.get(), ru, names().float64);
        else
            ru_ = np_call(names().zeros, {n.get()});
    } else if (is_list_or_array(Cc)) {
        // Layered soil: node by node arrays of the caller's.
        const Py_ssize_t len = PyObject_Length(Cc);
        if (len < 0) pending();
        for (int k = 0; k < kNRequired; ++k) {
            if (k == kQoReq) continue;
            const Py_ssize_t lk = PyObject_Length(given[k]);
            if (lk < 0) pending();
            if (lk != len) {
                Ref a = own(PyUnicode_FromFormat(
                    "All vectors must have the same length using input option 2, layered soil. "
                    "Cc has length = %zd",
                    len));
                Ref b = own(PyUnicode_FromFormat(" while %s has length = %zd", kRequired[k], lk));
                Ref pair = own(PyTuple_Pack(2, a.get(), b.get()));
                return say(pair);
            }
        }
        for (int k = 0; k < kNRequired; ++k) {
            if (k == kQoReq) {
                double qo;
                if (!to_double(given[k], &qo)) pending();
                soil_[k] = own(PyFloat_FromDouble(qo));
            } else {
                soil_[k] = view_of(given[k], k == kCodesReq);
            }
        }
        PyObject* depth = kw("depth");
        if (!depth) return say("You must specify depth if you specify Cc as a list or array.");
        depth_ = view_of(depth, false);
        if (PyObject* ru = kw("ru")) {
            if (!is_list_or_array(ru)) return say("If Cc is a number, ru must also be a number");
            ru_ = view_of(ru, false);
        } else {
            PyObject* N = kw("N");
            if (!N) {
                PyErr_SetObject(PyExc_KeyError, names().N);
                pending();
            }
            Ref one = own(PyLong_FromLong(1));
            Ref n = own(PyNumber_Add(N, one.get()));
            ru_ = np_call(names().zeros, {n.get()});
        }
    } else {
        return say("Cc must be either a scalar, list, or np.ndarray");
    }

    // Loading history.
    if (PyObject* Ntime = kw("Ntime")) {
        PyObject* tmax = kw("tmax");
        if (!tmax) return say("You must specify tmax if you specify Ntime");
        if (PyIndex_Check(Ntime)) {
            // The grid and its load factors, with the grid's temporaries.
            const Py_ssize_t n = PyNumber_AsSsize_t(Ntime, nullptr);
            if (n == -1 && PyErr_Occurred()) PyErr_Clear();  // NumPy reports it below
            if (n > 0) ensure_memory(4.0 * 8.0 * static_cast<double>(n),
                                     "get_inputs: a history of that many times");
        }
        Ref hi = np_call(names().log10, {tmax});
        Ref five = own(PyLong_FromLong(5));
        Ref lo = own(PyNumber_Subtract(hi.get(), five.get()));
        Ref kwargs = own(PyDict_New());
        if (PyDict_SetItem(kwargs.get(), names().num, Ntime) < 0) pending();
        time_ = np_call(names().logspace, {lo.get(), hi.get()}, kwargs.get());
        Ref one = own(PyFloat_FromDouble(1.0));
        loadfactor_ = full(Ntime, one.get(), names().float64);
    } else if (PyObject* time = kw("time")) {
        PyObject* lf = kw("loadfactor");
        if (!lf) return say("You must specify loadfactor if you specify time");
        const Py_ssize_t lt = PyObject_Length(time);
        if (lt < 0) pending();
        const Py_ssize_t ll = PyObject_Length(lf);
        if (ll < 0) pending();
        if (lt != ll)
            return say(own(PyUnicode_FromFormat(
                "time and loadfactor must have the same length. Currently time has length = "
                "%zdand loadfactor has length = %zd",
                lt, ll)));
        time_ = view_of(time, false);
        loadfactor_ = view_of(lf, false);
    } else {
        return say("You must specify either Ntime and tmax, or time and loadfactor");
    }

    // Optional scalars.
    double gammaw = 9.81, tol = 1e-8, pa = 101.325;
    int drainagetype = 0;
    if (PyObject* v = kw("gammaw"); v && !to_double(v, &gammaw)) pending();
    if (PyObject* v = kw("tol"); v && !to_double(v, &tol)) pending();
    if (PyObject* v = kw("pa"); v && !to_double(v, &pa)) pending();
    if (PyObject* v = kw("drainagetype")) {
        if (!to_int(v, &drainagetype)) pending();
    } else {
        print_line("drainagetype not specified. Assuming double drainage.");
    }

    Ref out = own(PyList_New(kParamCount));
    auto put = [&](SetEntry k, Ref v) { PyList_SET_ITEM(out.get(), k, v.release()); };
    put(kDepth, depth_);
    for (int k = 0; k < kNRequired; ++k) put(SetEntry(kFirstRequired + k), soil_[k]);
    put(kRu, ru_);
    put(kTime, time_);
    put(kLoadfactor, loadfactor_);
    put(kGammaw, own(PyFloat_FromDouble(gammaw)));
    put(kTol, own(PyFloat_FromDouble(tol)));
    put(kPa, own(PyFloat_FromDouble(pa)));
    put(kDrainagetype, own(PyLong_FromLong(drainagetype)));
    return out.release();
}

}  // namespace

PyObject* get_inputs_body(PyObject* module, PyObject*, PyObject* kwargs) {
    return Inputs(module, kwargs).run();
}

}  // namespace pelorin::py
