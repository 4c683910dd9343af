// What profilers and the other tools watching a thread (sys.setprofile,
// cProfile, sys.monitoring) see of the functions the frame runs: the events
// the interpreter gives for a Python function's frame, on the frame the body
// runs in.  Only a thread that some tool watches pays for any of it.
#pragma once

#include "ref.hpp"

namespace frame {

// Reports `event` on `frame`, the call's frame, innermost on the thread's
// stack (compat::fire_event), with the pending exception kept aside
// meanwhile.  `arg` is the value returned or yielded, and is not needed for
// the other events: an unwind or throw reports the pending exception.  False
// when a tool failed: its error is then pending, in place of what was.
bool observe(PyThreadState* tstate, compat::EventState& state, compat::InterpreterFrame& frame,
             compat::Event event, PyObject* arg = Py_None);

}  // namespace frame
