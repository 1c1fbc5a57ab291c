// Builds a synthetic frame per failure site and pushes it onto the traceback.
#include "runtime/trace.hpp"

#include <frameobject.h>

#include "ref.hpp"
#include "runtime/state.hpp"

namespace velmora::trace {

void add(Site& site) noexcept {
    if (!PyErr_Occurred()) {
        return;  // PyTraceBack_Here needs a pending exception
    }
    // Building the frame must not see the pending exception: take it and put it back.
    PyObject* exc = PyErr_GetRaisedException();
    if (!site.code) {
        site.code =
            reinterpret_cast<PyObject*>(PyCode_NewEmpty(site.filename, site.funcname, site.line));
    }
    Ref globals =
        state::module_dict ? Ref::borrow(state::module_dict.get()) : Ref::steal(PyDict_New());
    PyFrameObject* frame = nullptr;
    if (site.code && globals) {
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(site.code),
                            globals.get(), nullptr);
    }
    PyErr_Clear();  // a failure here must not replace the original exception
    PyErr_SetRaisedException(exc);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace velmora::trace
