// What compat does the same way on every interpreter version, written once:
// the frame objects of our frames (by the names of our frame record's
// members and the interpreter's PyFrameObject, pycore_frame.h, whose fields
// kept their names from 3.11 to 3.13) and the lock test at exit.  Holds
// definitions: included by the version's source file alone (compat/pyXY.cpp),
// after the interpreter's internal headers.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include <cstddef>
#include <cstring>
#include <utility>

namespace frame::compat {

bool holds_lock_while_finalizing() noexcept {
    // The lock holder's thread state against this thread's own (NULL once the
    // runtime has dropped its per-thread states, and then nobody may touch).
    // A daemon thread ended while asking for the lock never had its state
    // made current again, so the first is NULL there.
    PyThreadState* mine = PyGILState_GetThisThreadState();
    if (mine != nullptr && thread_state() == mine) {
        return true;
    }
#if defined(__SANITIZE_ADDRESS__)
    // This thread is being ended by a forced unwind.  The unwind removes the
    // frames below without clearing their poisoned redzones, and the
    // sanitizer's own hook before each _Unwind_Resume then writes a local
    // into that stale poison and reports it.  Those frames are gone for good.
    char* here = static_cast<char*>(__builtin_frame_address(0));
    constexpr std::size_t kDeadFrames = 64 * 1024;
    __asan_unpoison_memory_region(here - kDeadFrames, kDeadFrames);
#endif
    return false;
}

namespace {

// The interpreter's take_ownership (Python/frame.c) for one of our frames:
// the frame object gets a copy of the frame in its own storage, with its own
// references to the function and the code (ours were borrowed; the locals
// pass to it as they are), and its caller as f_back.  It is tracked by the
// collector from then on, as the interpreter's are.
void hand_over(PyFrameObject* object, InterpreterFrame& frame) {
    // f_back: the caller's frame object, made now if need be.  Making it may
    // fail (no memory), and it keeps the pending exception aside meanwhile
    // except when it fails; neither may cost the exception of the call.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyFrameObject* back = frame.previous != nullptr ? PyFrame_GetBack(object) : nullptr;
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);

    auto* copy = reinterpret_cast<InterpreterFrame*>(object->_f_frame_data);
    std::memcpy(static_cast<void*>(copy), &frame,
                offsetof(InterpreterFrame, localsplus) + sizeof(FrameRef) * local_count(frame));
    copy->function = owned_ref(Py_XNewRef(ref_object(frame.function)));
    set_local_count(*copy, local_count(frame));  // a count, or a pointer into the copy's own slots
    Py_INCREF(copy->code);
    copy->frame_object = nullptr;
    copy->previous = nullptr;
    copy->owner = FRAME_OWNED_BY_FRAME_OBJECT;
    object->f_frame = reinterpret_cast<_PyInterpreterFrame*>(copy);
    if (object->f_back == nullptr) {
        object->f_back = back;
    } else {
        Py_XDECREF(back);
    }
    frame.locals = nullptr;
    for (int index = 0; index < local_count(frame); ++index) {
        frame.localsplus[index] = kNoRef;
    }
    if (!PyObject_GC_IsTracked(reinterpret_cast<PyObject*>(object))) {
        PyObject_GC_Track(object);
    }
}

}  // namespace

void release_frame_slow(InterpreterFrame& frame) {
    // Off the stack by now: what the releases below run cannot see it.
    if (PyObject* object = std::exchange(frame.frame_object, nullptr)) {
        if (Py_REFCNT(object) > 1) {
            hand_over(reinterpret_cast<PyFrameObject*>(object), frame);
        }
        Py_DECREF(object);
    }
    for (int index = 0; index < local_count(frame); ++index) {
        Py_XDECREF(ref_object(std::exchange(frame.localsplus[index], kNoRef)));
    }
    Py_CLEAR(frame.locals);
}

PyObject* frame_object(PyThreadState* tstate, InterpreterFrame& frame) {
    if (frame.frame_object != nullptr) {
        return frame.frame_object;
    }
    if (*innermost_frame(tstate) == reinterpret_cast<_PyInterpreterFrame*>(&frame)) {
        // The interpreter's own maker, which records it in the frame.
        PyObject* made = reinterpret_cast<PyObject*>(PyEval_GetFrame());
        if (made == nullptr) {
            PyErr_NoMemory();  // PyEval_GetFrame clears its error
        }
        return made;
    }
    // Deeper in the stack or off it (a suspended coroutine): a frame object
    // made the public way, its own storage emptied, then pointed at ours, as
    // the interpreter's maker leaves one (untracked while it points there).
    PyFrameObject* made = PyFrame_New(tstate, frame.code, frame.globals, nullptr);
    if (made == nullptr) {
        return nullptr;
    }
    if (frame.frame_object != nullptr) {
        // Making it ran the collector, and a callback or finaliser asked for
        // this frame's object meanwhile (by gi_frame, or by walking f_back
        // from a frame above): that one may already be held elsewhere, so it
        // stays the frame's, and the new one goes, whole as PyFrame_New made
        // it.  The interpreter's own maker does the same (Python/frame.c).
        Py_DECREF(made);
        return frame.frame_object;
    }
    PyObject_GC_UnTrack(made);
    auto* own = reinterpret_cast<InterpreterFrame*>(made->f_frame);
    Py_XDECREF(ref_object(std::exchange(own->function, kNoRef)));
    Py_CLEAR(own->locals);
    PyCodeObject* code = std::exchange(own->code, nullptr);
    set_local_count(*own, 0);
    own->owner = FRAME_CLEARED;  // neither owner: what the interpreter marks a discarded frame with
    Py_DECREF(code);
    made->f_frame = reinterpret_cast<_PyInterpreterFrame*>(&frame);
    frame.frame_object = reinterpret_cast<PyObject*>(made);
    return frame.frame_object;
}

// --- dicts of str keys ----------------------------------------------------------
//
// compat/str_dict.hpp probes the keys objects through a mirror of their
// layout; this version's own headers must agree with it field by field.

static_assert(sizeof(StrDictKeys) == sizeof(PyDictKeysObject));
static_assert(offsetof(StrDictKeys, refcnt) == offsetof(PyDictKeysObject, dk_refcnt));
static_assert(offsetof(StrDictKeys, log2_size) == offsetof(PyDictKeysObject, dk_log2_size));
static_assert(offsetof(StrDictKeys, log2_index_bytes) == offsetof(PyDictKeysObject, dk_log2_index_bytes));
static_assert(offsetof(StrDictKeys, kind) == offsetof(PyDictKeysObject, dk_kind));
static_assert(offsetof(StrDictKeys, version) == offsetof(PyDictKeysObject, dk_version));
static_assert(offsetof(StrDictKeys, usable) == offsetof(PyDictKeysObject, dk_usable));
static_assert(offsetof(StrDictKeys, nentries) == offsetof(PyDictKeysObject, dk_nentries));
static_assert(offsetof(StrDictKeys, indices) == offsetof(PyDictKeysObject, dk_indices));
static_assert(sizeof(StrDictEntry) == sizeof(PyDictUnicodeEntry));
static_assert(offsetof(StrDictEntry, key) == offsetof(PyDictUnicodeEntry, me_key));
static_assert(offsetof(StrDictEntry, value) == offsetof(PyDictUnicodeEntry, me_value));
static_assert(kGeneralKeys == DICT_KEYS_GENERAL && DICT_KEYS_UNICODE != kGeneralKeys &&
              DICT_KEYS_SPLIT != kGeneralKeys);
static_assert(kEmptySlot == DKIX_EMPTY);

}  // namespace frame::compat
