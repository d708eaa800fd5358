// Module creation and execution (multi-phase initialisation).
#include <cstdio>
#include <cstring>

#include "binding.hpp"
#include "functions.hpp"

namespace pelorin::py {

namespace {

std::int64_t g_interpreter_id = -1;
PyObject* g_module = nullptr;  // the executed module, remembered for re-imports
PyObject* g_kept_builtins[8];

int copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to,
                   bool skip_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    Ref v(value);
    if (skip_none && v.get() == Py_None) return 0;
    return PyObject_SetAttrString(module, to, v.get());
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (copy_spec_attr(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

// Compares the version built for with the running interpreter's (major
// digit and first minor digit) and warns on a mismatch.
int version_check() {
    char built[32];
    std::snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    char run3[4] = {0, 0, 0, 0};
    std::strncpy(run3, running, 3);
    if (built[0] != run3[0] || built[2] != run3[2]) {
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "compiletime version %s of module '%.100s' does not match runtime "
                                "version %s",
                                built, "Pelorin", run3);
    }
    return 0;
}

int exec_steps(PyObject* module) {
    {
        Ref builtins(PyImport_ImportModule("builtins"));
        if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0)
            return -1;
    }
    if (!init_names() || !init_binding()) return -1;

    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* registered = PyDict_GetItemString(modules, "Pelorin");
    if (!registered && PyDict_SetItemString(modules, "Pelorin", module) < 0) return -1;

    const char* kept[] = {"range", "ValueError", "MemoryError", "enumerate",
                          "TypeError", "Ellipsis", "id", "IndexError"};
    PyObject* builtins = PyEval_GetBuiltins();
    for (int k = 0; k < 8; ++k) {
        PyObject* b = builtins ? PyDict_GetItemString(builtins, kept[k]) : nullptr;
        if (!b) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", kept[k]);
            return -1;
        }
        Py_XSETREF(g_kept_builtins[k], Py_NewRef(b));
    }

    Ref np(PyImport_ImportModuleLevel("numpy", nullptr, nullptr, nullptr, 0));
    if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
    if (!remember_numpy(np.get())) return -1;
    if (!add_functions(module)) return -1;
    Ref test(PyDict_New());
    if (!test || PyModule_AddObjectRef(module, "__test__", test.get()) < 0) return -1;
    return 0;
}

int exec(PyObject* module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'Pelorin' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (version_check() < 0) return -1;
    g_module = Py_NewRef(module);
    if (exec_steps(module) < 0) {
        _PyTraceback_Add("init Pelorin", __FILE__, __LINE__);
        Py_CLEAR(g_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&create)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec)},
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, "Pelorin", nullptr, 0, nullptr, g_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace pelorin::py

PyMODINIT_FUNC PyInit_Pelorin(void) { return PyModuleDef_Init(&pelorin::py::g_def); }
