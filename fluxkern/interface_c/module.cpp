// fluxkern_mod: module creation and execution (multi-phase initialisation).
//
// All state is process-wide: the module may be loaded into one interpreter
// per process, exists at most once, and is never torn down.
#include "boundary.hpp"
#include "docstrings.hpp"
#include "entry_points.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL fluxkern_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdio>

namespace fluxkern {
namespace {

// ------------------------------------------------------- process-wide state

constexpr int64_t no_interpreter = -1;
int64_t loading_interpreter = no_interpreter;  // the first interpreter that created us
PyObject* the_module = nullptr;                // owned; set by a successful execution start

// The function table, in the order the functions are bound.
PyMethodDef entry_point_defs[] = {
    {"compute_stiffness_and_jacobi_matrix",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute_stiffness_and_jacobi_matrix)),
     METH_FASTCALL | METH_KEYWORDS, docstrings::compute_stiffness_and_jacobi_matrix},
    {"compute_stiffness_and_jacobi_matrix_curl_curl",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)()>(compute_stiffness_and_jacobi_matrix_curl_curl)),
     METH_FASTCALL | METH_KEYWORDS, docstrings::compute_stiffness_and_jacobi_matrix_curl_curl},
    {"compute_rhs_Hcurl_red_c",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute_rhs_Hcurl_red_c)),
     METH_FASTCALL | METH_KEYWORDS, docstrings::compute_rhs_Hcurl_red_c},
    {"compute_B_Hcurl",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute_B_Hcurl)),
     METH_FASTCALL | METH_KEYWORDS, docstrings::compute_B_Hcurl},
    {"compute_B_line_segs_cpp",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute_B_line_segs_cpp)),
     METH_FASTCALL | METH_KEYWORDS, docstrings::compute_B_line_segs_cpp},
};

Signature* const signatures[] = {
    &compute_stiffness_and_jacobi_matrix_signature,
    &compute_stiffness_and_jacobi_matrix_curl_curl_signature,
    &compute_rhs_Hcurl_red_c_signature,
    &compute_B_Hcurl_signature,
    &compute_B_line_segs_cpp_signature,
};

// The module-level method table is empty: the functions are bound by the
// execution step.
PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

// ------------------------------------------------------------------ creation

// Copies spec.<attr> into the namespace as `key`; a missing attribute is
// skipped, and so is None unless `allow_none`.
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key,
                   bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, attr);
    if (value == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    int rc = 0;
    if (allow_none || value != Py_None) rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    if (loading_interpreter == no_interpreter) {
        loading_interpreter = interpreter;
    } else if (interpreter != loading_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (dict == nullptr || copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// ----------------------------------------------------------------- execution

void warn_on_version_mismatch() {
    const char* running = Py_GetVersion();  // "3.10.13 (main, ...)"
    int major = 0, minor = 0;
    if (std::sscanf(running, "%d.%d", &major, &minor) != 2) return;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "fluxkern_mod", "does not match", major,
                  minor);
    if (PyErr_WarnEx(nullptr, message, 1) < 0) throw HostError();
}

// NumPy's native array interface; any failure becomes the customary ImportError.
void import_numpy_api() {
    if (_import_array() >= 0) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* reason = value ? PyObject_Str(value) : nullptr;
    PyErr_Clear();
    if (reason) {
        PyErr_Format(PyExc_ImportError, "numpy.core.multiarray failed to import (%U)", reason);
        Py_DECREF(reason);
    } else {
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    throw HostError();
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
    if (PyDict_SetItemString(dict, key, value) < 0) throw HostError();
}

void execute(PyObject* module) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (dict == nullptr) throw HostError();
    module_dict = dict;

    // 2. __builtins__
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr) throw HostError();
    set_item(dict, "__builtins__", builtins);

    // 3. host version check
    warn_on_version_mismatch();

    // 4. interned names and constants
    if (!init_names()) throw HostError();
    for (Signature* sig : signatures)
        if (!intern_signature(*sig)) throw HostError();

    // 5. NumPy's array interface
    import_numpy_api();

    // 6. make the module importable by name while the rest executes
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* present = PyDict_GetItemWithError(modules, names.module_name);
    if (present == nullptr) {
        if (PyErr_Occurred()) throw HostError();
        if (PyDict_SetItem(modules, names.module_name, module) < 0) throw HostError();
    }

    // 7. builtins used by the entry points
    PyObject* print = PyDict_GetItemWithError(PyModule_GetDict(builtins), names.print);
    if (print == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", names.print);
        throw HostError();
    }
    builtin_print = Py_NewRef(print);

    // 8. import numpy as np
    PyRef numpy = PyRef::steal(PyImport_ImportModuleLevel("numpy", dict, nullptr, nullptr, 0));
    if (PyDict_SetItem(dict, names.np, numpy.get()) < 0) throw HostError();

    // 9. from scipy.sparse import csr_array
    PyRef fromlist = make_tuple({names.csr_array});
    PyRef sparse =
        PyRef::steal(PyImport_ImportModuleLevel("scipy.sparse", dict, nullptr, fromlist.get(), 0));
    PyObject* csr = PyObject_GetAttr(sparse.get(), names.csr_array);
    if (csr == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", names.csr_array);
        }
        throw HostError();
    }
    PyRef csr_ref = PyRef::steal(csr);
    if (PyDict_SetItem(dict, names.csr_array, csr_ref.get()) < 0) throw HostError();

    // 10. the five functions
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) throw HostError();
    PyRef module_name_ref = PyRef::steal(module_name);
    for (PyMethodDef& def : entry_point_defs) {
        PyRef function = PyRef::steal(PyCFunction_NewEx(&def, module, module_name));
        set_item(dict, def.ml_name, function.get());
    }

    // 11. __test__
    PyRef test = PyRef::steal(PyDict_New());
    set_item(dict, "__test__", test.get());
}

int module_exec(PyObject* module) {
    if (the_module) {
        if (the_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'fluxkern_mod' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    the_module = Py_NewRef(module);
    try {
        execute(module);
        return 0;
    } catch (const HostError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (PyErr_Occurred()) {
        add_traceback("init fluxkern_mod");
    } else {
        PyErr_SetString(PyExc_ImportError, "init fluxkern_mod");
    }
    Py_CLEAR(the_module);
    module_dict = nullptr;
    return -1;
}

// --------------------------------------------------------- slots and def

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},  // one module object per process
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},      // imports and bindings
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    /* m_name */ "fluxkern_mod",
    /* m_doc */ nullptr,
    /* m_size */ 0,
    /* m_methods */ no_methods,
    /* m_slots */ module_slots,
    /* m_traverse */ nullptr,
    /* m_clear */ nullptr,
    /* m_free */ nullptr,
};

}  // namespace
}  // namespace fluxkern

PyMODINIT_FUNC PyInit_fluxkern_mod() { return PyModuleDef_Init(&fluxkern::module_def); }
