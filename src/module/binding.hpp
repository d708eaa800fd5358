// One binding mechanism for every module function: a table of parameter
// names and kinds drives argument binding and conversion; the body gets the
// converted values.
#pragma once

#include <cstdint>
#include <new>

#include "convert.hpp"

namespace pelorin::py {

enum class Kind : std::uint8_t { Double, Int, Array, Object };

struct Param {
    const char* name;
    Kind kind;
};

constexpr int kMaxParams = 27;

// Bound and converted arguments of one call, indexed by parameter position.
// Buffers are released when the call returns.
struct Args {
    PyObject* obj[kMaxParams];  // borrowed from the call
    double d[kMaxParams];
    int i[kMaxParams];
    Held<Vec> v[kMaxParams];

    const Vec& vec(int k) const { return v[k].view; }
};

using FixedBody = PyObject* (*)(PyObject* module, Args& a);
using CollectBody = PyObject* (*)(PyObject* module, PyObject* args, PyObject* kwargs);
using OneBody = PyObject* (*)(PyObject* module, PyObject* arg);

enum class Form : std::uint8_t { Fixed, Collect, One };

struct FuncSpec {
    const char* name;
    Form form;
    const Param* params;  // Fixed: the parameters in order; One: the single one
    int nparams;
    int line;             // definition line: binding failures are reported there
    const char* file;
    FixedBody fixed;
    CollectBody collect;
    OneBody one;
};

// The module's functions in namespace order.
extern const FuncSpec kFunctions[];
extern const int kFunctionCount;

// Interns the parameter names of every function (once, at module execution).
bool init_binding();
// Makes the function objects of the table, in order, into the module dict.
bool add_functions(PyObject* module);
// The table entry of a function object made by add_functions, or null.
const FuncSpec* spec_of(PyObject* callable);

// Headroom of the C stack: false, with RecursionError set, when the calling
// thread has less than a safe margin left (a deep chain of re-entries, each
// a Python function that calls the module again, would otherwise overflow
// it whatever the interpreter's recursion limit says).
bool stack_headroom(const char* name);

// The C++ exceptions that are not the module's own, as Python exceptions.
void set_foreign_error(const char* name);

// Runs a body with the translation of core errors into Python exceptions and
// the traceback entry "Pelorin.<name>".  Every C++ exception stops here: none
// may cross into the interpreter.  The entry counts as one level of the
// interpreter's recursion, and refuses to start without stack headroom.
template <class F>
PyObject* guarded(const char* name, F&& f) {
    if (Py_EnterRecursiveCall(" in Pelorin") != 0) {
        add_traceback(name, __FILE__, __LINE__);
        return nullptr;
    }
    PyObject* out = nullptr;
    if (!stack_headroom(name)) {
        add_traceback(name, __FILE__, __LINE__);
    } else {
        try {
            out = f();
        } catch (const NumericError& e) {
            set_error(e);
            add_traceback(name, e.file, e.line);
        } catch (const PyErrorPending& e) {
            add_traceback(name, e.file, e.line);
        } catch (...) {
            set_foreign_error(name);
            add_traceback(name, __FILE__, __LINE__);
        }
    }
    Py_LeaveRecursiveCall();
    return out;
}

}  // namespace pelorin::py
