// fluxkern_mod: module creation and execution (multi-phase initialisation),
// in reading order: the process state, creation, execution, slots and
// definition, PyInit.
//
// All state is process-wide: the module may be loaded into one interpreter
// per process, exists at most once, and is never torn down.
#include "entry_point.hpp"
#include "state.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL fluxkern_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdio>

namespace fluxkern {

// ------------------------------------------------------- process-wide state

ProcessState& process() {
    // Allocated once and never released: the module has no shut-down work.
    static ProcessState* const state = new ProcessState();
    return *state;
}

namespace {

// The five functions, in the order they are bound.
const EntryPoint* const kTable[kEntryPoints] = {
    &compute_stiffness_and_jacobi_matrix_entry,
    &compute_stiffness_and_jacobi_matrix_curl_curl_entry,
    &compute_rhs_Hcurl_red_c_entry,
    &compute_B_Hcurl_entry,
    &compute_B_line_segs_cpp_entry,
};

}  // namespace

const std::vector<PyRef>& parameter_names(const EntryPoint& entry) {
    int k = 0;
    while (kTable[k] != &entry) ++k;
    return process().parameters[k];
}

namespace {

// The module-level method table is empty: the functions are bound by the
// execution step.
PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

// ------------------------------------------------------------------ creation

// Copies spec.<attr> into the namespace as `key`; a missing attribute is
// skipped, and so is None unless `allow_none`.
void copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key,
                    bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, attr);  // new reference, or NULL
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw HostError();
        PyErr_Clear();
        return;
    }
    const PyRef owned = PyRef::steal(value);
    if ((allow_none || value != Py_None) && PyDict_SetItemString(dict, key, value) < 0)
        throw HostError();
}

PyRef create(PyObject* spec) {
    ProcessState& s = process();
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) throw HostError();
    if (s.interpreter == -1) {
        s.interpreter = interpreter;
    } else if (interpreter != s.interpreter) {
        raise(PyExc_ImportError,
              "Interpreter change detected - this module can only be loaded into one "
              "interpreter per process.");
    }
    if (s.module) return PyRef::ref(s.module.get());

    PyRef name = PyRef::steal(PyObject_GetAttrString(spec, "name"));
    PyRef module = PyRef::steal(PyModule_NewObject(name.get()));
    PyObject* dict = PyModule_GetDict(module.get());  // borrowed
    if (dict == nullptr) throw HostError();
    copy_spec_attr(spec, dict, "loader", "__loader__", true);
    copy_spec_attr(spec, dict, "origin", "__file__", true);
    copy_spec_attr(spec, dict, "parent", "__package__", true);
    copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false);
    return module;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    try {
        return create(spec).release();
    } catch (const HostError&) {
        return nullptr;
    }
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
    const PyRef owned_type = PyRef::adopt(type), owned_value = PyRef::adopt(value),
                owned_traceback = PyRef::adopt(traceback);
    const PyRef reason = value ? PyRef::adopt(PyObject_Str(value)) : PyRef();
    PyErr_Clear();
    if (!reason) raise(PyExc_ImportError, "numpy.core.multiarray failed to import");
    raise_format(PyExc_ImportError, "numpy.core.multiarray failed to import (%U)", reason.get());
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
    if (PyDict_SetItemString(dict, key, value) < 0) throw HostError();
}

void execute(PyObject* module) {
    ProcessState& s = process();
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (dict == nullptr) throw HostError();
    s.dict = dict;

    // 2. __builtins__
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (builtins == nullptr) throw HostError();
    set_item(dict, "__builtins__", builtins);

    // 3. host version check
    warn_on_version_mismatch();

    // 4. interned names and constants
    create_names(s.names);
    for (int k = 0; k < kEntryPoints; ++k)
        s.parameters[k] = intern_parameters(kTable[k]->parameters);

    // 5. NumPy's array interface
    import_numpy_api();

    // 6. make the module importable by name while the rest executes
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* present = PyDict_GetItemWithError(modules, s.names.module_name.get());  // borrowed
    if (present == nullptr) {
        if (PyErr_Occurred()) throw HostError();
        if (PyDict_SetItem(modules, s.names.module_name.get(), module) < 0) throw HostError();
    }

    // 7. builtins used by the entry points
    PyObject* print = PyDict_GetItemWithError(PyModule_GetDict(builtins), s.names.print.get());
    if (print == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", s.names.print.get());
        throw HostError();
    }
    s.print = PyRef::ref(print);

    // 8. import numpy as np
    PyRef numpy = PyRef::steal(PyImport_ImportModuleLevel("numpy", dict, nullptr, nullptr, 0));
    if (PyDict_SetItem(dict, s.names.np.get(), numpy.get()) < 0) throw HostError();

    // 9. from scipy.sparse import csr_array
    PyRef fromlist = make_tuple({s.names.csr_array.get()});
    PyRef sparse =
        PyRef::steal(PyImport_ImportModuleLevel("scipy.sparse", dict, nullptr, fromlist.get(), 0));
    PyObject* csr = PyObject_GetAttr(sparse.get(), s.names.csr_array.get());  // new reference
    if (csr == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", s.names.csr_array.get());
        }
        throw HostError();
    }
    const PyRef csr_ref = PyRef::steal(csr);
    if (PyDict_SetItem(dict, s.names.csr_array.get(), csr) < 0) throw HostError();

    // 10. the five functions
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    for (int k = 0; k < kEntryPoints; ++k) {
        const EntryPoint& e = *kTable[k];
        auto* function_pointer = reinterpret_cast<void (*)()>(e.function);
        s.methods[k] = {e.name, reinterpret_cast<PyCFunction>(function_pointer),
                        METH_FASTCALL | METH_KEYWORDS, e.doc};
        PyRef function = PyRef::steal(PyCFunction_NewEx(&s.methods[k], module, module_name.get()));
        set_item(dict, e.name, function.get());
    }

    // 11. __test__
    PyRef test = PyRef::steal(PyDict_New());
    set_item(dict, "__test__", test.get());
}

int module_exec(PyObject* module) {
    ProcessState& s = process();
    if (s.module) {
        if (s.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'fluxkern_mod' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    s.module = PyRef::ref(module);
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
    // Forgotten, so that a later import starts afresh.
    s.module = PyRef();
    s.dict = nullptr;
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
