// What a profiler (sys.setprofile, cProfile) sees of the functions the frame
// runs: the events the interpreter gives for a Python function's frame, a
// call when it starts or resumes and a return when it ends or suspends, on a
// frame object of the function's own code object.  Only a thread with a
// profile function pays for any of it.
#pragma once

#include "ref.hpp"

namespace frame {

// A frame object for a profiled call of `code`: `globals` as its globals, the
// running Python frame as its f_back.
Ref new_profile_frame(PyThreadState* tstate, PyObject* code, PyObject* globals);

// Reports `what` (PyTrace_CALL or PyTrace_RETURN, with `arg`: None for a
// call, the result, or nullptr for an exception) on `frame` at `line`.  The
// pending exception is kept aside meanwhile.  False when the profile
// function failed: its error is then pending, in place of what was.
bool profile_event(PyThreadState* tstate, PyObject* frame, int what, PyObject* arg, int line);

}  // namespace frame
