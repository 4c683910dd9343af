// CPython 3.14 and 3.15: the out-of-line half of compat.hpp, reading the
// internal layouts of the runtime state (pycore_runtime_structs.h), the
// instances' inline values (pycore_dict.h, pycore_object.h), the frame and
// the generators' head (pycore_interpframe_structs.h, pycore_stackref.h), and
// raising the events of sys.monitoring through its C API.  Nothing it reads
// moved between the two versions (what did is in py314.hpp and py315.hpp), so
// one source serves both, and its static_asserts check each layout against
// the headers of the version it is compiled for.
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>
#if PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x03100000
#include <frameobject.h>
// pycore_object.h (which pycore_dict.h includes) has inline functions with
// unused parameters in the release build.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <internal/pycore_ceval.h>
#include <internal/pycore_dict.h>
#include <internal/pycore_frame.h>
#include <internal/pycore_interp.h>
#include <internal/pycore_opcode_utils.h>
#include <internal/pycore_runtime.h>
#include <internal/pycore_stackref.h>
#include <internal/pycore_tstate.h>
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

const std::size_t c_stack_soft_limit_offset = offsetof(_PyThreadStateImpl, c_stack_soft_limit);

int check_recursive_call(PyThreadState* tstate, const char* where) noexcept {
    return _Py_CheckRecursiveCall(tstate, where);
}

// The interpreter's check of the Python limit (ceval.c,
// _Py_CheckRecursiveCallPy), which it does not export.  sys.setrecursionlimit
// updates the counter of every thread at once, so an
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

// --- dicts ---------------------------------------------------------------------

std::uint64_t dict_changes = 0;
int dict_watcher = -1;

namespace {

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++dict_changes;
    return 0;
}

}  // namespace

std::uint64_t watch_dict(PyObject* dict) noexcept {
    constexpr int kNotMade = -1, kNoneFree = -2;
    if (dict_watcher == kNotMade) {
        dict_watcher = PyDict_AddWatcher(count_change);
        if (dict_watcher < 0) {
            dict_watcher = kNoneFree;
            PyErr_Clear();
        }
    }
    if (dict_watcher >= 0 && PyDict_Watch(dict_watcher, dict) < 0) {
        PyErr_Clear();
    }
    // A new version either way: what was cached before it was watched is stale.
    return ++dict_changes;
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
    // What f_locals was given beyond the code's own names is in
    // f_extra_locals, what PyEval_GetLocals lent in f_locals_cache, and
    // 3.14 and 3.15 keep the locals that f_locals replaced alive in
    // f_overwritten_fast_locals.
    PyObject* trace = std::exchange(f->f_trace, nullptr);
    PyObject* back = reinterpret_cast<PyObject*>(std::exchange(f->f_back, nullptr));
    PyObject* locals = std::exchange(f->f_frame->f_locals, nullptr);
    PyObject* extra = std::exchange(f->f_extra_locals, nullptr);
    PyObject* cache = std::exchange(f->f_locals_cache, nullptr);
    PyObject* overwritten = std::exchange(f->f_overwritten_fast_locals, nullptr);
    f->f_trace_lines = 1;
    f->f_trace_opcodes = 0;
    f->f_lineno = 0;
    Py_XDECREF(trace);
    Py_XDECREF(back);
    Py_XDECREF(locals);
    Py_XDECREF(extra);
    Py_XDECREF(cache);
    Py_XDECREF(overwritten);
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
SAME_FIELD(stackpointer, stackpointer);
SAME_FIELD(return_offset, return_offset);
SAME_FIELD(owner, owner);
#undef SAME_FIELD
// The byte after the owner: the collector's mark, which a debug build of the
// interpreter shares with its lltrace level as two bit-fields (no offset to
// take); zero clears both, as a new frame of the interpreter's has them.
static_assert(offsetof(InterpreterFrame, visited) == offsetof(_PyInterpreterFrame, owner) + sizeof(char) &&
              offsetof(InterpreterFrame, localsplus) == offsetof(_PyInterpreterFrame, localsplus));
static_assert(sizeof(StackRef) == sizeof(_PyStackRef) && kRefcountTag == Py_TAG_REFCNT &&
              kNoRef.bits == PyStackRef_NULL_BITS);
#define SAME_GENERATOR_FIELD(ours, theirs)                                      \
    static_assert(offsetof(GeneratorHead, ours) == offsetof(PyGenObject, theirs) && \
                  sizeof(GeneratorHead::ours) == sizeof(PyGenObject::theirs))
SAME_GENERATOR_FIELD(weakreflist, gi_weakreflist);
SAME_GENERATOR_FIELD(exc_state, gi_exc_state);
SAME_GENERATOR_FIELD(frame_state, gi_frame_state);
#undef SAME_GENERATOR_FIELD
static_assert(offsetof(GeneratorHead, iframe) == offsetof(PyGenObject, gi_iframe) &&
              offsetof(PyGenObject, gi_frame_state) == offsetof(PyCoroObject, cr_frame_state) &&
              offsetof(PyGenObject, gi_iframe) == offsetof(PyCoroObject, cr_iframe));
static_assert(offsetof(InterpreterFrame, localsplus) == offsetof(_PyInterpreterFrame, localsplus));
static_assert(kOwnedByThread == FRAME_OWNED_BY_THREAD);
static_assert(kAssertionErrorConstant == CONSTANT_ASSERTIONERROR);
static_assert(kFrameCreated == FRAME_CREATED);
static_assert(kSignalsPendingBit == _PY_SIGNALS_PENDING_BIT);
static_assert(kEvalEventBits == _PY_EVAL_EVENTS_MASK);
static_assert(offsetof(InlineValues, valid) == offsetof(PyDictValues, valid) &&
              offsetof(InlineValues, values) == offsetof(PyDictValues, values));

void remember_inline_slot(PyObject* obj, PyObject* name, PyObject* value, InlineSlot& slot) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    // A class with __getattr__ or __getattribute__ reads its own way; one
    // with a class attribute of this name (a property, say) may not read the
    // instance value at all.  Looking it up also gives the type its tag.
    // 3.13 stopped setting Py_TPFLAGS_VALID_VERSION_TAG (typeobject.c keeps
    // the tag valid exactly while it is not 0), so testing the flag would
    // refuse every type and leave every read on the slow path.
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES) || type->tp_getattro != PyObject_GenericGetAttr ||
        _PyType_Lookup(type, name) != nullptr || type->tp_version_tag == 0) {
        return;
    }
    // At the type's basic size (pycore_object.h, _PyObject_InlineValues).
    auto* values = _PyObject_InlineValues(obj);
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
    return {tstate->py_recursion_remaining, 0};
}

// The probe called from C costs one Python level (its frame,
// _Py_EnterRecursivePy); C calls are not counted but measured on the machine
// stack (Py_EnterRecursiveCall, public).
constexpr layout::RecursionDepth kProbeLevels{1, 0};

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

// The machine stack's limits as enter_native_call() reads them: the word
// before the soft limit is the stack's top and the word after it the hard
// limit, so on the thread running the import the three lie around the
// running code in that order, once the interpreter has measured the stack
// (it has, before any import runs Python code).
const char* check_machine_stack(PyThreadState* tstate) noexcept {
    const char* soft_limit = reinterpret_cast<const char*>(tstate) + c_stack_soft_limit_offset;
    if (layout::fault("machine-stack")) {
        soft_limit += sizeof(std::uintptr_t);
    }
    std::uintptr_t top;
    std::uintptr_t soft;
    std::uintptr_t hard;
    std::memcpy(&top, soft_limit - sizeof top, sizeof top);
    std::memcpy(&soft, soft_limit, sizeof soft);
    std::memcpy(&hard, soft_limit + sizeof soft, sizeof hard);
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (top > here && here > soft && soft > hard) {
        return nullptr;
    }
    return "the machine stack limits it reads do not lie around the running stack";
}

}  // namespace

int check_layouts(const char** disagreement) {
    return layout::check_all<recursion_remaining>(disagreement, kProbeLevels, [](PyThreadState* tstate) {
        const char* moved = check_machine_stack(tstate);
        return moved != nullptr ? moved : layout::check_monitoring(tstate, tools_seen);
    });
}

}  // namespace frame::compat

#endif  // CPython 3.14 and 3.15
