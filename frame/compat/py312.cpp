// CPython 3.12: the out-of-line half of compat.hpp, reading the internal
// layouts of the runtime state (pycore_runtime.h), the interpreter state's
// monitoring tables (pycore_interp.h, pycore_instruments.h), the instance
// values (pycore_object.h, pycore_dict.h) and the frame (pycore_frame.h).
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
// pycore_atomic.h declares its atomic ints with <stdatomic.h>, which C++
// has only from C++23 on; its variant for the compiler's atomic builtins
// declares them as plain ints, which have the same size and alignment.
#undef HAVE_STD_ATOMIC
#include <frameobject.h>
#include <internal/pycore_ceval.h>
#include <internal/pycore_dict.h>
#include <internal/pycore_frame.h>
#include <internal/pycore_instruments.h>
#include <internal/pycore_interp.h>
#include <internal/pycore_object.h>
#include <internal/pycore_runtime.h>

#include "../compat.hpp"
#include "common.hpp"

#include <cstddef>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

namespace frame::compat {

static_assert(sizeof(_Py_atomic_int) == sizeof(int));
const int* const signals_pending = &_PyRuntime.ceval.signals_pending._value;

const volatile std::uintptr_t& runtime_finalizing = _PyRuntime._finalizing._value;

int check_recursive_call(PyThreadState* tstate, const char* where) noexcept {
    return _Py_CheckRecursiveCall(tstate, where);
}

// The interpreter's _Py_CheckRecursiveCallPy (ceval.c), which it does not
// export: RecursionError once the Python count is spent, with 50 levels of
// headroom for handling it.  sys.setrecursionlimit() rebases every thread's
// count in 3.12, so there is no raised limit to pick up here.
int check_python_recursion(PyThreadState* tstate) noexcept {
    if (tstate->recursion_headroom) {
        if (tstate->py_recursion_remaining < -50) {
            Py_FatalError("Cannot recover from Python stack overflow.");
        }
        return 0;
    }
    if (tstate->py_recursion_remaining <= 0) {
        tstate->recursion_headroom++;
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        tstate->recursion_headroom--;
        return -1;
    }
    return 0;
}

// --- sys.monitoring ---------------------------------------------------------

const std::size_t interp_monitors_offset = offsetof(PyInterpreterState, monitors);
static_assert(sizeof(_Py_GlobalMonitors::tools) > PY_MONITORING_EVENT_PY_THROW);
static_assert(PY_MONITORING_EVENT_PY_START == 0 && PY_MONITORING_EVENT_PY_RESUME == 1 &&
              PY_MONITORING_EVENT_PY_RETURN == 2 && PY_MONITORING_EVENT_PY_YIELD == 3 &&
              PY_MONITORING_EVENT_PY_UNWIND == 12 && PY_MONITORING_EVENT_PY_THROW == 13);

namespace {

// sys.monitoring.DISABLE: the interpreter's _PyInstrumentation_DISABLE, a
// static object of the runtime (the same in every interpreter), not exported.
PyObject* disable_marker() {
    static PyObject* marker = nullptr;
    if (marker == nullptr) {
        PyObject* monitoring = PySys_GetObject("monitoring");  // borrowed
        if (monitoring == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "lost sys.monitoring");
            return nullptr;
        }
        PyObject* found = PyObject_GetAttrString(monitoring, "DISABLE");
        if (found == nullptr) {
            return nullptr;
        }
        marker = found;  // immortal in 3.12: the reference is never given back
    }
    return marker;
}

int event_number(Event event) noexcept {
    switch (event) {
        case Event::Start: return PY_MONITORING_EVENT_PY_START;
        case Event::Resume: return PY_MONITORING_EVENT_PY_RESUME;
        case Event::Return: return PY_MONITORING_EVENT_PY_RETURN;
        case Event::Yield: return PY_MONITORING_EVENT_PY_YIELD;
        case Event::Unwind: return PY_MONITORING_EVENT_PY_UNWIND;
        case Event::Throw: return PY_MONITORING_EVENT_PY_THROW;
    }
    return PY_MONITORING_EVENT_PY_START;
}

const char* event_name(int event) noexcept {
    return event == PY_MONITORING_EVENT_PY_UNWIND ? "PY_UNWIND" : "PY_THROW";
}

// The tools an instrumented instruction of `code` would call for `event`:
// the interpreter instruments a code object for the global events and the
// code's own local ones (sys.monitoring.set_local_events), and takes out of
// an instruction each tool that returned DISABLE there, until the tool's
// events change or sys.monitoring.restart_events() is called; then it is
// instrumented afresh.  `state` holds those removals for the frame's code.
// Kept per code object and place, as the interpreter keeps it in each
// instrumented instruction: the place of an event is the unit of the line
// it happens at (the RESUME, unit 0, for a start), so a return at one line
// stays reported when a tool disabled the one at another.  The code objects
// of the tables live as long as the process, and only the one interpreter
// that imported the modules runs them.
struct DisabledSite {
    Py_ssize_t unit;
    int event;
    std::uint8_t tools;
};

struct Disabled {
    std::uint64_t version = 0;  // the interpreter's monitoring_version when last looked at
    std::vector<DisabledSite> sites;
};

Disabled& disabled_for(PyCodeObject* code) {
    static auto* const table = new std::unordered_map<PyCodeObject*, Disabled>;
    return (*table)[code];
}

std::uint8_t active_tools(PyInterpreterState* interp, PyCodeObject* code, int event) noexcept {
    std::uint8_t tools = interp->monitors.tools[event];
    if (PY_MONITORING_IS_INSTRUMENTED_EVENT(event) && code->_co_monitoring != nullptr) {
        tools |= code->_co_monitoring->local_monitors.tools[event];
    }
    return tools;
}

std::uint8_t tools_for(PyInterpreterState* interp, PyCodeObject* code, int event, Py_ssize_t unit) {
    std::uint8_t tools = active_tools(interp, code, event);
    if (!PY_MONITORING_IS_INSTRUMENTED_EVENT(event) || tools == 0) {
        return tools;
    }
    Disabled& state = disabled_for(code);
    if (state.version != interp->monitoring_version) {
        if (interp->last_restart_version > state.version) {
            state.sites.clear();
        } else {
            for (DisabledSite& site : state.sites) {
                site.tools &= active_tools(interp, code, site.event);
            }
        }
        state.version = interp->monitoring_version;
    }
    for (const DisabledSite& site : state.sites) {
        if (site.unit == unit && site.event == event) {
            tools &= static_cast<std::uint8_t>(~site.tools);
        }
    }
    return tools;
}

void disable_at(PyCodeObject* code, int event, Py_ssize_t unit, int tool) {
    Disabled& state = disabled_for(code);
    for (DisabledSite& site : state.sites) {
        if (site.unit == unit && site.event == event) {
            site.tools |= static_cast<std::uint8_t>(1 << tool);
            return;
        }
    }
    state.sites.push_back({unit, event, static_cast<std::uint8_t>(1 << tool)});
}

}  // namespace

// call_instrumentation_vector of Python/instrumentation.c for the frame's
// event: nothing while a tool's callback runs on this thread
// (tstate->tracing); each tool from the highest id down called with
// (code, offset in bytes[, arg]), tstate->tracing raised and
// tstate->what_event set meanwhile; the first error stops it.  A tool
// returning sys.monitoring.DISABLE is taken off the event at this place of
// the code object, except for PY_UNWIND and PY_THROW, which cannot be disabled: the
// interpreter then raises ValueError and removes the tool's callback.  The
// offset is that of the unit showing the frame's current line (unit 0, the
// RESUME, at the start), so a tool mapping it through co_lines() finds the
// line the body is at.
int fire_event(PyThreadState* tstate, EventState&, InterpreterFrame& frame, Event event, PyObject* arg) {
    if (tstate->tracing) {
        return 0;
    }
    PyInterpreterState* interp = tstate->interp;
    const int number = event_number(event);
    const Py_ssize_t unit = frame.instr - code_units(frame.code);
    std::uint8_t tools = tools_for(interp, frame.code, number, unit);
    if (tools == 0) {
        return 0;
    }
    PyObject* disable = disable_marker();
    if (disable == nullptr) {
        return -1;
    }
    PyObject* offset = PyLong_FromSsize_t(unit * static_cast<Py_ssize_t>(sizeof(_Py_CODEUNIT)));
    if (offset == nullptr) {
        return -1;
    }
    PyObject* args[4] = {nullptr, reinterpret_cast<PyObject*>(frame.code), offset, arg};
    const bool with_arg = event != Event::Start && event != Event::Resume;
    const std::size_t nargsf = (with_arg ? 3 : 2) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    int result = 0;
    while (tools != 0) {
        const int tool = 31 - __builtin_clz(tools);
        tools ^= static_cast<std::uint8_t>(1 << tool);
        PyObject* callable = interp->monitoring_callables[tool][number];
        if (callable == nullptr) {
            continue;
        }
        const int previous_event = tstate->what_event;
        tstate->what_event = number;
        tstate->tracing++;
        PyObject* returned = PyObject_Vectorcall(callable, args + 1, nargsf, nullptr);
        tstate->tracing--;
        tstate->what_event = previous_event;
        if (returned == nullptr) {
            result = -1;
            break;
        }
        Py_DECREF(returned);
        if (returned != disable) {
            continue;
        }
        if (!PY_MONITORING_IS_INSTRUMENTED_EVENT(number)) {
            PyErr_Format(PyExc_ValueError, "Cannot disable %s events. Callback removed.", event_name(number));
            Py_CLEAR(interp->monitoring_callables[tool][number]);
            result = -1;
            break;
        }
        disable_at(frame.code, number, unit, tool);
    }
    Py_DECREF(offset);
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
SAME_FIELD(code, f_code);
SAME_FIELD(previous, previous);
SAME_FIELD(function, f_funcobj);
SAME_FIELD(globals, f_globals);
SAME_FIELD(builtins, f_builtins);
SAME_FIELD(locals, f_locals);
SAME_FIELD(frame_object, frame_obj);
SAME_FIELD(instr, prev_instr);
SAME_FIELD(stacktop, stacktop);
SAME_FIELD(return_offset, return_offset);
SAME_FIELD(owner, owner);
#undef SAME_FIELD
static_assert(offsetof(InterpreterFrame, localsplus) == offsetof(_PyInterpreterFrame, localsplus));
static_assert(kOwnedByThread == FRAME_OWNED_BY_THREAD);
static_assert(kFrameCreated == FRAME_CREATED);
static_assert(offsetof(PyGenObject, gi_iframe) % alignof(InterpreterFrame) == 0);

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
    PyDictOrValues dict_or_values = *_PyObject_DictOrValuesPointer(obj);
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    if (!_PyDictOrValues_IsValues(dict_or_values) || keys == nullptr || keys->dk_kind != DICT_KEYS_SPLIT) {
        return;
    }
    PyObject** values = _PyDictOrValues_GetValues(dict_or_values)->values;
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

layout::RecursionDepth recursion_remaining(PyThreadState* tstate) noexcept {
    return {tstate->py_recursion_remaining, tstate->c_recursion_remaining};
}

// The probe called from C costs one Python level (its frame,
// _Py_EnterRecursivePy) and three C units: two for the interpreter's loop
// entered from C (ceval.c, _PyEval_EvalFrameDefault: PY_EVAL_C_STACK_UNITS,
// as in 3.13) and one for the probe's call of the C function (methodobject.c,
// cfunction_vectorcall_NOARGS).
constexpr layout::RecursionDepth kProbeLevels{1, 3};

// The tools each event of the frame calls, in the table events_wanted() and
// fire_event() read.
layout::ToolsSeen tools_seen(PyThreadState* tstate) {
    const std::uint8_t* tools = global_monitors(tstate);
    if (layout::fault("monitoring")) {
        tools += 1;
    }
    layout::ToolsSeen seen{};
    for (std::size_t index = 0; index < seen.size(); ++index) {
        seen[index] = tools[event_number(static_cast<Event>(index))];
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

#endif  // CPython 3.12
