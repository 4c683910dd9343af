#include "profile.hpp"

#include "traceback.hpp"

#include <frameobject.h>

namespace frame {

Ref new_profile_frame(PyThreadState* tstate, PyObject* code, PyObject* globals) {
    Ref frame = new_frame(code, globals);
    if (frame) {
        compat::set_frame_back(frame.get(), reinterpret_cast<PyObject*>(PyThreadState_GetFrame(tstate)));
    }
    return frame;
}

bool profile_event(PyThreadState* tstate, PyObject* frame, int what, PyObject* arg, int line) {
    compat::set_frame_line(frame, line);
    ErrorStash pending;
    if (compat::call_profile_function(tstate, frame, what, arg) < 0) {
        pending.drop();  // as the interpreter drops it for the profiler's error
        return false;
    }
    return true;
}

}  // namespace frame
