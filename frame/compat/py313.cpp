// CPython 3.13: the out-of-line half of compat.hpp, reading the internal
// layouts of the dict (pycore_dict.h), the runtime state (pycore_runtime.h),
// the instances' inline values (pycore_object.h) and the frame
// (pycore_frame.h), and raising the events of sys.monitoring through its C API.
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#include <frameobject.h>
// 3.13's pycore_object.h (which pycore_dict.h includes) has an inline
// function with an unused parameter in the release build.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <internal/pycore_ceval.h>
#include <internal/pycore_dict.h>
#include <internal/pycore_frame.h>
#include <internal/pycore_interp.h>
#include <internal/pycore_runtime.h>
#pragma GCC diagnostic pop

#include "../compat.hpp"
#include "common.hpp"

#include <cstddef>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

namespace frame::compat {

PyThreadState* const volatile& runtime_finalizing = _PyRuntime._finalizing;

int check_recursive_call(PyThreadState* tstate, const char* where) noexcept {
    return _Py_CheckRecursiveCall(tstate, where);
}

// The interpreter's check of the Python limit (ceval.c,
// _Py_CheckRecursiveCallPy), which it does not export.  sys.setrecursionlimit
// updates the counter of every thread at once in 3.12 and later, so an
// exhausted counter is the limit itself.  Once a RecursionError is being
// handled (recursion_headroom), 50 more levels are allowed for the handling.
int check_python_recursion(PyThreadState* tstate) noexcept {
    if (tstate->recursion_headroom) {
        if (tstate->py_recursion_remaining < -50) {
            Py_FatalError("Cannot recover from Python stack overflow.");
        }
        return 0;
    }
    tstate->recursion_headroom++;
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    tstate->recursion_headroom--;
    ++tstate->py_recursion_remaining;
    return -1;
}

// --- events -------------------------------------------------------------------

namespace {

// The event type of each compat::Event, in its order.
constexpr std::uint8_t kEventTypes[kMonitoredEvents] = {
    PY_MONITORING_EVENT_PY_START,  PY_MONITORING_EVENT_PY_RESUME, PY_MONITORING_EVENT_PY_THROW,
    PY_MONITORING_EVENT_PY_RETURN, PY_MONITORING_EVENT_PY_YIELD,  PY_MONITORING_EVENT_PY_UNWIND,
};
static_assert(static_cast<int>(Event::Start) == 0 && static_cast<int>(Event::Unwind) == kMonitoredEvents - 1);

// An exception event reports the exception pending when it fires, and leaves
// it pending again unless a tool failed; the caller keeps its own.
int fire_exception_event(int (*fire)(PyMonitoringState*, PyObject*, int32_t), PyMonitoringState* state,
                         PyObject* code, int32_t offset, PyObject* exception) {
    PyErr_SetRaisedException(Py_NewRef(exception));
    if (fire(state, code, offset) < 0) {
        return -1;
    }
    Py_XDECREF(PyErr_GetRaisedException());
    return 0;
}

// The C API keeps one state per event for what it is given, and a tool
// returning sys.monitoring.DISABLE takes itself out of that state.  The
// interpreter takes it out of one instruction only (the place of the event
// in the code object) until sys.monitoring.restart_events(), keeping it
// through other changes of the tools' events as long as the tool still
// listens.  So each firing gets a copy of the state without the tools
// disabled at its place, and what DISABLE takes out of the copy is kept
// here, per code object and place: the unit of the line the event happens
// at (the RESUME, unit 0, for a start).  The code objects of the tables live
// as long as the process, and only the interpreter that imported the
// modules runs them.
struct DisabledSite {
    std::ptrdiff_t unit;
    Event event;
    std::uint8_t tools;
};

struct Disabled {
    std::uint64_t version = 0;  // the state's version when last looked at
    std::vector<DisabledSite> sites;
};

Disabled& disabled_for(PyCodeObject* code) {
    static auto* const table = new std::unordered_map<PyCodeObject*, Disabled>;
    return (*table)[code];
}

std::uint8_t disabled_tools(const EventState& state, PyCodeObject* code, Event event, std::ptrdiff_t unit) {
    Disabled& disabled = disabled_for(code);
    if (disabled.version != state.version) {
        if (_PyInterpreterState_GET()->last_restart_version > disabled.version) {
            disabled.sites.clear();
        } else {
            for (DisabledSite& site : disabled.sites) {
                site.tools &= state.states[static_cast<int>(site.event)].active;
            }
        }
        disabled.version = state.version;
    }
    for (const DisabledSite& site : disabled.sites) {
        if (site.unit == unit && site.event == event) {
            return site.tools;
        }
    }
    return 0;
}

void disable_at(PyCodeObject* code, Event event, std::ptrdiff_t unit, std::uint8_t tools) {
    Disabled& disabled = disabled_for(code);
    for (DisabledSite& site : disabled.sites) {
        if (site.unit == unit && site.event == event) {
            site.tools |= tools;
            return;
        }
    }
    disabled.sites.push_back({unit, event, tools});
}

int fire_here(PyMonitoringState* here, PyObject* code, int32_t offset, Event event, PyObject* arg) {
    switch (event) {
        case Event::Start:
            return PyMonitoring_FirePyStartEvent(here, code, offset);
        case Event::Resume:
            return PyMonitoring_FirePyResumeEvent(here, code, offset);
        case Event::Return:
            return PyMonitoring_FirePyReturnEvent(here, code, offset, arg);
        case Event::Yield:
            return PyMonitoring_FirePyYieldEvent(here, code, offset, arg);
        case Event::Throw:
            return fire_exception_event(_PyMonitoring_FirePyThrowEvent, here, code, offset, arg);
        case Event::Unwind:
            return fire_exception_event(_PyMonitoring_FirePyUnwindEvent, here, code, offset, arg);
    }
    return 0;
}

}  // namespace

void refresh_events(EventState& state) noexcept {
    PyMonitoring_EnterScope(state.states, &state.version, kEventTypes, kMonitoredEvents);
}

// The event at the frame's current instruction, its offset in bytes as the
// interpreter gives it for its own frames: the unit of the current line,
// which is the first unit (a RESUME) at the start.  Not from inside a tool's
// callback (tstate->tracing), as the interpreter's own events.
int fire_event(PyThreadState* tstate, EventState& state, InterpreterFrame& frame, Event event, PyObject* arg) {
    const PyMonitoringState& monitored = state.states[static_cast<int>(event)];
    if (!monitored.active || tstate->tracing) {
        return 0;
    }
    const std::ptrdiff_t unit = frame.instr - code_units(frame.code);
    PyMonitoringState here = monitored;
    here.active &= static_cast<std::uint8_t>(~disabled_tools(state, frame.code, event, unit));
    if (!here.active) {
        return 0;
    }
    const std::uint8_t asked = here.active;
    const auto offset = static_cast<int32_t>(sizeof(CodeUnit) * unit);
    const int result = fire_here(&here, reinterpret_cast<PyObject*>(frame.code), offset, event, arg);
    if (const std::uint8_t turned_off = asked & static_cast<std::uint8_t>(~here.active)) {
        disable_at(frame.code, event, unit, turned_off);
    }
    return result;
}

// --- frames ---------------------------------------------------------------------

bool recycle_frame(PyObject* frame) noexcept {
    if (Py_REFCNT(frame) != 1) {
        return false;
    }
    PyFrameObject* f = reinterpret_cast<PyFrameObject*>(frame);
    // Released last: a finaliser they run sees the frame already clean.
    // 3.13 keeps what f_locals was given beyond the code's own names in
    // f_extra_locals, and what PyEval_GetLocals lent in f_locals_cache.
    PyObject* trace = std::exchange(f->f_trace, nullptr);
    PyObject* back = reinterpret_cast<PyObject*>(std::exchange(f->f_back, nullptr));
    PyObject* locals = std::exchange(f->f_frame->f_locals, nullptr);
    PyObject* extra = std::exchange(f->f_extra_locals, nullptr);
    PyObject* cache = std::exchange(f->f_locals_cache, nullptr);
    f->f_trace_lines = 1;
    f->f_trace_opcodes = 0;
    f->f_lineno = 0;
    Py_XDECREF(trace);
    Py_XDECREF(back);
    Py_XDECREF(locals);
    Py_XDECREF(extra);
    Py_XDECREF(cache);
    return Py_REFCNT(frame) == 1;
}

// The layout the frame fills in for the interpreter (compat.hpp).
#define SAME_FIELD(ours, theirs)                                                   \
    static_assert(offsetof(InterpreterFrame, ours) == offsetof(_PyInterpreterFrame, theirs) && \
                  sizeof(InterpreterFrame::ours) == sizeof(_PyInterpreterFrame::theirs))
SAME_FIELD(code, f_executable);
SAME_FIELD(previous, previous);
SAME_FIELD(function, f_funcobj);
SAME_FIELD(globals, f_globals);
SAME_FIELD(builtins, f_builtins);
SAME_FIELD(locals, f_locals);
SAME_FIELD(frame_object, frame_obj);
SAME_FIELD(instr, instr_ptr);
SAME_FIELD(stacktop, stacktop);
SAME_FIELD(return_offset, return_offset);
SAME_FIELD(owner, owner);
#undef SAME_FIELD
static_assert(offsetof(InterpreterFrame, localsplus) == offsetof(_PyInterpreterFrame, localsplus));
static_assert(kOwnedByThread == FRAME_OWNED_BY_THREAD);
static_assert(kFrameCreated == FRAME_CREATED);
static_assert(kSignalsPendingBit == _PY_SIGNALS_PENDING_BIT);
static_assert(kEvalEventBits == _PY_EVAL_EVENTS_MASK);
static_assert(offsetof(PyDictObject, ma_version_tag) == offsetof(PyDictObject, ma_used) + sizeof(Py_ssize_t) &&
              sizeof(PyDictObject::ma_version_tag) == sizeof(std::uint64_t));
static_assert(offsetof(InlineValues, valid) == offsetof(PyDictValues, valid) &&
              offsetof(InlineValues, values) == offsetof(PyDictValues, values));

void remember_inline_slot(PyObject* obj, PyObject* name, PyObject* value, InlineSlot& slot) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    // A class with __getattr__ or __getattribute__ reads its own way; one
    // with a class attribute of this name (a property, say) may not read the
    // instance value at all.  Looking it up also gives the type its tag.
    // 3.13 no longer sets Py_TPFLAGS_VALID_VERSION_TAG (typeobject.c keeps
    // the tag valid exactly while it is not 0), so testing the flag would
    // refuse every type and leave every read on the slow path.
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES) || type->tp_getattro != PyObject_GenericGetAttr ||
        _PyType_Lookup(type, name) != nullptr || type->tp_version_tag == 0) {
        return;
    }
    // Right after the object's header (pycore_object.h, _PyObject_InlineValues).
    auto* values = reinterpret_cast<PyDictValues*>(reinterpret_cast<char*>(obj) + sizeof(PyObject));
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    if (!values->valid || keys == nullptr || keys->dk_kind != DICT_KEYS_SPLIT) {
        return;
    }
    // The shared keys only ever grow, so an index stays valid for the type.
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t index = 0; index < keys->dk_nentries && index < values->capacity; ++index) {
        if (entries[index].me_key == name) {
            if (values->values[index] == value) {
                slot.index = index;
                slot.type_version = type->tp_version_tag;
            }
            return;
        }
    }
}

// Declared in pycore_object.h, exported.
int get_method(PyObject* obj, PyObject* name, PyObject** method) {
    return _PyObject_GetMethod(obj, name, method);
}


// --- the layouts, checked at import (common.hpp) --------------------------------

namespace {

layout::RecursionDepth recursion_remaining(PyThreadState* tstate) noexcept {
    return {tstate->py_recursion_remaining, tstate->c_recursion_remaining};
}

// The probe called from C costs one Python level (its frame,
// _Py_EnterRecursivePy) and three C units: two for the interpreter's loop
// entered from C (ceval.c, PY_EVAL_C_STACK_UNITS) and one for the probe's
// call of the C function (methodobject.c, cfunction_vectorcall_NOARGS).
constexpr layout::RecursionDepth kProbeLevels{1, 3};

// The tools listening to each event of the frame, as events_wanted() finds
// them: refreshed through the C API once the monitoring version in the
// thread's eval_breaker word has moved from the one a new state records.
layout::ToolsSeen tools_seen(PyThreadState* tstate) {
    EventState state;
    if (layout::fault("monitoring")) {
        // A word that does not move with the version.
        state.version = __atomic_load_n(&tstate->eval_breaker, __ATOMIC_RELAXED) & ~kEvalEventBits;
    }
    events_wanted(tstate, state);
    layout::ToolsSeen seen{};
    for (std::size_t index = 0; index < seen.size(); ++index) {
        seen[index] = state.states[index].active;
    }
    return seen;
}

}  // namespace

int check_layouts(const char** disagreement) {
    return layout::check_all<recursion_remaining>(disagreement, kProbeLevels, [](PyThreadState* tstate) {
        return layout::check_monitoring(tstate, tools_seen);
    });
}

}  // namespace frame::compat

#endif  // CPython 3.13
