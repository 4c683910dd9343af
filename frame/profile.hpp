// What a profiler (sys.setprofile, cProfile) sees of the functions the frame
// runs: the events the interpreter gives for a Python function's frame, a
// call when it starts or resumes and a return when it ends or suspends, on
// the frame the body runs in.  Only a thread with a profile function pays
// for any of it.
#pragma once

#include "ref.hpp"

namespace frame {

// Reports `what` (PyTrace_CALL or PyTrace_RETURN, with `arg`: None for a
// call, the result, or nullptr for an exception) on `frame`, the frame
// object of the call's frame on the thread's stack, whose current line the
// profile function reads from it.  The pending exception is kept aside
// meanwhile.  False when the profile function failed: its error is then
// pending, in place of what was.
bool profile_event(PyThreadState* tstate, PyObject* frame, int what, PyObject* arg);

}  // namespace frame
