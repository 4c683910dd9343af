// Reads of interpreter structures for which 3.11 has no public function.
// Each one depends on the layout of a non-limited 3.11 header; keeping them
// together means a move to another interpreter version touches one file.
#pragma once

#include "ref.hpp"

namespace frame::compat {

// A generator made by a function decorated as an iterable coroutine is
// awaited as it is.  The flag sits on the generator's code object, and 3.11
// offers no accessor for a generator's code (PyGen_GetCode arrived later).
inline bool is_iterable_coroutine(PyObject* obj) noexcept {
    return PyGen_CheckExact(obj) &&
           (reinterpret_cast<PyGenObject*>(obj)->gi_code->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

// The `value` of a normalised StopIteration instance (borrowed); reading the
// field avoids an attribute lookup on every await that finishes.
inline PyObject* stop_iteration_value(PyObject* stop) noexcept {
    return reinterpret_cast<PyStopIterationObject*>(stop)->value;
}

}  // namespace frame::compat
