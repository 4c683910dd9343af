// CPython 3.11: the out-of-line half of compat.hpp, reading the internal
// layouts of the dict (pycore_dict.h), the runtime state (pycore_runtime.h),
// the recursion check (pycore_ceval.h) and the frame (pycore_frame.h).
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
// pycore_atomic.h declares its atomic ints with <stdatomic.h>, which C++
// has only from C++23 on; its variant for the compiler's atomic builtins
// declares them as plain ints, which have the same size and alignment.
#undef HAVE_STD_ATOMIC
#include <frameobject.h>
#include <internal/pycore_ceval.h>
#include <internal/pycore_dict.h>
#include <internal/pycore_frame.h>
#include <internal/pycore_runtime.h>

#include "../compat.hpp"
#include "common.hpp"

#include <cstddef>
#include <cstring>
#include <utility>

namespace frame::compat {

static_assert(sizeof(_Py_atomic_int) == sizeof(int));
const int* const signals_pending = &_PyRuntime.ceval.signals_pending._value;

const volatile std::uintptr_t& runtime_finalizing = _PyRuntime._finalizing._value;
const volatile std::uintptr_t& running_thread_state = _PyRuntime.gilstate.tstate_current._value;

int check_recursive_call(PyThreadState* tstate, const char* where) noexcept {
    return _Py_CheckRecursiveCall(tstate, where);
}

// The profile function, called as the interpreter calls it for a frame of
// its own (ceval.c, call_trace): not from inside a trace or profile
// function, with tracing suspended meanwhile, on the frame's object.  A
// start, resumption or throw is a call event; a return, yield or unwind a
// return event, whose argument is the value, or nullptr for an exception.
int fire_event(PyThreadState* tstate, EventState&, InterpreterFrame& frame, Event event, PyObject* arg) {
    Py_tracefunc function = tstate->c_profilefunc;
    if (function == nullptr || tstate->tracing) {
        return 0;
    }
    PyObject* object = frame_object(tstate, frame);
    if (object == nullptr) {
        return -1;
    }
    int what = PyTrace_CALL;
    switch (event) {
        case Event::Start:
        case Event::Resume:
        case Event::Throw:
            arg = Py_None;
            break;
        case Event::Return:
        case Event::Yield:
            what = PyTrace_RETURN;
            break;
        case Event::Unwind:
            what = PyTrace_RETURN;
            arg = nullptr;
            break;
    }
    PyThreadState_EnterTracing(tstate);
    const int result = function(tstate->c_profileobj, reinterpret_cast<PyFrameObject*>(object), what, arg);
    PyThreadState_LeaveTracing(tstate);
    return result;
}

bool recycle_frame(PyObject* frame) noexcept {
    if (Py_REFCNT(frame) != 1) {
        return false;
    }
    PyFrameObject* f = reinterpret_cast<PyFrameObject*>(frame);
    // Released last: a finaliser they run sees the frame already clean.
    PyObject* trace = std::exchange(f->f_trace, nullptr);
    PyObject* back = reinterpret_cast<PyObject*>(std::exchange(f->f_back, nullptr));
    PyObject* locals = std::exchange(f->f_frame->f_locals, nullptr);
    f->f_trace_lines = 1;
    f->f_trace_opcodes = 0;
    f->f_fast_as_locals = 0;
    f->f_lineno = 0;
    Py_XDECREF(trace);
    Py_XDECREF(back);
    Py_XDECREF(locals);
    return Py_REFCNT(frame) == 1;
}

// The layout the frame fills in for the interpreter (compat.hpp).
#define SAME_FIELD(ours, theirs)                                                   \
    static_assert(offsetof(InterpreterFrame, ours) == offsetof(_PyInterpreterFrame, theirs) && \
                  sizeof(InterpreterFrame::ours) == sizeof(_PyInterpreterFrame::theirs))
SAME_FIELD(function, f_func);
SAME_FIELD(globals, f_globals);
SAME_FIELD(builtins, f_builtins);
SAME_FIELD(locals, f_locals);
SAME_FIELD(code, f_code);
SAME_FIELD(frame_object, frame_obj);
SAME_FIELD(previous, previous);
SAME_FIELD(instr, prev_instr);
SAME_FIELD(stacktop, stacktop);
SAME_FIELD(is_entry, is_entry);
SAME_FIELD(owner, owner);
#undef SAME_FIELD
static_assert(offsetof(InterpreterFrame, localsplus) == offsetof(_PyInterpreterFrame, localsplus));
static_assert(kOwnedByThread == FRAME_OWNED_BY_THREAD);

void remember_inline_slot(PyObject* obj, PyObject* name, PyObject* value, InlineSlot& slot) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    // A class with __getattr__ or __getattribute__ reads its own way; one
    // with a class attribute of this name (a property, say) may not read the
    // instance value at all.  Looking it up also gives the type its tag.
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) || type->tp_getattro != PyObject_GenericGetAttr ||
        _PyType_Lookup(type, name) != nullptr || !(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ||
        type->tp_version_tag == 0) {
        return;
    }
    PyObject** values = reinterpret_cast<PyObject***>(obj)[-4];
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    if (values == nullptr || keys == nullptr || keys->dk_kind != DICT_KEYS_SPLIT) {
        return;
    }
    // The shared keys only ever grow, so an index stays valid for the type.
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t index = 0; index < keys->dk_nentries; ++index) {
        if (entries[index].me_key == name) {
            if (values[index] == value) {
                slot.index = index;
                slot.type_version = type->tp_version_tag;
            }
            return;
        }
    }
}

// Declared in cpython/object.h.
int get_method(PyObject* obj, PyObject* name, PyObject** method) {
    return _PyObject_GetMethod(obj, name, method);
}


// --- the layouts, checked at import (common.hpp) --------------------------------

namespace {

// 3.11 has one counter.
layout::RecursionDepth recursion_remaining(PyThreadState* tstate) noexcept {
    return {tstate->recursion_remaining, 0};
}

// The probe called from C costs two levels: its frame, counted as the
// interpreter's loop is entered for it (ceval.c, _PyEval_EvalFrameDefault),
// and its call of the C function (methodobject.c,
// cfunction_vectorcall_NOARGS); as enter_recursive_call and
// enter_native_call count them.
constexpr layout::RecursionDepth kProbeLevels{2, 0};

int ignore_event(PyObject*, PyFrameObject*, int, PyObject*) {
    return 0;
}

// The thread's profile and trace objects are the ones sys.getprofile() and
// sys.gettrace() give; then, when neither a profiler nor a tracer is set on
// this thread, the flags events_wanted() reads say a profiler listens while
// one is set through PyEval_SetProfile, and not once it is taken away again.
const char* check_profiler(PyThreadState* tstate) {
    constexpr const char* kDisagrees = "the profiler it reads is not the one sys.setprofile() sets";
    PyObject* getprofile = PySys_GetObject("getprofile");  // borrowed
    PyObject* gettrace = PySys_GetObject("gettrace");
    if (getprofile == nullptr || gettrace == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.getprofile or sys.gettrace");
        raise_pending();
    }
    Ref profile = take(PyObject_CallNoArgs(getprofile));
    Ref trace = take(PyObject_CallNoArgs(gettrace));
    PyObject* profile_read = tstate->c_profileobj != nullptr ? tstate->c_profileobj : Py_None;
    PyObject* trace_read = tstate->c_traceobj != nullptr ? tstate->c_traceobj : Py_None;
    if (profile_read != profile.get() || trace_read != trace.get()) {
        return kDisagrees;
    }
    if (profile.get() != Py_None || trace.get() != Py_None || tstate->c_profilefunc != nullptr ||
        tstate->c_tracefunc != nullptr) {
        return nullptr;  // someone's own: not to be touched
    }
    EventState state;
    if (events_wanted(tstate, state)) {
        return kDisagrees;
    }
    Ref marker = take(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    PyEval_SetProfile(ignore_event, marker.get());
    const bool wanted = events_wanted(tstate, state) && !layout::fault("profiler");
    // An audit hook may have refused it (and PyEval_SetProfile reported that).
    const bool was_set = tstate->c_profileobj == marker.get();
    PyEval_SetProfile(nullptr, nullptr);
    if (was_set && (!wanted || events_wanted(tstate, state))) {
        return kDisagrees;
    }
    return nullptr;
}

}  // namespace

int check_layouts(const char** disagreement) {
    return layout::check_all<recursion_remaining>(disagreement, kProbeLevels, check_profiler);
}

}  // namespace frame::compat

#endif  // CPython 3.11
