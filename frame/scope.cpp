#include "scope.hpp"

#include "traceback.hpp"

namespace frame {

void raise_pending(bool traced) {
    throw PyError{traced};
}

Ref fetch_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
}

void restore_exception(Ref exception) {
    PyObject* value = exception.release();
    if (value == nullptr) {
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
}

void Scope::trace(const PyError& error) const {
    if (!error.traced) {
        add_traceback(name_, line());
    }
}

Caught::Caught(Scope& scope, const PyError& error)
    : scope_(scope), raise_line_(scope.line()), traced_(error.traced), value_(fetch_exception()) {
    saved_handled_ = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(value_.get());
}

Caught::~Caught() noexcept(false) {
    if (!compat::may_touch_objects()) {
        return;
    }
    // Left with an error raised in the clause itself, before any test caught
    // or passed on the exception: the new error has it as __context__, and
    // there it carries its own entry.  A bare raise leaves it to the
    // function's entry instead.
    if (!traced_ && !reraised_ && value_ && PyErr_Occurred()) {
        ErrorStash raised;
        trace_caught();
    }
    PyErr_SetHandledException(saved_handled_.get());
}

void Caught::trace_caught() {
    restore_exception(std::move(value_));
    add_traceback(scope_.name(), raise_line_);
    value_ = fetch_exception();  // the same instance, now with the entry
    traced_ = true;
}

namespace {

// What the interpreter accepts after `except`: a class deriving from
// BaseException, or a tuple of such classes.
bool is_exception_class_or_tuple(PyObject* type) noexcept {
    if (!PyTuple_Check(type)) {
        return PyExceptionClass_Check(type);
    }
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(type); ++index) {
        if (!PyExceptionClass_Check(PyTuple_GET_ITEM(type, index))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool Caught::matches(Arg type) {
    if (!is_exception_class_or_tuple(type.get())) {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
        raise_pending();
    }
    if (!PyErr_GivenExceptionMatches(value_.get(), type.get())) {
        return false;
    }
    if (!traced_) {
        trace_caught();
    }
    return true;
}

void Caught::reraise() {
    reraised_ = true;
    restore_exception(value_.dup());
    scope_.at(raise_line_);
    throw PyError{traced_};
}

}  // namespace frame
