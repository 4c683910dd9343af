// The steps a method's frameless form (MethodDef::leaf) is made of.  A call
// runs its body in a frame on the thread's stack because something may look
// at that stack while the body runs: Python code the body calls (a __eq__,
// a __class__ property, a callback), a signal handler, another thread once
// the lock is released, a profiler or sys.monitoring tool.  A form built only
// of the steps below gives none of them a chance: each step runs no Python
// code, allocates nothing, raises nothing and never releases the lock, for
// the objects it vouches for.  For any other object a step answers Unknown,
// and the form gives up (returns nullptr with nothing pending and nothing
// changed, since it only reads): the call then runs the body, in its frame,
// from the start.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace frame::leaf {

enum class Answer : signed char { Unknown = -1, No = 0, Yes = 1 };

inline Answer answer(bool value) noexcept {
    return value ? Answer::Yes : Answer::No;
}

// A form's result: a new reference to True or False.
inline PyObject* result(bool value) noexcept {
    return Py_NewRef(value ? Py_True : Py_False);
}

// obj.name where the instance keeps it inline (see frame::attr): borrowed,
// nullptr when only the full lookup can say.
inline PyObject* attr(PyObject* obj, const Str& name) noexcept {
    return compat::inline_value(obj, name.inline_slot);
}

// d.get(key) of an exact dict of exact str keys, for an exact str key: the
// lookup compares keys by identity and text, so no __eq__ runs, and cannot
// fail (compat::lookup_str).  Borrowed (None when absent, as d.get gives
// it); nullptr for any other dict, whose lookup may call a key's __eq__, or
// a subclass's get.
[[gnu::always_inline]] inline PyObject* get(PyObject* dict, PyObject* key) noexcept {
    PyObject* value = nullptr;
    if (!PyDict_CheckExact(dict) || !PyUnicode_CheckExact(key) || compat::lookup_str(dict, key, &value) < 0) {
        return nullptr;
    }
    return value != nullptr ? value : Py_None;
}

// `key in dict`, with the same conditions as get().
[[gnu::always_inline]] inline Answer contains(PyObject* dict, PyObject* key) noexcept {
    PyObject* value = nullptr;
    if (!PyDict_CheckExact(dict) || !PyUnicode_CheckExact(key) || compat::lookup_str(dict, key, &value) < 0) {
        return Answer::Unknown;
    }
    return answer(value != nullptr);
}

// isinstance(obj, type) for a built-in `type` (no __instancecheck__ of its
// own): known for an object of the type itself and for the types JSON
// decodes to, which report their own type as __class__.  Anything else may
// answer the __class__ lookup that isinstance makes with Python code.
inline Answer is_instance(PyObject* obj, PyTypeObject* type) noexcept {
    PyTypeObject* actual = Py_TYPE(obj);
    if (actual == type) {
        return Answer::Yes;
    }
    if (actual == &PyUnicode_Type || actual == &PyDict_Type || actual == &PyList_Type || actual == &PyLong_Type ||
        actual == &PyFloat_Type || actual == &PyBool_Type || obj == Py_None || actual == &PyTuple_Type) {
        return answer(PyType_IsSubtype(actual, type) != 0);
    }
    return Answer::Unknown;
}

// A form standing for a body that calls out (a builtin consuming a
// generator expression, say) gives up near the recursion limit: those calls
// take levels of their own, and whether one of them fails is for the body
// to find out, in its frame.
inline bool has_levels_for(int calls) noexcept {
    return compat::python_levels_left(compat::thread_state()) > calls;
}

// A loop of a form checks this where the body's loop checks for signals:
// with a handler to run, the body must run instead, in its frame, where the
// handler can see it (and where KeyboardInterrupt gets its entries).
inline bool signal_pending() noexcept {
    return compat::signal_pending();
}

}  // namespace frame::leaf
