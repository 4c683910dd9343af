// Everything the frame takes from outside CPython's stable public API, each
// with the reason it is needed.  Nothing outside compat.hpp and compat.cpp
// touches private fields or internal headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace frame::compat {

// The runtime's record of the thread state running Py_FinalizeEx (0 before).
// From the moment it is set, a daemon thread that asks for the interpreter
// lock is ended with pthread_exit, which glibc runs as a forced unwind through
// every C++ frame on that thread: the destructors that run then belong to a
// thread that does not hold the lock and must not touch Python objects.  The
// field lives in the internal runtime struct (pycore_runtime.h), and reading
// it is the only test cheap enough for every reference a destructor releases.
extern const volatile std::uintptr_t& runtime_finalizing;

// While the interpreter finalises: whether this thread is the one holding the
// interpreter lock.  Compares thread states by address only, because those of
// ended threads may already be freed.
bool holds_lock_while_finalizing() noexcept;

// Whether this thread may touch Python objects: always, except on a thread
// being ended at interpreter exit.  Leaking what such a thread held is what
// the interpreter itself does with the frames of the threads it ends.
inline bool may_touch_objects() noexcept {
    return runtime_finalizing == 0 || holds_lock_while_finalizing();
}

// The thread state holding the interpreter lock: the runtime's own record,
// read in place where the interpreter's inline accessor reads it
// (pycore_pystate.h); the public call costs more than the counting below.
extern const volatile std::uintptr_t& running_thread_state;

inline PyThreadState* thread_state() noexcept {
    return reinterpret_cast<PyThreadState*>(running_thread_state);
}

// The slow half of the recursion check: the limit may have been raised since
// the counter was set; otherwise RecursionError "maximum recursion depth
// exceeded<where>".  -1 with the error set.
int check_recursive_call(PyThreadState* tstate, const char* where) noexcept;

// One level of recursion, counted the way the interpreter counts each
// function call (pycore_ceval.h): the counter lives in the thread state's
// public struct, and only an exhausted counter costs a call.  True when the
// limit is reached, with RecursionError set.
inline bool enter_recursive_call(PyThreadState* tstate, const char* where) noexcept {
    return tstate->recursion_remaining-- <= 0 && check_recursive_call(tstate, where) < 0;
}

inline void leave_recursive_call(PyThreadState* tstate) noexcept {
    tstate->recursion_remaining++;
}

// Whether the thread has a profile function: the flag the interpreter tests
// before each event of its own frames (cframe->use_tracing, cleared while a
// trace or profile function runs) and the function itself.
inline bool profiling(PyThreadState* tstate) noexcept {
    return tstate->cframe->use_tracing != 0 && tstate->c_profilefunc != nullptr;
}

// Calls the thread's profile function, as the interpreter does for a frame
// of its own (ceval.c, call_trace): not from inside a trace or profile
// function, and with tracing suspended meanwhile.  -1 when it failed.
int call_profile_function(PyThreadState* tstate, PyObject* frame, int what, PyObject* arg) noexcept;

// What a profiler reads of a frame and Python code cannot set: its current
// line (f_lineno) and its caller (f_back; `back` is a new reference or
// nullptr, and replaces the old one).
void set_frame_line(PyObject* frame, int line) noexcept;
void set_frame_back(PyObject* frame, PyObject* back) noexcept;

// Whether a frame made for a traceback entry can serve the next entry made at
// the same place: only when the caller's reference is its only one, so no
// traceback, debugger or profiler can see it any more.  What anyone may have
// left on it while it could be seen (f_trace, f_locals, f_back) is cleared,
// so it is then as good as a new frame, as an object from a free list is.
bool recycle_frame(PyObject* frame) noexcept;

// Where the instances of one type keep an attribute: the type's version tag
// when it was found, and the index in the instances' inline value arrays.
struct InlineSlot {
    std::uint32_t type_version = 0;  // 0: nothing found yet
    Py_ssize_t index = 0;
};

// An instance of a class made by a class statement keeps its attributes in an
// array of values laid out by keys its type shares among all its instances,
// until someone asks for its __dict__ (pycore_object.h, _PyObject_ValuesPointer:
// the pointer sits four words before the object).  The interpreter reads
// `self.name` from there with the same two checks: the type's version tag is
// unchanged since the index was found (so no class attribute of that name has
// appeared and the lookup is still the plain instance one), and the instance
// still has its inline values.  The tag belongs to one type, so an object of
// another type never passes.  Borrowed; nullptr when the fast path does not
// apply or the attribute is not set.
inline PyObject* inline_value(PyObject* obj, const InlineSlot& slot) noexcept {
    if (slot.type_version == 0 || Py_TYPE(obj)->tp_version_tag != slot.type_version) {
        return nullptr;
    }
    PyObject** values = reinterpret_cast<PyObject***>(obj)[-4];
    return values != nullptr ? values[slot.index] : nullptr;
}

// After `value` was read as obj.name the slow way: records where obj's type
// keeps `name` when the plain instance lookup is what found it.
void remember_inline_slot(PyObject* obj, PyObject* name, PyObject* value, InlineSlot& slot) noexcept;

// The dict version tag changes on every modification of any dict and is never
// reused, so a cached global stays valid while the tags of the module
// namespace and the builtins are unchanged.  The field is public in 3.11's
// headers (cpython/dictobject.h) and has no accessor.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// A generator made by a function decorated as an iterable coroutine is
// awaited as it is.  The flag sits on the generator's code object; 3.11 has
// no accessor for a generator's code (cpython/genobject.h layout).
inline bool is_iterable_coroutine(PyObject* obj) noexcept {
    return PyGen_CheckExact(obj) &&
           (reinterpret_cast<PyGenObject*>(obj)->gi_code->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

// The `value` of a normalised StopIteration instance (borrowed), read from
// the struct of cpython/pyerrors.h: it saves an attribute lookup on every
// await that finishes.
inline PyObject* stop_iteration_value(PyObject* stop) noexcept {
    return reinterpret_cast<PyStopIterationObject*>(stop)->value;
}

// A coroutine of the interpreter that has not started cannot be suspended in
// an await of its own, so `await` needs no cr_await lookup for it (the common
// case: `await response.json()` awaits a coroutine made just now).  The state
// byte is in the public struct of cpython/genobject.h; its values are in an
// internal header, where FRAME_CREATED is -2 in 3.11.
inline bool is_unstarted_coroutine(PyObject* coro) noexcept {
    return reinterpret_cast<PyCoroObject*>(coro)->cr_frame_state == -2;
}

// The interpreter's C signal handler only sets flags; the Python-level
// handler (the one that raises KeyboardInterrupt for Ctrl-C) runs when the
// main thread next checks for them, which the interpreter's own loops do at
// every backward jump.  A loop of the frame that walks a caller's iterable
// without calling Python code must check too, or an endless iterable could
// never be interrupted.  PyErr_CheckSignals on every element costs a call, a
// main-thread test and an atomic load (a 100-element scan took 15% longer);
// the flag the handler sets for the interpreter's loops is one load.  It is
// _PyRuntime.ceval.signals_pending (pycore_runtime.h), shared by all
// interpreters; only the interpreter's own loop clears it, so a set flag
// says no more than that PyErr_CheckSignals may have work to do.
extern const int* const signals_pending;

inline bool signal_pending() noexcept {
    return __atomic_load_n(signals_pending, __ATOMIC_RELAXED) != 0;
}

// sys.set_coroutine_origin_tracking_depth() of the thread: the field of the
// thread state's public struct (cpython/pystate.h) that the interpreter reads
// when it makes a coroutine; 3.11 has only a private function for it.
inline int origin_tracking_depth(PyThreadState* tstate) noexcept {
    return tstate->coroutine_origin_tracking_depth;
}

}  // namespace frame::compat
