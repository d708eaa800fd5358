// Conversions of Python arguments to the kinds module functions take, and
// the glue between the cores' errors and Python exceptions.
#pragma once

#include <cstdint>

#include "../core/errors.hpp"
#include "../core/views.hpp"
#include "pyref.hpp"

namespace pelorin::py {

// Throws PyErrorPending at the caller's line when o is null.
inline PyObject* check(PyObject* o, int line = __builtin_LINE(),
                       const char* file = __builtin_FILE()) {
    if (!o) throw PyErrorPending{file, line};
    return o;
}
inline Ref own(PyObject* o, int line = __builtin_LINE(), const char* file = __builtin_FILE()) {
    return Ref(check(o, line, file));
}
[[noreturn]] inline void pending(int line = __builtin_LINE(),
                                 const char* file = __builtin_FILE()) {
    throw PyErrorPending{file, line};
}

// Kind "double": floats directly, anything else through its __float__.
bool to_double(PyObject* o, double* out);
// Kind "int": a 32-bit signed integer from an int or through __int__.
bool to_int(PyObject* o, int* out);

// A view together with the buffer that backs it.
template <class V>
struct Held {
    V view;
    Buffer buffer;
};

// Node arrays: one-dimensional writable buffers of native doubles (None is
// an empty array).  Int views take 32-bit signed integers.  Both return
// false with a Python exception set on failure.
bool to_vec(PyObject* o, Held<Vec>* out);
bool to_ivec(PyObject* o, Held<IVec>* out);
bool to_mat(PyObject* o, Held<Mat>* out);

// Sets the Python exception that a core error stands for.
void set_error(const NumericError& e);
// Adds the traceback entry "Pelorin.<name>" for the pending exception.
void add_traceback(const char* name, const char* file, int line);

// Looks a name up as a function body does: module namespace, then builtins.
// NameError when it is in neither.
Ref lookup(PyObject* module, PyObject* name);

// Prints one line through the builtins' print.
void print_line(PyObject* text);
void print_line(const char* text);

// np.zeros(n) (or with the given dtype object), through the module's `np`,
// viewed as a node array.
struct NewArray {
    Ref obj;
    Held<Vec> held;
    Vec& v() { return held.view; }
};
NewArray zeros(PyObject* module, Py_ssize_t n, int line = __builtin_LINE(),
               const char* file = __builtin_FILE());

// Memory the process can still take: MemAvailable of the kernel, less
// where a cgroup limit is tighter.  Negative when it cannot be told.
double available_memory();
// MemoryError at once (message naming `what`) when `bytes` cannot fit in the
// memory available; allocating it would only end with the kernel killing
// the process after filling memory for minutes.
void ensure_memory(double bytes, const char* what, int line = __builtin_LINE(),
                   const char* file = __builtin_FILE());

// The process's first thread, where the interpreter runs signal handlers.
bool on_main_thread();

// The NumPy module imported at module execution and its zeros function.
bool remember_numpy(PyObject* np);
// True when the module's `np` is still that NumPy with that zeros function:
// making arrays through it then runs no Python code, and arrays a caller
// never sees may be made in any way.
bool numpy_untouched(PyObject* module);

// Interned attribute / key names used across the module.
struct Names {
    PyObject *np, *zeros, *full, *linspace, *logspace, *log10, *ndarray, *float64, *int32,
        *dtype, *num, *endpoint, *asarray, *get_inputs, *get_initial, *get_avtest, *get_etest,
        *get_ktest, *get_utest, *get_residual, *get_utest2, *Max, *eo, *sigvo, *sigvo2,
        *sigvf, *z, *u, *sigv, *e, *N;
};
const Names& names();
bool init_names();

}  // namespace pelorin::py
