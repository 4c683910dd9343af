// A method's frame on the thread's stack, the same for every interpreter
// version: made, pushed, popped and released through the frame record of
// the version's header (compat/pyXY.hpp), by the names of our members and
// the version's innermost_frame() and init_frame_state().  Included by
// compat.hpp after that header.
#pragma once

#include <cstddef>

namespace frame::compat {

// Fills `frame` for a call of `code`: the first `nargs` locals are the
// arguments, the current line is the first line.  Not yet on the stack.
inline void init_frame(InterpreterFrame& frame, PyObject* function, PyCodeObject* code, PyObject* globals,
                       PyObject* builtins, PyObject* const* args, Py_ssize_t nargs) noexcept {
    frame.code = code;
    frame.previous = nullptr;
    frame.function = borrowed_ref(function);
    frame.globals = globals;
    frame.builtins = builtins;
    frame.locals = nullptr;
    frame.frame_object = nullptr;
    frame.instr = code_units(code);
    set_local_count(frame, code->co_nlocalsplus);
    init_frame_state(frame);
    // All slots, spelled out: a few stores, where a loop is made a call of
    // memset.
    static_assert(kMaxFrameLocals == 8);
    FrameRef* slots = frame.localsplus;
    slots[0] = slots[1] = slots[2] = slots[3] = slots[4] = slots[5] = slots[6] = slots[7] = kNoRef;
    // Unrolled: a call has a handful of parameters, and a loop over them
    // costs more than they do.
    switch (nargs) {
        case 8: slots[7] = owned_ref(Py_NewRef(args[7])); [[fallthrough]];
        case 7: slots[6] = owned_ref(Py_NewRef(args[6])); [[fallthrough]];
        case 6: slots[5] = owned_ref(Py_NewRef(args[5])); [[fallthrough]];
        case 5: slots[4] = owned_ref(Py_NewRef(args[4])); [[fallthrough]];
        case 4: slots[3] = owned_ref(Py_NewRef(args[3])); [[fallthrough]];
        case 3: slots[2] = owned_ref(Py_NewRef(args[2])); [[fallthrough]];
        case 2: slots[1] = owned_ref(Py_NewRef(args[1])); [[fallthrough]];
        case 1: slots[0] = owned_ref(Py_NewRef(args[0])); [[fallthrough]];
        default: break;
    }
}

// Where a call's frame lives while its body runs: on the thread's own frame
// stack (tstate->datastack_top, cpython/pystate.h), in the place the
// interpreter would give a Python function's frame, when the current chunk
// has room; nullptr otherwise, and the frame goes on the C stack.
// faulthandler's watchdog thread walks the chain without the lock while the
// thread runs on, so it may still be reading a frame just popped: in a chunk
// of the frame stack that memory only ever holds frames, where on the C stack
// the next C call overwrites it with anything at all.  A new chunk is the
// interpreter's to make (its function for that is not exported).
inline InterpreterFrame* reserve_frame(PyThreadState* tstate) noexcept {
    constexpr std::size_t kSlots = sizeof(InterpreterFrame) / sizeof(PyObject*);
    static_assert(sizeof(InterpreterFrame) % sizeof(PyObject*) == 0);
    PyObject** top = tstate->datastack_top;
    if (top != nullptr && kSlots < static_cast<std::size_t>(tstate->datastack_limit - top)) {
        tstate->datastack_top = top + kSlots;
        return reinterpret_cast<InterpreterFrame*>(top);
    }
    return nullptr;
}

// Gives back what reserve_frame took, once the frame is released: the frames
// of any code that releasing ran sat above it, and are gone again.
inline void unreserve_frame(PyThreadState* tstate, InterpreterFrame& frame) noexcept {
    tstate->datastack_top = reinterpret_cast<PyObject**>(&frame);
}

// Makes `frame` the thread's innermost frame.  faulthandler reads the chain
// without the lock, from a signal handler or its watchdog thread, so the
// frame is complete before the store that makes it visible.
inline void push_frame(PyThreadState* tstate, InterpreterFrame& frame) noexcept {
    _PyInterpreterFrame** innermost = innermost_frame(tstate);
    frame.previous = reinterpret_cast<InterpreterFrame*>(*innermost);
    __atomic_store_n(innermost, reinterpret_cast<_PyInterpreterFrame*>(&frame), __ATOMIC_RELEASE);
}

// Takes `frame` off the stack again: its caller is the innermost frame.  Done
// before anything of the frame is released, since releasing may run code
// that walks the stack.
inline void pop_frame(PyThreadState* tstate, InterpreterFrame& frame) noexcept {
    __atomic_store_n(innermost_frame(tstate), reinterpret_cast<_PyInterpreterFrame*>(frame.previous),
                     __ATOMIC_RELEASE);
    frame_left(tstate, frame);
}

inline void release_frame(InterpreterFrame& frame, Py_ssize_t nargs) {
    if (frame.frame_object != nullptr || frame.locals != nullptr) {
        release_frame_slow(frame);
        return;
    }
    // No frame object, so nothing could have written the locals (f_locals,
    // locals() and the debuggers all go through one): they are still the
    // arguments.
    FrameRef* slots = frame.localsplus;
    switch (nargs) {
        case 8: Py_DECREF(ref_object(slots[7])); [[fallthrough]];
        case 7: Py_DECREF(ref_object(slots[6])); [[fallthrough]];
        case 6: Py_DECREF(ref_object(slots[5])); [[fallthrough]];
        case 5: Py_DECREF(ref_object(slots[4])); [[fallthrough]];
        case 4: Py_DECREF(ref_object(slots[3])); [[fallthrough]];
        case 3: Py_DECREF(ref_object(slots[2])); [[fallthrough]];
        case 2: Py_DECREF(ref_object(slots[1])); [[fallthrough]];
        case 1: Py_DECREF(ref_object(slots[0])); [[fallthrough]];
        default: break;
    }
}

}  // namespace frame::compat
