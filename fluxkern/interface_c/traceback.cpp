// The traceback entry of a failed call: a frame of an empty code object
// named after the function.  This is the module's one use of the
// interpreter's frame API (beyond the limited API): it uses only public
// functions (PyCode_NewEmpty, PyFrame_New, PyTraceBack_Here), where the
// interpreter's own helper for the same job is private.
#include "entry_point.hpp"

#include <frameobject.h>

namespace fluxkern {

void add_traceback(const char* qualified_name) {
    // The pending exception is set aside while the frame is made; if that
    // fails, the exception stays as it was, without the entry.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyFrameObject* frame = nullptr;
    try {
        PyRef globals = PyRef::steal(PyDict_New());
        PyRef code = PyRef::steal(
            reinterpret_cast<PyObject*>(PyCode_NewEmpty("fluxkern_mod", qualified_name, 1)));
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                            globals.get(), nullptr);
    } catch (const HostError&) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame == nullptr) return;
    const PyRef owned = PyRef::steal(reinterpret_cast<PyObject*>(frame));
    PyTraceBack_Here(frame);
}

}  // namespace fluxkern
