#include "binding.hpp"

#include <pthread.h>

#include <new>
#include <stdexcept>
#include <utility>

namespace pelorin::py {

namespace {

// Interned parameter names per function, for keyword matching by identity.
PyObject* g_param_names[16][kMaxParams];
// The function objects made at module execution, for identity tests.
PyObject* g_function_objects[16];

PyObject* find_keyword(PyObject* name, PyObject* kwnames, PyObject* const* kwvalues,
                       Py_ssize_t nkw) {
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return kwvalues[k];
    }
    return nullptr;
}

int find_param(int fn, int nparams, PyObject* key) {
    for (int p = 0; p < nparams; ++p)
        if (g_param_names[fn][p] == key) return p;
    for (int p = 0; p < nparams; ++p)
        if (PyUnicode_Compare(key, g_param_names[fn][p]) == 0) return p;
    return -1;
}

bool count_error(const FuncSpec& f, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f.name, "exactly", static_cast<Py_ssize_t>(f.nparams), "s", given);
    return false;
}

// Binds positional and keyword arguments to the parameters, then converts
// each by its kind.  False with a Python exception set on failure.
bool bind(int fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& a) {
    const FuncSpec& f = kFunctions[fn];
    const int P = f.nparams;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != P) return count_error(f, nargs);
    } else if (nargs > P) {
        return count_error(f, nargs);
    }
    for (Py_ssize_t p = 0; p < nargs; ++p) a.obj[p] = args[p];
    if (nkw > 0) {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t used = 0;
        for (Py_ssize_t p = nargs; p < P; ++p) {
            PyObject* v = find_keyword(g_param_names[fn][p], kwnames, kwvalues, nkw);
            if (!v) return count_error(f, p);
            a.obj[p] = v;
            ++used;
        }
        if (used < nkw) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
                    return false;
                }
                int p = find_param(fn, P, key);
                if (p >= nargs) continue;
                if (p >= 0)
                    PyErr_Format(PyExc_TypeError,
                                 "%s() got multiple values for keyword argument '%U'", f.name, key);
                else
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                 f.name, key);
                return false;
            }
        }
    }
    for (int p = 0; p < P; ++p) {
        PyObject* o = a.obj[p];
        bool ok = true;
        switch (f.params[p].kind) {
            case Kind::Double: ok = to_double(o, &a.d[p]); break;
            case Kind::Int: ok = to_int(o, &a.i[p]); break;
            case Kind::Array: ok = to_vec(o, &a.v[p]); break;
            case Kind::Object: break;
        }
        if (!ok) return false;
    }
    return true;
}

template <int K>
PyObject* fixed_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FuncSpec& f = kFunctions[K];
    return guarded(f.name, [&]() -> PyObject* {
        Args a;
        if (!bind(K, args, nargs, kwnames, a)) throw PyErrorPending{f.file, f.line};
        return f.fixed(self, a);
    });
}

template <int K>
PyObject* collect_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FuncSpec& f = kFunctions[K];
    return guarded(f.name, [&]() -> PyObject* {
        Ref kw;
        if (kwargs) {
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.name);
                    throw PyErrorPending{f.file, f.line};
                }
            }
            kw = Ref(PyDict_Copy(kwargs));
        } else {
            kw = Ref(PyDict_New());
        }
        if (!kw) throw PyErrorPending{f.file, f.line};
        return f.collect(self, args, kw.get());
    });
}

template <int K>
PyObject* one_entry(PyObject* self, PyObject* arg) {
    const FuncSpec& f = kFunctions[K];
    return guarded(f.name, [&]() -> PyObject* { return f.one(self, arg); });
}

template <int K>
PyMethodDef make_def() {
    const FuncSpec& f = kFunctions[K];
    PyMethodDef d{f.name, nullptr, 0, nullptr};
    switch (f.form) {
        case Form::Fixed:
            d.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fixed_entry<K>));
            d.ml_flags = METH_FASTCALL | METH_KEYWORDS;
            break;
        case Form::Collect:
            d.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&collect_entry<K>));
            d.ml_flags = METH_VARARGS | METH_KEYWORDS;
            break;
        case Form::One:
            d.ml_meth = &one_entry<K>;
            d.ml_flags = METH_O;
            break;
    }
    return d;
}

template <int... K>
void fill_defs(PyMethodDef* defs, std::integer_sequence<int, K...>) {
    ((defs[K] = make_def<K>()), ...);
}

PyMethodDef g_defs[16];

}  // namespace

bool init_binding() {
    static bool done = false;
    if (done) return true;
    for (int fn = 0; fn < kFunctionCount; ++fn) {
        const FuncSpec& f = kFunctions[fn];
        if (f.form != Form::Fixed) continue;
        for (int p = 0; p < f.nparams; ++p) {
            g_param_names[fn][p] = PyUnicode_InternFromString(f.params[p].name);
            if (!g_param_names[fn][p]) return false;
        }
    }
    fill_defs(g_defs, std::make_integer_sequence<int, 11>{});
    done = true;
    return true;
}

bool add_functions(PyObject* module) {
    Ref modname(PyUnicode_FromString("Pelorin"));
    if (!modname) return false;
    for (int fn = 0; fn < kFunctionCount; ++fn) {
        Ref func(PyCFunction_NewEx(&g_defs[fn], module, modname.get()));
        if (!func) return false;
        if (PyModule_AddObjectRef(module, g_defs[fn].ml_name, func.get()) != 0) return false;
        Py_XSETREF(g_function_objects[fn], func.release());
    }
    return true;
}

namespace {

// Lowest usable address of the calling thread's stack (0: unknown).
char* stack_floor() {
    static thread_local char* floor = nullptr;
    static thread_local bool known = false;
    if (!known) {
        known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0) floor = static_cast<char*>(addr);
            pthread_attr_destroy(&attr);
        }
    }
    return floor;
}

// What a call may still need below its entry: a run's own frames, the
// interpreter's frames of a rebound function and NumPy's.
constexpr std::size_t kStackMargin = 256 * 1024;

}  // namespace

bool stack_headroom(const char* name) {
    char here;
    char* floor = stack_floor();
    if (!floor) return true;
    if (&here > floor && static_cast<std::size_t>(&here - floor) > kStackMargin) return true;
    PyErr_Format(PyExc_RecursionError, "C stack nearly exhausted in Pelorin.%s", name);
    return false;
}

void set_foreign_error(const char* name) {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "Pelorin.%s: %s", name, e.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "Pelorin.%s: unknown C++ exception", name);
    }
}

const FuncSpec* spec_of(PyObject* callable) {
    for (int fn = 0; fn < kFunctionCount; ++fn)
        if (g_function_objects[fn] == callable) return &kFunctions[fn];
    return nullptr;
}

}  // namespace pelorin::py
