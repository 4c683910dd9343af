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

#include "../ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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


// --- the layouts, checked at import -----------------------------------------------
//
// Everything above and in the version's files is read at the offsets of the
// headers the module was built against, and a later patch release of the
// same version may move a private field.  check_layouts() compares each
// layout the frame relies on with what the running interpreter shows through
// its public API before the frame reads any of them; the checks that are the
// same on every version are here, and each version's source adds its own.
// A check reads only memory that is certainly valid: a pointer read from a
// layout is compared with one the public API gave before anything it points
// at is read.  Each check that finds a disagreement names it in a phrase that
// ends the ImportError ("... cannot run on 3.12.9: <phrase>").

namespace layout {

#ifdef TARNIX_LAYOUT_FAULT
// A build for the tests only: the environment variable of the same name
// names one check whose reading is moved, as the headers of another patch
// release would move it, so that each check can be seen to refuse the import
// (and to do so without reading through the moved pointer).
inline bool fault(const char* check) noexcept {
    const char* chosen = std::getenv("TARNIX_LAYOUT_FAULT");
    return chosen != nullptr && std::strcmp(chosen, check) == 0;
}
#else
constexpr bool fault(const char*) noexcept {
    return false;
}
#endif

// The levels of recursion the interpreter counts, in the counters compat
// reads (the version's source reads them; a counter the version does not
// have reads 0).
struct RecursionDepth {
    long python = 0;
    long c = 0;

    bool operator==(const RecursionDepth&) const = default;
};

// What the probe's callback saw while the probe ran.
struct ProbeReading {
    PyObject* probe = nullptr;  // the function whose frame the callback sees
    const char* disagreement = nullptr;
    RecursionDepth remaining;
};

// The Python code the checks run, compiled at import: `probe(read)` is a
// plain Python function called from C that calls back the C function
// `read`, so that while `read` runs the innermost frame is the probe's own
// and the recursion counters stand at known levels below the caller's;
// `unstarted` makes a coroutine whose state is known.
constexpr const char* kProbeSource =
    "def probe(read):\n"
    "    return read()\n"
    "async def unstarted():\n"
    "    pass\n";

struct Probe {
    Ref probe;
    Ref unstarted;
};

inline Probe compile_probe() {
    Ref globals = take(PyDict_New());
    ok(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
    Ref code = take(Py_CompileString(kProbeSource, "<layout check>", Py_file_input));
    Ref done = take(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    PyObject* probe = PyDict_GetItemString(globals.get(), "probe");
    PyObject* unstarted = PyDict_GetItemString(globals.get(), "unstarted");
    if (probe == nullptr || unstarted == nullptr) {
        PyErr_SetString(PyExc_SystemError, "the layout check's probe did not compile");
        raise_pending();
    }
    Probe made{Ref::borrow(probe), Ref::borrow(unstarted)};
    // Neither reads a global: emptied, the namespace holds no cycle through
    // the functions, and all of it goes when the check is done.
    PyDict_Clear(globals.get());
    return made;
}

// The frame the interpreter shows as the innermost one (`frame`, from
// PyEval_GetFrame) against the innermost frame compat reads from the thread
// state, and the record compat reads there against what the frame object
// says of it: the code, globals and builtins, the current instruction, the
// frame object itself and the function running (`function`, known).  The
// pointer read from the thread state is read through only once it is the one
// the interpreter's own frame object points at (f_frame, where 3.11 to 3.15
// keep it).
inline const char* check_innermost_frame(PyThreadState* tstate, PyFrameObject* frame, PyObject* function) {
    _PyInterpreterFrame** innermost = innermost_frame(tstate);
    if (fault("innermost-frame")) {
        innermost += 1;
    }
    _PyInterpreterFrame* read = *innermost;
    if (read == nullptr || read != frame->f_frame) {
        return "the innermost frame it reads is not sys._getframe()'s";
    }
    const auto* record = reinterpret_cast<const InterpreterFrame*>(read);
    if (fault("frame-record")) {
        record = reinterpret_cast<const InterpreterFrame*>(reinterpret_cast<const char*>(record) + sizeof(void*));
    }
    Ref code = take(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    Ref globals = take(PyFrame_GetGlobals(frame));
    Ref builtins = take(PyFrame_GetBuiltins(frame));
    // Where the interpreter tags the code reference (3.14), the tag is the low bit.
    auto* record_code =
        reinterpret_cast<PyCodeObject*>(reinterpret_cast<std::uintptr_t>(record->code) & ~std::uintptr_t{1});
    if (reinterpret_cast<PyObject*>(record_code) != code.get() || record->globals != globals.get() ||
        record->builtins != builtins.get() || record->frame_object != reinterpret_cast<PyObject*>(frame) ||
        ref_object(record->function) != function) {
        return "the frame record it reads does not hold sys._getframe()'s code, globals, builtins and function";
    }
    const std::ptrdiff_t offset =
        reinterpret_cast<const char*>(record->instr) - reinterpret_cast<const char*>(code_units(record_code));
    if (offset != PyFrame_GetLasti(frame)) {
        return "the frame record it reads is not at sys._getframe()'s instruction";
    }
    return nullptr;
}

// The thread state compat reads, by address only.
inline const char* check_thread_state(PyThreadState* tstate) noexcept {
    PyThreadState* read = thread_state();
    if (fault("thread-state")) {
        read = reinterpret_cast<PyThreadState*>(reinterpret_cast<char*>(read) + sizeof(void*));
    }
    return read == tstate ? nullptr : "the thread state it reads is not PyThreadState_Get()'s";
}

// The state byte of a coroutine compat reads, for one that has not started
// and for the same one closed.
inline const char* check_coroutine_state(PyObject* unstarted_function) {
    Ref coro = take(PyObject_CallNoArgs(unstarted_function));
    Ref other = take(PyObject_CallNoArgs(unstarted_function));
    Ref closed = take(PyObject_CallMethod(other.get(), "close", nullptr));
    PyObject* read_unstarted = fault("coroutine-state") ? other.get() : coro.get();
    const bool agrees = is_unstarted_coroutine(read_unstarted) && !is_unstarted_coroutine(other.get());
    Ref closed_too = take(PyObject_CallMethod(coro.get(), "close", nullptr));
    return agrees ? nullptr : "the coroutine state it reads is not the one a new or closed coroutine has";
}

// The recursion counters: read here, then inside the probe (a Python
// function called from C, which calls a C function); the interpreter must
// have counted exactly `levels` between the two.
inline const char* check_recursion(RecursionDepth outside, RecursionDepth inside, RecursionDepth levels) noexcept {
    if (fault("recursion")) {
        inside = outside;
    }
    const RecursionDepth counted{outside.python - inside.python, outside.c - inside.c};
    return counted == levels ? nullptr : "the recursion counters it reads do not move as Python recurses";
}

// The str-keyed dict probe (compat/str_dict.hpp) over dicts made here, whose
// keys objects the interpreter allocated at least as large as their hash
// table and entries, wherever the mirror's fields point: it must find the
// key one holds, miss one it does not, and refuse a dict with a key that is
// not a str.
inline const char* check_str_dict() {
    constexpr const char* kDisagrees = "the dict tables it probes are not laid out as dicts of str keys are";
    Ref present = take(PyUnicode_InternFromString("layout"));
    Ref absent = take(PyUnicode_InternFromString("check"));
    Ref value = take(PyLong_FromLong(1));
    Ref of_str = take(PyDict_New());
    ok(PyDict_SetItem(of_str.get(), present.get(), value.get()));
    Ref of_other = take(PyDict_New());
    ok(PyDict_SetItem(of_other.get(), value.get(), value.get()));
    PyObject* looked_up = nullptr;
    PyObject* sought = fault("str-dict") ? absent.get() : present.get();
    if (lookup_str(of_str.get(), sought, &looked_up) != 0 || looked_up != value.get()) {
        return kDisagrees;
    }
    if (lookup_str(of_str.get(), absent.get(), &looked_up) != 0 || looked_up != nullptr) {
        return kDisagrees;
    }
    if (lookup_str(of_other.get(), present.get(), &looked_up) != -1) {
        return kDisagrees;
    }
    return nullptr;
}

// --- sys.monitoring (3.12 and later) -----------------------------------------

// The tool bits compat sees for each event the frame fires, in the order of
// compat::Event, read the version's way.
using ToolsSeen = std::array<std::uint8_t, 6>;
constexpr const char* kEventNames[6] = {"PY_START", "PY_RESUME", "PY_THROW", "PY_RETURN", "PY_YIELD", "PY_UNWIND"};
// The tool ids sys.monitoring lets a tool claim and reports on; 6 and 7 are
// the interpreter's own for sys.setprofile and sys.settrace.
constexpr int kToolIds = 6;
constexpr std::uint8_t kClaimableTools = (1 << kToolIds) - 1;

inline long events_of_tool(PyObject* monitoring, int tool) {
    Ref events = take(PyObject_CallMethod(monitoring, "get_events", "i", tool));
    const long value = PyLong_AsLong(events.get());
    if (value == -1 && PyErr_Occurred()) {
        raise_pending();
    }
    return value;
}

// sys.monitoring.events.<name> of each event of the frame, numbered as the
// running interpreter numbers them.
inline std::array<long, 6> event_masks(PyObject* monitoring) {
    Ref events = take(PyObject_GetAttrString(monitoring, "events"));
    std::array<long, 6> masks{};
    for (std::size_t index = 0; index < masks.size(); ++index) {
        Ref mask = take(PyObject_GetAttrString(events.get(), kEventNames[index]));
        masks[index] = PyLong_AsLong(mask.get());
        if (masks[index] == -1 && PyErr_Occurred()) {
            raise_pending();
        }
    }
    return masks;
}

// What sys.monitoring says each tool it reports on listens to: its bits for
// each event of the frame.
inline ToolsSeen tools_listening(PyObject* monitoring, const std::array<long, 6>& masks) {
    ToolsSeen tools{};
    for (int tool = 0; tool < kToolIds; ++tool) {
        const long listened = events_of_tool(monitoring, tool);
        for (std::size_t index = 0; index < masks.size(); ++index) {
            if (listened & masks[index]) {
                tools[index] |= static_cast<std::uint8_t>(1 << tool);
            }
        }
    }
    return tools;
}

inline ToolsSeen claimable_only(ToolsSeen tools) noexcept {
    for (std::uint8_t& bits : tools) {
        bits &= kClaimableTools;
    }
    return tools;
}

// A tool id this check holds, given back with its events cleared whatever
// happens meanwhile.
class ClaimedTool {
public:
    ClaimedTool(PyObject* monitoring, int tool) : monitoring_(monitoring), tool_(tool) {
        Ref done = take(PyObject_CallMethod(monitoring, "use_tool_id", "is", tool, "layout check"));
    }
    ~ClaimedTool() noexcept(false) {
        ErrorStash pending;
        Ref cleared = Ref::steal(PyObject_CallMethod(monitoring_, "set_events", "ii", tool_, 0));
        Ref freed = Ref::steal(PyObject_CallMethod(monitoring_, "free_tool_id", "i", tool_));
        PyErr_Clear();
    }
    ClaimedTool(const ClaimedTool&) = delete;
    ClaimedTool& operator=(const ClaimedTool&) = delete;
    int id() const noexcept { return tool_; }

private:
    PyObject* monitoring_;
    int tool_;
};

// What compat sees of the tools sys.monitoring reports on (`seen`) against
// what it reports; then, when no tool is registered and none listens, not
// even sys.setprofile's or sys.settrace's (so that nothing can be disturbed:
// a tool's disabled places, a profiler's view of the events), a tool of the
// check's own made to listen to every event of the frame must appear in what
// compat sees, and disappear again once cleared.  The tool id is given back;
// the interpreter's monitoring version has moved on twice, which only makes
// it instrument code afresh when it next runs.
inline const char* check_monitoring(PyThreadState* tstate, ToolsSeen (*seen)(PyThreadState*)) {
    constexpr const char* kDisagrees = "the sys.monitoring events it reads are not those sys.monitoring sets";
    PyObject* monitoring = PySys_GetObject("monitoring");  // borrowed
    if (monitoring == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.monitoring");
        raise_pending();
    }
    const std::array<long, 6> masks = event_masks(monitoring);
    const ToolsSeen before = seen(tstate);
    if (claimable_only(before) != tools_listening(monitoring, masks)) {
        return kDisagrees;
    }
    if (before != ToolsSeen{}) {
        return nullptr;
    }
    for (int tool = 0; tool < kToolIds; ++tool) {
        Ref name = take(PyObject_CallMethod(monitoring, "get_tool", "i", tool));
        if (name.get() != Py_None || events_of_tool(monitoring, tool) != 0) {
            return nullptr;
        }
    }
    ClaimedTool claimed(monitoring, kToolIds - 1);
    long all = 0;
    for (long mask : masks) {
        all |= mask;
    }
    Ref set = take(PyObject_CallMethod(monitoring, "set_events", "il", claimed.id(), all));
    ToolsSeen expected{};
    expected.fill(static_cast<std::uint8_t>(1 << claimed.id()));
    if (seen(tstate) != expected) {
        return kDisagrees;
    }
    Ref cleared = take(PyObject_CallMethod(monitoring, "set_events", "ii", claimed.id(), 0));
    if (seen(tstate) != ToolsSeen{}) {
        return kDisagrees;
    }
    return nullptr;
}

// No tool sees the checks' own Python code run (the probe, the coroutine):
// tracing is suspended meanwhile, as the interpreter suspends it while a
// tool's callback runs.
class ToolsSuspended {
public:
    explicit ToolsSuspended(PyThreadState* tstate) noexcept : tstate_(tstate) { PyThreadState_EnterTracing(tstate); }
    ~ToolsSuspended() { PyThreadState_LeaveTracing(tstate_); }
    ToolsSuspended(const ToolsSuspended&) = delete;
    ToolsSuspended& operator=(const ToolsSuspended&) = delete;

private:
    PyThreadState* tstate_;
};

// The probe's callback, `read` for the probe: reads the recursion counters
// and checks the innermost frame while the probe's frame is that frame.
// `self` is a capsule of the caller's ProbeReading.
template <RecursionDepth (*read_recursion)(PyThreadState*)>
PyObject* probe_callback(PyObject* self, PyObject*) {
    auto* reading = static_cast<ProbeReading*>(PyCapsule_GetPointer(self, "layout check"));
    if (reading == nullptr) {
        return nullptr;
    }
    PyThreadState* tstate = PyThreadState_Get();
    reading->remaining = read_recursion(tstate);
    PyFrameObject* frame = PyEval_GetFrame();  // borrowed
    if (frame == nullptr) {
        return PyErr_NoMemory();  // PyEval_GetFrame clears its error
    }
    try {
        reading->disagreement = check_innermost_frame(tstate, frame, reading->probe);
    } catch (const PyError&) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The checks of every version: the thread state, the innermost frame and its
// record, the recursion counters (read by `read_recursion`; the probe, a
// Python function called from C that calls a C function, must count
// `probe_levels`), the coroutine state and the str-keyed dict probe.
// nullptr when all agree.
template <RecursionDepth (*read_recursion)(PyThreadState*)>
const char* check_common_layouts(PyThreadState* tstate, RecursionDepth probe_levels) {
    if (const char* disagreement = check_thread_state(tstate)) {
        return disagreement;
    }
    ToolsSuspended suspended(tstate);
    Probe probe = compile_probe();
    ProbeReading reading;
    reading.probe = probe.probe.get();
    Ref capsule = take(PyCapsule_New(&reading, "layout check", nullptr));
    static PyMethodDef read_definition = {"read", probe_callback<read_recursion>, METH_NOARGS, nullptr};
    Ref read = take(PyCFunction_New(&read_definition, capsule.get()));
    const RecursionDepth outside = read_recursion(tstate);
    Ref returned = take(PyObject_CallOneArg(probe.probe.get(), read.get()));
    if (reading.disagreement != nullptr) {
        return reading.disagreement;
    }
    if (const char* disagreement = check_recursion(outside, reading.remaining, probe_levels)) {
        return disagreement;
    }
    if (const char* disagreement = check_coroutine_state(probe.unstarted.get())) {
        return disagreement;
    }
    return check_str_dict();
}

// check_layouts() of a version: the checks of every version, then the
// version's own.
template <RecursionDepth (*read_recursion)(PyThreadState*)>
int check_all(const char** disagreement, RecursionDepth probe_levels, const char* (*check_version)(PyThreadState*)) {
    PyThreadState* tstate = PyThreadState_Get();
    try {
        *disagreement = check_common_layouts<read_recursion>(tstate, probe_levels);
        if (*disagreement == nullptr) {
            *disagreement = check_version(tstate);
        }
        return 0;
    } catch (const PyError&) {
        return -1;
    }
}

}  // namespace layout

}  // namespace frame::compat
