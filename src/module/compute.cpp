// compute: the set-up of a run from its keyword arguments, and the bridge
// through which the run calls the module's functions.
//
// A run calls every function through the module namespace, as a Python
// caller would.  When the name is bound to the module's own function object
// the core is called directly with the same values: the behaviour is the
// same (errors and traceback entries included) without boxing or binding.
// Within a node-by-node pass no Python code runs when all of its per-node
// functions are the module's own, so they are looked up once per pass then.
//
// When every function the run calls is the module's own and `np` is the
// NumPy it imported, no Python code can run until the run ends: the run then
// releases the interpreter lock, and the step functions fill arrays made once
// for the run instead of fresh ones (the run never hands them out).  On the
// main thread the lock is taken back briefly at the check points (start of a
// step or correction, and from long loops, at most every 20 ms) to run signal
// handlers, so that Ctrl-C ends the run, and to look the names up again: a
// name rebound meanwhile (by a handler or another thread) takes effect from
// there on.  A run on another thread, where no handler runs, keeps the lock
// out until it ends.  While the lock is out the run evaluates its steps
// inline (driver/fused/fused.hpp), writing into the same arrays.
#include <cstdio>
#include <climits>
#include <vector>

#include "../driver/max.hpp"
#include "../driver/run.hpp"
#include "functions.hpp"
#include "gil.hpp"
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

// The module's own function is bound to the name in the module namespace
// (a missing name is not: the call then looks it up and fails as usual).
bool own_binding(PyObject* module, PyObject* name, Fn fn) {
    PyObject* f = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!f) {
        PyErr_Clear();
        return false;
    }
    return is_own(f, fn);
}

void fill_zero(const Vec& v) {
    for (std::ptrdiff_t i = 0; i < v.len; ++i) v[i] = 0.0;
}

class ModuleCalls final : public driver::Calls, public Poller {
public:
    ModuleCalls(PyObject* module, int drainagetype, Py_ssize_t N)
        : module_(module), drainagetype_(drainagetype), N_(N) {}

    // At the start of the run, of every step and of every correction.
    void checkpoint() override {
        if (gil_.released()) {
            tick();
            return;
        }
        if (check_signals() < 0) pending();
        fast_ = fast_possible();
        if (fast_) {
            make_pool();
            reset();
            gil_.release();
        }
    }

    // A division by zero inside a step that can still be recovered.
    bool absorb_failure() override {
        try {
            throw;
        } catch (const PyErrorPending&) {
            gil_.reacquire();
            fast_ = false;
            if (PyErr_ExceptionMatches(PyExc_ZeroDivisionError)) {
                PyErr_Clear();
                return true;
            }
        } catch (const NumericError& e) {
            return e.kind != ErrKind::IndexOutOfBounds;
        } catch (...) {
        }
        return false;
    }

    // From the clock of the check points and of long loops.  Only the main
    // thread runs signal handlers: a run on another thread keeps going
    // without the lock (and keeps the functions it found until it ends).
    void poll() override {
        if (!on_main_thread()) return;
        const bool was = gil_.released();
        gil_.reacquire();
        if (check_signals() < 0) pending();
        if (was) {
            // A handler, or another thread while the lock was out, may have
            // rebound a name.
            fast_ = fast_possible();
            if (fast_) gil_.release();
        }
    }

    // The run is over: the lock is held again.
    void finish() { gil_.reacquire(); }

    // Python objects behind the views the run passes, for calls of functions
    // that are not the module's own.
    void expose(const Vec& v, PyObject* o) { objects_.push_back({v.data, v.len, v.stride, o}); }

    void begin_node_pass() override {
        if (fast_) {
            direct_nodes_ = true;
            return;
        }
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
        if (fast_) {
            Vec a = pool_.a.v(), b = pool_.b.v(), c = pool_.c.v(), x = pool_.x.v();
            Vec out = next_u();
            for (const Vec* v : {&a, &b, &c, &x, &out}) fill_zero(*v);
            fast_callee("get_utest", __LINE__, [&] { solver::get_utest(in, a, b, c, x, out); });
            return out;
        }
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
        if (fast_) {
            Vec out = pool_.res.v();
            fill_zero(out);
            fast_callee("get_residual", __LINE__, [&] { solver::get_residual(in, out); });
            return out;
        }
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
        if (fast_ && in.utest.len == N_ + 1) {
            Vec a = pool_.a2.v(), b = pool_.b2.v(), c = pool_.c2.v(), x = pool_.x2.v();
            Vec out = next_u();
            for (const Vec* v : {&a, &b, &c, &x, &out}) fill_zero(*v);
            fast_callee("get_utest2", __LINE__,
                        [&] { solver::get_utest2(in, a, b, c, x, out); });
            return out;
        }
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
        if (fast_) {
            if (v.len > 0) return driver::max_abs(v);
            gil_.reacquire();
            fast_ = false;
        }
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

    void report_no_convergence(std::ptrdiff_t j, int count, double t) override {
        gil_.reacquire();
        fast_ = false;
        Ref text = own(PyUnicode_FromFormat("ERROR! Increment %zd did not converge in %d iterations.",
                                            static_cast<Py_ssize_t>(j), count));
        print_line(text.get());
        // The line alone is easily lost (redirected output); a warning can
        // be seen by the calling code, or turned into an error.
        char when[64];
        std::snprintf(when, sizeof when, "%.17g", t);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compute: step %zd (time %s) did not converge in %d corrections; the "
                             "run stopped there and columns %zd onward of the histories are zero",
                             static_cast<Py_ssize_t>(j), when, count,
                             static_cast<Py_ssize_t>(j)) < 0)
            pending();
    }

    // Inline passes while every function is the module's own and the lock
    // is out; they write into the arrays the step functions would return.
    bool fused() override { return fast_; }
    unsigned long epoch() override { return epoch_; }
    Vec fused_pressures(std::ptrdiff_t) override { return next_u(); }
    Vec fused_residual(std::ptrdiff_t) override { return pool_.res.v(); }

private:
    // Signal handlers (Python code) may run here.
    int check_signals() {
        ++epoch_;
        return PyErr_CheckSignals();
    }

    // Every function of the run is the module's own and NumPy untouched.
    // The step functions' arrays must have the run's sizes (a column too
    // short for a system is left to NumPy's error on the way the run
    // always took).
    bool fast_possible() const {
        const Names& k = names();
        const int N = static_cast<int>(N_);
        return solver::utest_rows(drainagetype_, N) >= 0 &&
               solver::utest2_rows(drainagetype_, N) >= 0 && numpy_untouched(module_) &&
               own_binding(module_, k.get_avtest, kGetAvtest) &&
               own_binding(module_, k.get_etest, kGetEtest) &&
               own_binding(module_, k.get_ktest, kGetKtest) &&
               own_binding(module_, k.get_utest, kGetUtest) &&
               own_binding(module_, k.get_residual, kGetResidual) &&
               own_binding(module_, k.get_utest2, kGetUtest2) &&
               own_binding(module_, k.Max, kMax);
    }

    // The arrays of the step functions, made once (with the lock held).
    void make_pool() {
        if (pool_.made) return;
        const int N = static_cast<int>(N_);
        const Py_ssize_t r1 = solver::utest_rows(drainagetype_, N);
        const Py_ssize_t r2 = solver::utest2_rows(drainagetype_, N);
        pool_.a = zeros(module_, r1), pool_.b = zeros(module_, r1);
        pool_.c = zeros(module_, r1), pool_.x = zeros(module_, r1);
        pool_.a2 = zeros(module_, r2), pool_.b2 = zeros(module_, r2);
        pool_.c2 = zeros(module_, r2), pool_.x2 = zeros(module_, r2);
        pool_.u[0] = zeros(module_, N_ + 1), pool_.u[1] = zeros(module_, N_ + 1);
        pool_.res = zeros(module_, N_ + 1);
        // Pressures and residuals may reach a rebound function later in the run.
        for (NewArray* a : {&pool_.u[0], &pool_.u[1], &pool_.res}) expose(a->v(), a->obj.get());
        pool_.made = true;
    }

    // Trial pressures alternate between two arrays: a correction reads the
    // pressures of the one before.  Never the array `utest` is on now.
    Vec next_u() {
        pool_.flip ^= 1;
        return pool_.u[pool_.flip].v();
    }

    // A core on the fast path: its error is raised with the lock taken back,
    // with the callee's traceback entry, as on the other paths.
    template <class F>
    void fast_callee(const char* callee, int line, F&& f) {
        try {
            f();
        } catch (const NumericError& e) {
            gil_.reacquire();
            fast_ = false;
            set_error(e);
            add_traceback(callee, e.file, e.line);
            throw PyErrorPending{__FILE__, line};
        } catch (const PyErrorPending& e) {
            gil_.reacquire();
            fast_ = false;
            add_traceback(callee, e.file, e.line);
            throw PyErrorPending{__FILE__, line};
        }
    }
    template <class F>
    double fast_value(const char* callee, int line, F&& f) {
        double out = 0.0;
        fast_callee(callee, line, [&] { out = f(); });
        return out;
    }

    // A per-node relation: the core directly when the pass found all of them
    // to be the module's own, else looked up now and called directly or
    // through Python.
    template <class Core>
    double node_call(Fn fn, PyObject* name, int line, Core core,
                     std::initializer_list<double> values) {
        const char* callee = kFunctions[fn].name;
        if (fast_) return fast_value(callee, line, core);
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

    struct Pool {
        NewArray a, b, c, x, a2, b2, c2, x2, u[2], res;
        int flip = 0;
        bool made = false;
    };

    PyObject* module_;
    int drainagetype_;
    Py_ssize_t N_;
    bool direct_nodes_ = false;
    bool fast_ = false;
    // Counts the points where Python code may have run.
    unsigned long epoch_ = 0;
    std::vector<Exposed> objects_;
    NewArray utest_, res_;
    Pool pool_;
    // Last: goes first, so that the arrays above are dropped with the lock.
    GilRelease gil_;
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

// The keywords of the recovery of failed steps (compute's own; get_inputs
// ignores them like any keyword it does not know).
driver::Recovery recovery_of(PyObject* kwargs) {
    driver::Recovery r;
    PyObject* v = PyDict_GetItemString(kwargs, "maxsplit");
    if (v) {
        if (!to_int(v, &r.maxsplit)) pending();
        if (r.maxsplit < 0 || r.maxsplit > 30) {
            PyErr_Format(PyExc_ValueError, "compute: maxsplit must be 0 to 30, not %d",
                         r.maxsplit);
            pending();
        }
    }
    v = PyDict_GetItemString(kwargs, "splitfirst");
    if (v) {
        const int t = PyObject_IsTrue(v);
        if (t < 0) pending();
        r.splitfirst = t == 1;
    }
    return r;
}

PyObject* compute_body(PyObject* module, PyObject* args, PyObject* kwargs) {
    const Names& k = names();
    const driver::Recovery recovery = recovery_of(kwargs);
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

    // The step functions take N as a 32-bit int, and steps are numbered as
    // one: a larger column or history is refused before anything is made.
    if (N > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "compute: N = %zd elements do not fit a 32-bit int", N);
        pending();
    }
    if (Ntime > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "compute: Ntime = %zd steps do not fit a 32-bit int",
                     Ntime);
        pending();
    }
    // Four histories, thirteen working arrays and the step functions'
    // results and work arrays (about a dozen more), and what the inline
    // passes keep per node (about 36 doubles).
    ensure_memory(8.0 * (static_cast<double>(N) + 1.0) * (4.0 * static_cast<double>(Ntime) + 62.0),
                  "compute: a run of that many nodes and times");

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
    // The recovery's own trial pressures (a rebound function may see them).
    NewArray recovered[2];
    if (recovery.maxsplit > 0) {
        for (NewArray& a : recovered) a = zeros(module, N + 1);
        w.ua = recovered[0].v();
        w.ub = recovered[1].v();
    }
    driver::Histories hs{hview[Z].view, hview[U].view, hview[SIGV].view, hview[E].view};
    driver::Initial init{eo.view, sigvo2.view, sigvf.view};

    ModuleCalls calls(module, p.drainagetype, N);
    // Every float array of the parameter set (not qo, the codes or the scalars).
    for (int i : {kDepth, kCc, kCr, kSigvref, kEsigvref, kGs, kKref, kEkref, kCk, kCa, kTref,
                  kDsigv, kOcrvoidratio, kRu, kTime, kLoadfactor})
        calls.expose(held[i].view, items[i].get());
    for (NewArray& a : work) calls.expose(a.v(), a.obj.get());
    calls.expose(dsigvsub.v(), dsigvsub.obj.get());
    calls.expose(dsigvsublast.v(), dsigvsublast.obj.get());
    for (NewArray& a : recovered)
        if (a.obj) calls.expose(a.v(), a.obj.get());

    {
        PollerScope polling(&calls);
        driver::run(p, init, w, hs, calls, recovery);
    }
    calls.finish();

    Ref result = own(PyDict_New());
    if (PyDict_SetItem(result.get(), k.z, hist[Z].get()) < 0 ||
        PyDict_SetItem(result.get(), k.u, hist[U].get()) < 0 ||
        PyDict_SetItem(result.get(), k.sigv, hist[SIGV].get()) < 0 ||
        PyDict_SetItem(result.get(), k.e, hist[E].get()) < 0)
        pending();
    return result.release();
}

}  // namespace pelorin::py
