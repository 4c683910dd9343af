#include "profile.hpp"

namespace frame {

bool profile_event(PyThreadState* tstate, PyObject* frame, int what, PyObject* arg) {
    ErrorStash pending;
    if (compat::call_profile_function(tstate, frame, what, arg) < 0) {
        pending.drop();  // as the interpreter drops it for the profiler's error
        return false;
    }
    return true;
}

}  // namespace frame
