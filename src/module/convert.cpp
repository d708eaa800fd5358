#include "convert.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pelorin::py {

bool to_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    // Only __float__ converts (not __index__ alone, which the interpreter's
    // own conversion would also take).
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!PyFloat_Check(o) && !(nb && nb->nb_float)) {
        PyErr_Format(PyExc_TypeError, "must be real number, not %.50s", Py_TYPE(o)->tp_name);
        return false;
    }
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
    *out = d;
    return true;
}

static bool long_to_int(PyObject* o, int* out) {
    int v = _PyLong_AsInt(o);
    if (v == -1 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

bool to_int(PyObject* o, int* out) {
    if (PyLong_Check(o)) return long_to_int(o, out);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref r(nb->nb_int(o));
    if (!r) return false;
    if (!PyLong_CheckExact(r.get())) {
        if (!PyLong_Check(r.get())) {
            PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                         Py_TYPE(r.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an "
                             "instance of a strict subclass of int is deprecated, and may be "
                             "removed in a future version of Python.",
                             Py_TYPE(r.get())->tp_name) != 0)
            return false;
    }
    return long_to_int(r.get(), out);
}

namespace {

// Readable C name of a buffer element, as the mismatch message shows it.
std::string element_name(const char* fmt, Py_ssize_t itemsize) {
    const char* f = fmt;
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    if (f[0] && !f[1]) {
        const char* s = nullptr;
        const char* u = nullptr;
        switch (f[0]) {
            case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
                s = "";
                break;
            case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
                u = "unsigned ";
                break;
            case 'f': return "'float'";
            case 'd': return "'double'";
            case 'g': return "'long double'";
            case 'e': return "'half'";
            case '?': return "'bool'";
            case 'c': return "'char'";
            default: break;
        }
        const char* pre = s ? s : u;
        if (pre) {
            const char* base = itemsize == 1   ? (s ? "signed char" : "char")
                               : itemsize == 2 ? "short"
                               : itemsize == 4 ? "int"
                                               : "long long";
            return std::string("'") + pre + base + "'";
        }
    }
    return std::string("'") + fmt + "'";
}

bool is_signed_int(char c) { return c == 'i' || c == 'l' || c == 'q' || c == 'n' || c == 'h' || c == 'b'; }

// The element checks of a node array, in order: dimensions, element type,
// item size, direct access.
bool check_buffer(const Py_buffer& v, int ndim, bool want_double) {
    if (v.ndim != ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, v.ndim);
        return false;
    }
    const char* fmt = v.format ? v.format : "B";
    if (fmt[0] == '>' || fmt[0] == '!') {
        PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
        return false;
    }
    const char* f = fmt;
    if (*f == '@' || *f == '=' || *f == '<') ++f;
    bool single = f[0] && !f[1];
    bool match = single && (want_double ? f[0] == 'd' : (is_signed_int(f[0]) && v.itemsize == 4));
    const char* expected = want_double ? "double" : "int";
    Py_ssize_t size = want_double ? 8 : 4;
    if (!match) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     expected, "'", element_name(fmt, v.itemsize).c_str());
        return false;
    }
    if (v.itemsize != size) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     v.itemsize, v.itemsize > 1 ? "s" : "", expected, size, "s");
        return false;
    }
    if (v.suboffsets) {
        for (int d = 0; d < ndim; ++d) {
            if (v.suboffsets[d] >= 0) {
                PyErr_Format(PyExc_ValueError,
                             "Buffer not compatible with direct access in dimension %d.", d);
                return false;
            }
        }
    }
    return true;
}

template <class V>
bool to_view1(PyObject* o, Held<V>* out, bool want_double) {
    if (o == Py_None) {
        out->view = V();
        out->buffer.release();
        return true;
    }
    Buffer b;
    if (!b.acquire(o)) return false;
    const Py_buffer& v = b.view();
    if (!check_buffer(v, 1, want_double)) return false;
    // An exporter may leave strides out (ctypes arrays do): the buffer is
    // then contiguous.
    const Py_ssize_t stride = v.strides ? v.strides[0] : v.itemsize;
    const Py_ssize_t n = v.shape ? v.shape[0] : v.len / v.itemsize;
    out->view = V(static_cast<char*>(v.buf), n, stride);
    out->buffer = std::move(b);
    return true;
}

}  // namespace

bool to_vec(PyObject* o, Held<Vec>* out) { return to_view1(o, out, true); }
bool to_ivec(PyObject* o, Held<IVec>* out) { return to_view1(o, out, false); }

bool to_mat(PyObject* o, Held<Mat>* out) {
    Buffer b;
    if (!b.acquire(o)) return false;
    const Py_buffer& v = b.view();
    if (!check_buffer(v, 2, true)) return false;
    Mat m;
    m.data = static_cast<char*>(v.buf);
    m.shape[0] = v.shape[0];
    m.shape[1] = v.shape[1];
    // Without strides the buffer is C-contiguous.
    m.strides[0] = v.strides ? v.strides[0] : v.shape[1] * v.itemsize;
    m.strides[1] = v.strides ? v.strides[1] : v.itemsize;
    out->view = m;
    out->buffer = std::move(b);
    return true;
}

void set_error(const NumericError& e) {
    switch (e.kind) {
        case ErrKind::IndexOutOfBounds:
            PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
            break;
        case ErrKind::FloatDivision:
            PyErr_SetString(PyExc_ZeroDivisionError, "float division");
            break;
        case ErrKind::HostFloatDivision:
            PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
            break;
    }
}

void add_traceback(const char* name, const char* file, int line) {
    std::string full = std::string("Pelorin.") + name;
    _PyTraceback_Add(full.c_str(), file, line);
}

Ref lookup(PyObject* module, PyObject* name) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* o = PyDict_GetItemWithError(dict, name);
    if (!o) {
        if (PyErr_Occurred()) pending();
        PyObject* builtins = PyEval_GetBuiltins();
        o = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
        if (!o) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            pending();
        }
    }
    return Ref::borrow(o);
}

void print_line(PyObject* text) {
    static PyObject* print = nullptr;  // the builtins' print, kept after first use
    if (!print) {
        PyObject* builtins = PyEval_GetBuiltins();
        PyObject* p = builtins ? PyDict_GetItemString(builtins, "print") : nullptr;
        if (!p) {
            PyErr_SetString(PyExc_NameError, "name 'print' is not defined");
            pending();
        }
        Py_INCREF(p);
        print = p;
    }
    own(PyObject_CallOneArg(print, text));
}

void print_line(const char* text) {
    Ref s = own(PyUnicode_FromString(text));
    print_line(s.get());
}

namespace {

// First number on the line of /proc/meminfo that starts with `key`, in bytes.
double meminfo(const char* key) {
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return -1.0;
    char line[256];
    double out = -1.0;
    const std::size_t n = std::strlen(key);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, n) == 0) {
            unsigned long long kib = 0;
            if (std::sscanf(line + n, " %llu", &kib) == 1) out = static_cast<double>(kib) * 1024.0;
            break;
        }
    }
    std::fclose(f);
    return out;
}

// A single number in a file (cgroup v2 control files); -1 for "max" or none.
double number_in(const char* path) {
    std::FILE* f = std::fopen(path, "r");
    if (!f) return -1.0;
    unsigned long long v = 0;
    const int got = std::fscanf(f, "%llu", &v);
    std::fclose(f);
    return got == 1 ? static_cast<double>(v) : -1.0;
}

}  // namespace

double available_memory() {
    double avail = meminfo("MemAvailable:");
    if (avail < 0) {
        const long pages = sysconf(_SC_AVPHYS_PAGES), size = sysconf(_SC_PAGESIZE);
        if (pages > 0 && size > 0) avail = static_cast<double>(pages) * static_cast<double>(size);
    }
    const double limit = number_in("/sys/fs/cgroup/memory.max");
    const double used = number_in("/sys/fs/cgroup/memory.current");
    if (limit >= 0 && used >= 0) {
        const double room = limit > used ? limit - used : 0.0;
        if (avail < 0 || room < avail) avail = room;
    }
    // An address-space limit of the process (ulimit -v) counts as well.
    struct rlimit as {};
    if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) {
        unsigned long long pages = 0;
        if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%llu", &pages) != 1) pages = 0;
            std::fclose(f);
        }
        const double vm = static_cast<double>(pages) * static_cast<double>(sysconf(_SC_PAGESIZE));
        const double limit = static_cast<double>(as.rlim_cur);
        const double room = limit > vm ? limit - vm : 0.0;
        if (avail < 0 || room < avail) avail = room;
    }
    return avail;
}

void ensure_memory(double bytes, const char* what, int line, const char* file) {
    // Small requests are left to the allocator: reading the kernel's figures
    // costs more than they do.
    if (!(bytes > 64.0 * 1024 * 1024)) return;
    const double avail = available_memory();
    if (avail < 0 || bytes <= avail) return;
    const double gib = 1024.0 * 1024 * 1024;
    char text[256];
    std::snprintf(text, sizeof text, "%s needs about %.1f GiB; %.1f GiB of memory is available",
                  what, bytes / gib, avail / gib);
    PyErr_SetString(PyExc_MemoryError, text);
    throw PyErrorPending{file, line};
}

NewArray zeros(PyObject* module, Py_ssize_t n, int line, const char* file) {
    ensure_memory(static_cast<double>(n) * 8.0, "an array of that many doubles", line, file);
    NewArray a;
    Ref np = lookup(module, names().np);
    Ref fn = own(PyObject_GetAttr(np.get(), names().zeros), line, file);
    Ref len = own(PyLong_FromSsize_t(n), line, file);
    a.obj = own(PyObject_CallOneArg(fn.get(), len.get()), line, file);
    if (!to_vec(a.obj.get(), &a.held)) throw PyErrorPending{file, line};
    return a;
}

bool on_main_thread() {
    static thread_local const bool main = syscall(SYS_gettid) == getpid();
    return main;
}

static PyObject* g_numpy = nullptr;
static PyObject* g_numpy_zeros = nullptr;

bool remember_numpy(PyObject* np) {
    PyObject* z = PyObject_GetAttrString(np, "zeros");
    if (!z) return false;
    Py_XSETREF(g_numpy_zeros, z);
    Py_XSETREF(g_numpy, Py_NewRef(np));
    return true;
}

bool numpy_untouched(PyObject* module) {
    PyObject* np = PyDict_GetItemWithError(PyModule_GetDict(module), names().np);
    if (!np || np != g_numpy) {
        PyErr_Clear();
        return false;
    }
    // Plain module attribute: read from the module's dict, no code runs.
    PyObject* z = PyDict_GetItemWithError(PyModule_GetDict(np), names().zeros);
    if (!z) PyErr_Clear();
    return z == g_numpy_zeros;
}

static Names g_names;

const Names& names() { return g_names; }

bool init_names() {
    if (g_names.np) return true;
    struct {
        PyObject** slot;
        const char* text;
    } table[] = {
        {&g_names.np, "np"}, {&g_names.zeros, "zeros"}, {&g_names.full, "full"},
        {&g_names.linspace, "linspace"}, {&g_names.logspace, "logspace"},
        {&g_names.log10, "log10"}, {&g_names.ndarray, "ndarray"},
        {&g_names.float64, "float64"}, {&g_names.int32, "int32"}, {&g_names.dtype, "dtype"},
        {&g_names.num, "num"}, {&g_names.endpoint, "endpoint"}, {&g_names.asarray, "asarray"},
        {&g_names.get_inputs, "get_inputs"}, {&g_names.get_initial, "get_initial"},
        {&g_names.get_avtest, "get_avtest"}, {&g_names.get_etest, "get_etest"},
        {&g_names.get_ktest, "get_ktest"}, {&g_names.get_utest, "get_utest"},
        {&g_names.get_residual, "get_residual"}, {&g_names.get_utest2, "get_utest2"},
        {&g_names.Max, "Max"}, {&g_names.eo, "eo"}, {&g_names.sigvo, "sigvo"},
        {&g_names.sigvo2, "sigvo2"}, {&g_names.sigvf, "sigvf"}, {&g_names.z, "z"},
        {&g_names.u, "u"}, {&g_names.sigv, "sigv"}, {&g_names.e, "e"}, {&g_names.N, "N"},
    };
    for (auto& t : table) {
        *t.slot = PyUnicode_InternFromString(t.text);
        if (!*t.slot) return false;
    }
    return true;
}

}  // namespace pelorin::py
