#include "events.hpp"

namespace frame {

bool observe(PyThreadState* tstate, compat::EventState& state, compat::InterpreterFrame& frame,
             compat::Event event, PyObject* arg) {
    ErrorStash pending;
    if (event == compat::Event::Unwind || event == compat::Event::Throw) {
        arg = pending.value();
    }
    if (compat::fire_event(tstate, state, frame, event, arg) < 0) {
        pending.drop();  // as the interpreter drops it for the tool's error
        return false;
    }
    return true;
}

}  // namespace frame
