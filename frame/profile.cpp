#include "profile.hpp"

#include <frameobject.h>

namespace frame {

Ref new_profile_frame(PyThreadState* tstate, PyObject* code, PyObject* globals) {
    // No exception is pending when a call starts, which PyFrame_New needs:
    // its globals lookup would take a pending one for its own failure.
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(tstate, reinterpret_cast<PyCodeObject*>(code), globals, nullptr)));
    if (frame) {
        compat::set_frame_back(frame.get(), reinterpret_cast<PyObject*>(PyThreadState_GetFrame(tstate)));
    }
    return frame;
}

bool profile_event(PyThreadState* tstate, PyObject* frame, int what, PyObject* arg, int line) {
    compat::set_frame_line(frame, line);
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Ref pending[] = {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    if (compat::call_profile_function(tstate, frame, what, arg) < 0) {
        return false;  // what was pending goes, as the interpreter drops it
    }
    PyErr_Restore(pending[0].release(), pending[1].release(), pending[2].release());
    return true;
}

}  // namespace frame
