// Owned references and the one error convention of the frame.
//
// Ownership rules:
//  1. A Ref owns exactly one strong reference, or nothing at all.
//  2. Ref::steal(p) takes over a new reference; Ref::borrow(p) adds one.
//  3. A Ref moves and never copies; dup() is the only way to add a reference.
//  4. release() hands the reference to a caller that steals it (a C API return).
//  5. A bare PyObject* is borrowed and must not outlive the Ref it came from.
//
// Errors: a helper that fails leaves a Python exception set and throws PyError.
// Every slot and vectorcall entry catches PyError exactly once.
//
// The one unwind that is not ours: at interpreter exit a daemon thread that
// waits for the interpreter lock is ended with pthread_exit, which glibc runs
// as a forced unwind (abi::__forced_unwind) through every C++ frame on the
// thread.  So nothing that can call into the interpreter is noexcept (that
// would turn the unwind into std::terminate), and no destructor touches a
// Python object on such a thread (compat::may_touch_objects).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.hpp"

#include <initializer_list>
#include <utility>

namespace frame {

class Str;
class KwNames;

// Thrown only while a Python exception is set.  `traced` is true once the
// raising function has already added its own traceback entry (an except
// clause that did not match re-raises a traced error).
struct PyError {
    bool traced = false;
};

// Throws PyError; a Python exception must already be set.
[[noreturn]] void raise_pending(bool traced = false);

class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    // Releasing the old value may run any Python code (a __del__), so these
    // may be unwound through, like every call into the interpreter.
    Ref& operator=(Ref&& other) {
        Ref old(std::move(*this));
        obj_ = std::exchange(other.obj_, nullptr);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    [[gnu::always_inline]] ~Ref() noexcept(false) {
#if defined(__SANITIZE_ADDRESS__)
        // Tested whatever the Ref holds: on a thread being ended, the test is
        // also where the frames already unwound are let go of (compat/common.hpp).
        if (compat::may_touch_objects() && obj_ != nullptr) {
            Py_DECREF(obj_);
        }
#else
        // An emptied Ref (moved from, released) is the common case, and the
        // test for it is inlined where the Ref ends.
        if (obj_ != nullptr && compat::may_touch_objects()) {
            Py_DECREF(obj_);
        }
#endif
    }

    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref dup() const noexcept { return borrow(obj_); }
    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset() { Ref old(std::move(*this)); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// A borrowed argument: a Ref (often a temporary that lives to the end of the
// full expression) or a bare borrowed pointer.  Only ever used as a parameter.
class Arg {
public:
    Arg(const Ref& ref) noexcept : obj_(ref.get()) {}
    Arg(PyObject* obj) noexcept : obj_(obj) {}
    Arg(const Str& str) noexcept;         // constants.hpp
    Arg(const KwNames& names) noexcept;   // constants.hpp
    PyObject* get() const noexcept { return obj_; }

private:
    PyObject* obj_;
};

using Args = std::initializer_list<Arg>;

// Takes a new reference from a C API call; throws when the call failed.
inline Ref take(PyObject* new_ref) {
    if (new_ref == nullptr) {
        raise_pending();
    }
    return Ref::steal(new_ref);
}

// Checks the status of a C API call that returns -1 on failure.
inline int ok(int status) {
    if (status < 0) {
        raise_pending();
    }
    return status;
}

// The setter of a str-only attribute such as __name__ or __qualname__:
// deleting or assigning a non-str raises "<attribute> must be set to a string
// object", as the interpreter's own functions and coroutines do.
inline int assign_str_attribute(Ref& slot, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    slot = Ref::borrow(value);
    return 0;
}

// Keeps the pending exception aside for its lifetime and restores it after
// (finalisers, warnings, traceback entries).
class ErrorStash {
public:
    ErrorStash() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~ErrorStash() noexcept(false) {
        if (!dropped_ && compat::may_touch_objects()) {
            PyErr_Restore(type_, value_, traceback_);
        }
    }
    ErrorStash(const ErrorStash&) = delete;
    ErrorStash& operator=(const ErrorStash&) = delete;
    bool holds_error() const noexcept { return type_ != nullptr; }
    // The exception kept aside (borrowed), as the error indicator held it.
    PyObject* value() const noexcept { return value_; }
    // Lets the stashed exception go: the one raised meanwhile stays pending.
    void drop() {
        dropped_ = true;
        Py_CLEAR(type_);
        Py_CLEAR(value_);
        Py_CLEAR(traceback_);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
    bool dropped_ = false;
};

}  // namespace frame
