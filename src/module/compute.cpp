// compute: the set-up of a run from its keyword arguments, and the bridge
// through which the run calls the module's functions.
//
// A run calls every function through the module namespace, as a Python
// caller would.  When the name is bound to the module's own function object
// the core is called directly with the same values: the behaviour is the
// same (errors and traceback entries included) without boxing or binding.
// Within a node-by-node pass no Python code runs when all of its per-node
// functions are the module's own, so they are looked up once per pass then.
#include <vector>

#include "../driver/max.hpp"
#include "../driver/run.hpp"
#include "functions.hpp"
#include "params.hpp"

namespace pelorin::py {

namespace {

constexpr int kParams = kParamCount;

// Runs a core on behalf of a callee: a core error becomes the Python
// exception with the callee's traceback entry, then surfaces in compute at
// `line`.
template <class F>
auto as_callee(const char* callee, int line, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const NumericError& e) {
        set_error(e);
        add_traceback(callee, e.file, e.line);
        throw PyErrorPending{__FILE__, line};
    } catch (const PyErrorPending& e) {
        add_traceback(callee, e.file, e.line);
        throw PyErrorPending{__FILE__, line};
    }
}

bool is_own(PyObject* f, Fn fn) { return spec_of(f) == &kFunctions[fn]; }

class ModuleCalls final : public driver::Calls {
public:
    explicit ModuleCalls(PyObject* module) : module_(module) {}

    // Python objects behind the views the run passes, for calls of functions
    // that are not the module's own.
    void expose(const Vec& v, PyObject* o) { objects_.push_back({v.data, v.len, v.stride, o}); }

    void begin_node_pass() override {
        const Names& k = names();
        Ref av = lookup(module_, k.get_avtest);
        Ref et = lookup(module_, k.get_etest);
        Ref kt = lookup(module_, k.get_ktest);
        direct_nodes_ = is_own(av.get(), kGetAvtest) && is_own(et.get(), kGetEtest) &&
                        is_own(kt.get(), kGetKtest);
    }

    double avtest(double elast, double sigvlast, double sigvtest, double eref, double sigvref,
                  double Cc, double Cr) override {
        return node_call(kGetAvtest, names().get_avtest, __LINE__,
                         [&] { return soil::get_avtest(elast, sigvlast, sigvtest, eref, sigvref,
                                                       Cc, Cr); },
                         {elast, sigvlast, sigvtest, eref, sigvref, Cc, Cr});
    }

    double etest(double etest, double elast, double eref, double alpha, double tref,
                 double sigvtest, double sigvlast, double sigvref, double Cc, double avtest,
                 double utest, double ulast, double dt) override {
        auto core = [&] {
            soil::EtestResult r = soil::get_etest(etest, elast, eref, alpha, tref, sigvtest,
                                                  sigvlast, sigvref, Cc, avtest, utest, ulast, dt);
            return r.converged ? r.e : -1.0;
        };
        return node_call(kGetEtest, names().get_etest, __LINE__, core,
                         {etest, elast, eref, alpha, tref, sigvtest, sigvlast, sigvref, Cc,
                          avtest, utest, ulast, dt});
    }

    double ktest(double etest, double ekref, double kref, double Ck) override {
        return node_call(kGetKtest, names().get_ktest, __LINE__,
                         [&] { return soil::get_ktest(etest, ekref, kref, Ck); },
                         {etest, ekref, kref, Ck});
    }

    Vec utest(const solver::UtestIn& in) override {
        Ref f = lookup(module_, names().get_utest);
        if (is_own(f.get(), kGetUtest)) {
            utest_ = as_callee("get_utest", __LINE__, [&] { return utest_call(module_, in); });
            return utest_.v();
        }
        Ref ints[2] = {own(PyLong_FromLong(in.drainagetype)), own(PyLong_FromLong(in.N))};
        Ref fl[2] = {own(PyFloat_FromDouble(in.dt)), own(PyFloat_FromDouble(in.gammaw))};
        PyObject* argv[] = {obj(in.klast), obj(in.ktest), obj(in.avtest), obj(in.zlast),
                            obj(in.ztest), obj(in.ulast), obj(in.sigvlast), obj(in.sigvtest),
                            obj(in.elast), obj(in.etest), obj(in.Ca), obj(in.Cc),
                            obj(in.sigvref), obj(in.esigvref), fl[0].get(), obj(in.tref),
                            ints[0].get(), ints[1].get(), fl[1].get()};
        return call_array(f.get(), argv, 19, &utest_);
    }

    Vec residual(const solver::ResidualIn& in) override {
        Ref f = lookup(module_, names().get_residual);
        if (is_own(f.get(), kGetResidual)) {
            res_ = as_callee("get_residual", __LINE__, [&] { return residual_call(module_, in); });
            return res_.v();
        }
        Ref ints[2] = {own(PyLong_FromLong(in.drainagetype)), own(PyLong_FromLong(in.N))};
        Ref fl[2] = {own(PyFloat_FromDouble(in.gammaw)), own(PyFloat_FromDouble(in.dt))};
        PyObject* argv[] = {obj(in.ulast), obj(in.utest), obj(in.elast), obj(in.etest),
                            obj(in.klast), obj(in.ktest), obj(in.avtest), obj(in.zlast),
                            obj(in.ztest), obj(in.sigvlast), obj(in.sigvtest), fl[0].get(),
                            obj(in.Ca), obj(in.Cc), obj(in.sigvref), obj(in.esigvref),
                            fl[1].get(), obj(in.tref), ints[0].get(), ints[1].get()};
        return call_array(f.get(), argv, 20, &res_);
    }

    Vec utest2(const solver::Utest2In& in) override {
        Ref f = lookup(module_, names().get_utest2);
        if (is_own(f.get(), kGetUtest2)) {
            utest_ = as_callee("get_utest2", __LINE__, [&] { return utest2_call(module_, in); });
            return utest_.v();
        }
        Ref ints[2] = {own(PyLong_FromLong(in.N)), own(PyLong_FromLong(in.drainagetype))};
        Ref fl[3] = {own(PyFloat_FromDouble(in.dt)), own(PyFloat_FromDouble(in.gammaw)),
                     own(PyFloat_FromDouble(in.pa))};
        PyObject* argv[] = {ints[0].get(), obj(in.klast), obj(in.ktest), obj(in.zlast),
                            obj(in.ztest), obj(in.avtest), obj(in.elast), obj(in.etest),
                            obj(in.ulast), obj(in.utest), obj(in.sigvlast), obj(in.sigvtest),
                            obj(in.Res), fl[0].get(), obj(in.Cc), obj(in.Cr), obj(in.Ca),
                            fl[1].get(), obj(in.ekref), obj(in.kref), obj(in.Ck), obj(in.tref),
                            obj(in.esigvref), obj(in.sigvref), obj(in.dsigv), ints[1].get(),
                            fl[2].get()};
        return call_array(f.get(), argv, 27, &utest_);
    }

    double max(Vec v) override {
        Ref f = lookup(module_, names().Max);
        if (is_own(f.get(), kMax)) {
            return as_callee("Max", __LINE__, [&] {
                if (v.len == 0) {
                    PyErr_SetString(PyExc_ValueError, "zero-size array to reduction operation "
                                                      "maximum which has no identity");
                    pending();
                }
                return driver::max_abs(v);
            });
        }
        Ref r = own(PyObject_CallOneArg(f.get(), obj(v)));
        double d;
        if (!to_double(r.get(), &d)) pending();
        return d;
    }

    void report_no_convergence(int j, int count) override {
        Ref text = own(PyUnicode_FromFormat("ERROR! Increment %d did not converge in %d iterations.",
                                            j, count));
        print_line(text.get());
    }

private:
    // A per-node relation: the core directly when the pass found all of them
    // to be the module's own, else looked up now and called directly or
    // through Python.
    template <class Core>
    double node_call(Fn fn, PyObject* name, int line, Core core,
                     std::initializer_list<double> values) {
        const char* callee = kFunctions[fn].name;
        if (direct_nodes_) return as_callee(callee, line, core);
        Ref f = lookup(module_, name);
        if (is_own(f.get(), fn)) return as_callee(callee, line, core);
        return call_doubles(f.get(), values);
    }

    struct Exposed {
        char* data;
        std::ptrdiff_t len, stride;
        PyObject* obj;
    };

    PyObject* obj(const Vec& v) {
        for (const Exposed& x : objects_)
            if (x.data == v.data && x.len == v.len && x.stride == v.stride) return x.obj;
        if (utest_.obj && same(v, utest_.held.view)) return utest_.obj.get();
        if (res_.obj && same(v, res_.held.view)) return res_.obj.get();
        PyErr_SetString(PyExc_SystemError, "compute: array without an object");
        pending();
    }
    static bool same(const Vec& a, const Vec& b) {
        return a.data == b.data && a.len == b.len && a.stride == b.stride;
    }

    double call_doubles(PyObject* f, std::initializer_list<double> values) {
        Ref boxed[13];
        PyObject* argv[13];
        std::size_t k = 0;
        for (double v : values) {
            boxed[k] = own(PyFloat_FromDouble(v));
            argv[k] = boxed[k].get();
            ++k;
        }
        Ref r = own(PyObject_Vectorcall(f, argv, k, nullptr));
        double d;
        if (!to_double(r.get(), &d)) pending();
        return d;
    }

    // Calls f and keeps its result, viewed as a node array, in *slot.
    Vec call_array(PyObject* f, PyObject* const* argv, std::size_t n, NewArray* slot) {
        NewArray r;
        r.obj = own(PyObject_Vectorcall(f, argv, n, nullptr));
        if (!to_vec(r.obj.get(), &r.held)) pending();
        *slot = std::move(r);
        return slot->v();
    }

    PyObject* module_;
    bool direct_nodes_ = false;
    std::vector<Exposed> objects_;
    NewArray utest_, res_;
};

// Unpacks exactly n entries of an iterable, as a tuple assignment does.
void unpack(PyObject* seq, Ref* out, Py_ssize_t n) {
    Ref it(PyObject_GetIter(seq));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(seq)->tp_name);
        }
        pending();
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
        out[k] = Ref(PyIter_Next(it.get()));
        if (!out[k]) {
            if (PyErr_Occurred()) pending();
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", k,
                         k == 1 ? "" : "s");
            pending();
        }
    }
    Ref extra(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        pending();
    }
    if (PyErr_Occurred()) pending();
}

Vec vec_of(PyObject* o, Held<Vec>* h) {
    if (!to_vec(o, h)) pending();
    return h->view;
}

}  // namespace

PyObject* compute_body(PyObject* module, PyObject* args, PyObject* kwargs) {
    const Names& k = names();
    Ref items[kParams];
    {
        Ref get_inputs = lookup(module, k.get_inputs);
        Ref params = own(PyObject_Call(get_inputs.get(), args, kwargs));
        unpack(params.get(), items, kParams);
    }

    // The parameter set, each entry converted by its kind.
    Held<Vec> held[kParams];
    Held<IVec> codes;
    driver::RunParams p{};
    Vec* arrays[] = {&p.depth, &p.Cc,      &p.Cr, &p.sigvref, &p.esigvref, &p.Gs,
                     &p.kref,  &p.ekref,   &p.Ck, &p.Ca,      &p.tref};
    for (int i = kDepth; i <= kTref; ++i) *arrays[i] = vec_of(items[i].get(), &held[i]);
    if (!to_double(items[kQo].get(), &p.qo)) pending();
    p.dsigv = vec_of(items[kDsigv].get(), &held[kDsigv]);
    if (!to_ivec(items[kOcrvoidratiotype].get(), &codes)) pending();
    p.ocrvoidratiotype = codes.view;
    p.ocrvoidratio = vec_of(items[kOcrvoidratio].get(), &held[kOcrvoidratio]);
    p.ru = vec_of(items[kRu].get(), &held[kRu]);
    p.time = vec_of(items[kTime].get(), &held[kTime]);
    p.loadfactor = vec_of(items[kLoadfactor].get(), &held[kLoadfactor]);
    if (!to_double(items[kGammaw].get(), &p.gammaw) || !to_double(items[kTol].get(), &p.tol) ||
        !to_double(items[kPa].get(), &p.pa) ||
        !to_int(items[kDrainagetype].get(), &p.drainagetype))
        pending();

    const Py_ssize_t N = p.depth.len - 1;
    const Py_ssize_t Ntime = p.time.len;
    // The layer thickness is the bottom depth; reading it is also where an
    // empty depth fails (index -1 wraps to -1 + 0).
    (void)p.depth[N];

    NewArray dsigvsub = zeros(module, N + 1), dsigvsublast = zeros(module, N + 1);
    // Histories, (N + 1) x Ntime.
    Ref hist[4];
    Held<Mat> hview[4];
    {
        Ref np = lookup(module, k.np);
        Ref zeros_fn = own(PyObject_GetAttr(np.get(), k.zeros));
        for (int h = 0; h < 4; ++h) {
            Ref shape = own(Py_BuildValue("(nn)", N + 1, Ntime));
            hist[h] = own(PyObject_CallOneArg(zeros_fn.get(), shape.get()));
            if (!to_mat(hist[h].get(), &hview[h])) pending();
        }
    }
    enum { U, SIGV, Z, E };
    NewArray work[11];
    for (NewArray& w : work) w = zeros(module, N + 1);

    // Initial state of the column.
    Held<Vec> eo, sigvo, sigvo2, sigvf;
    {
        Ref get_initial = lookup(module, k.get_initial);
        PyObject* argv[kParams];
        for (int i = 0; i < kParams; ++i) argv[i] = items[i].get();
        Ref initial = own(PyObject_Vectorcall(get_initial.get(), argv, kParams, nullptr));
        PyObject* keys[] = {k.eo, k.sigvo, k.sigvo2, k.sigvf};
        Held<Vec>* dest[] = {&eo, &sigvo, &sigvo2, &sigvf};
        for (int i = 0; i < 4; ++i) {
            Ref v = own(PyObject_GetItem(initial.get(), keys[i]));
            if (!to_vec(v.get(), dest[i])) pending();
        }
    }

    driver::Work w{dsigvsub.v(), dsigvsublast.v(), work[0].v(), work[1].v(), work[2].v(),
                   work[3].v(),  work[4].v(),      work[5].v(), work[6].v(), work[7].v(),
                   work[8].v(),  work[9].v(),      work[10].v()};
    driver::Histories hs{hview[Z].view, hview[U].view, hview[SIGV].view, hview[E].view};
    driver::Initial init{eo.view, sigvo2.view, sigvf.view};

    ModuleCalls calls(module);
    // Every float array of the parameter set (not qo, the codes or the scalars).
    for (int i : {kDepth, kCc, kCr, kSigvref, kEsigvref, kGs, kKref, kEkref, kCk, kCa, kTref,
                  kDsigv, kOcrvoidratio, kRu, kTime, kLoadfactor})
        calls.expose(held[i].view, items[i].get());
    for (NewArray& a : work) calls.expose(a.v(), a.obj.get());
    calls.expose(dsigvsub.v(), dsigvsub.obj.get());
    calls.expose(dsigvsublast.v(), dsigvsublast.obj.get());

    driver::run(p, init, w, hs, calls);

    Ref result = own(PyDict_New());
    if (PyDict_SetItem(result.get(), k.z, hist[Z].get()) < 0 ||
        PyDict_SetItem(result.get(), k.u, hist[U].get()) < 0 ||
        PyDict_SetItem(result.get(), k.sigv, hist[SIGV].get()) < 0 ||
        PyDict_SetItem(result.get(), k.e, hist[E].get()) < 0)
        pending();
    return result.release();
}

}  // namespace pelorin::py
