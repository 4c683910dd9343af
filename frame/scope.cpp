#include "scope.hpp"

#include "traceback.hpp"

namespace frame {

void raise_pending(bool traced) {
    throw PyError{traced};
}

Ref fetch_exception() noexcept {
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

void restore_exception(Ref exception) noexcept {
    PyObject* value = exception.release();
    if (value == nullptr) {
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
}

void Scope::trace(const PyError& error) const noexcept {
    if (!error.traced) {
        add_traceback(name_, line_);
    }
}

Caught::Caught(const Scope& scope, const PyError& error) noexcept {
    scope.trace(error);
    value_ = fetch_exception();
    saved_handled_ = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(value_.get());
}

Caught::~Caught() {
    PyErr_SetHandledException(saved_handled_.get());
}

bool Caught::matches(Arg type) const noexcept {
    return PyErr_GivenExceptionMatches(value_.get(), type.get()) != 0;
}

void Caught::reraise() {
    restore_exception(value_.dup());
    throw PyError{true};
}

}  // namespace frame
