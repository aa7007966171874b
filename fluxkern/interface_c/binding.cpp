// Argument binding.
#include "binding.hpp"

#include <string>

namespace fluxkern {

std::vector<PyRef> intern_parameters(const char* parameters) {
    std::vector<PyRef> names;
    std::string name;
    for (const char* c = parameters;; ++c) {
        if (*c == ',' || *c == '\0') {
            names.push_back(PyRef::steal(PyUnicode_InternFromString(name.c_str())));
            name.clear();
            if (*c == '\0') return names;
        } else if (*c != ' ') {
            name += *c;
        }
    }
}

namespace {

[[noreturn]] void raise_arg_count(const char* name, int count, Py_ssize_t given) {
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, "exactly", static_cast<Py_ssize_t>(count), count == 1 ? "" : "s", given);
}

bool same_name(PyObject* keyword, PyObject* param) {
    if (keyword == param) return true;
    if (!PyUnicode_Check(keyword)) return false;
    return PyUnicode_Compare(keyword, param) == 0;
}

// Position of `param` among the keyword names: identity first, then equality.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* param) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) == param) return k;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (same_name(PyTuple_GET_ITEM(kwnames, k), param)) return k;
    return -1;
}

bool names_param_in(const std::vector<PyRef>& interned, PyObject* keyword, Py_ssize_t begin,
                    Py_ssize_t end) {
    for (Py_ssize_t i = begin; i < end; ++i)
        if (same_name(keyword, interned[std::size_t(i)].get())) return true;
    return false;
}

}  // namespace

void bind_arguments(const char* name, int count, const std::vector<PyRef>& interned,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t num_params = count;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != num_params) raise_arg_count(name, count, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        return;
    }
    if (nargs > num_params) raise_arg_count(name, count, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = nargs; i < num_params; ++i) {
        const Py_ssize_t k = find_keyword(kwnames, interned[std::size_t(i)].get());
        if (k < 0) raise_arg_count(name, count, i);
        out[i] = kwvalues[k];
        ++matched;
    }
    if (nkw == matched) return;

    // More keywords than parameters left for them: name the first offender.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword))
            raise_format(PyExc_TypeError, "%.200s() keywords must be strings", name);
        if (names_param_in(interned, keyword, nargs, num_params)) continue;
        if (names_param_in(interned, keyword, 0, nargs))
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         name, keyword);
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                     keyword);
    }
}

}  // namespace fluxkern
