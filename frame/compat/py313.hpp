// CPython 3.13: the inline half of compat.hpp, against 3.13's headers.  The
// interpreter's internal layouts read here (pycore_frame.h, pycore_runtime.h,
// pycore_dict.h, pycore_object.h) are checked field by field in py313.cpp.
#pragma once

#include <opcode.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace frame::compat {

// The runtime's record of the thread state running Py_FinalizeEx (nullptr
// before).  3.13 keeps it as a plain pointer, _PyRuntime._finalizing
// (pycore_runtime.h), where 3.11 had an atomic word; it is read the same way,
// as one word.  From the moment it is set, a daemon thread that asks for the
// interpreter lock is ended with pthread_exit, which glibc runs as a forced
// unwind through every C++ frame on that thread: the destructors that run
// then belong to a thread that does not hold the lock and must not touch
// Python objects.  Reading it is the only test cheap enough for every
// reference a destructor releases.
extern PyThreadState* const volatile& runtime_finalizing;

// Whether this thread may touch Python objects: always, except on a thread
// being ended at interpreter exit.  Leaking what such a thread held is what
// the interpreter itself does with the frames of the threads it ends.
inline bool may_touch_objects() noexcept {
    return runtime_finalizing == nullptr || holds_lock_while_finalizing();
}

// The thread state holding the interpreter lock.  3.13 keeps the runtime's
// record of it in a thread-local variable that the interpreter does not
// export (pycore_pystate.h, _Py_tss_tstate), and made the call that reads it
// public.
inline PyThreadState* thread_state() noexcept {
    return PyThreadState_GetUnchecked();
}

// One level of recursion, counted as the interpreter counts a Python function
// called from C code, which is what a method is called as.  3.12 split the
// counter in two (cpython/pystate.h): Python frames count against the limit
// of sys.setrecursionlimit (py_recursion_remaining), C frames against a fixed
// budget of the C stack (c_recursion_remaining).  The interpreter's loop,
// entered for such a function, takes two units of the C budget for its own
// C frame (ceval.c, PY_EVAL_C_STACK_UNITS) and one Python level for the
// function's frame; a method's call runs in one C frame the same way.  Only
// an exhausted counter costs a call.  True when a limit is reached, with
// RecursionError set and both counters as they were.
constexpr int kCStackUnitsPerCall = 2;

int check_python_recursion(PyThreadState* tstate) noexcept;

inline bool enter_recursive_call(PyThreadState* tstate, const char* where) noexcept {
    tstate->c_recursion_remaining -= kCStackUnitsPerCall - 1;
    if (tstate->c_recursion_remaining-- < 0 && check_recursive_call(tstate, where) < 0) {
        tstate->c_recursion_remaining += kCStackUnitsPerCall - 1;  // the check gave back one
        return true;
    }
    if (tstate->py_recursion_remaining-- <= 0 && check_python_recursion(tstate) < 0) {
        tstate->c_recursion_remaining += kCStackUnitsPerCall;
        return true;
    }
    return false;
}

inline void leave_recursive_call(PyThreadState* tstate) noexcept {
    tstate->py_recursion_remaining++;
    tstate->c_recursion_remaining += kCStackUnitsPerCall;
}

// How many more levels of Python recursion the limit allows.
inline int python_levels_left(PyThreadState* tstate) noexcept {
    return tstate->py_recursion_remaining;
}

// A call made from C code to any callable, checked as the interpreter checks
// one (pycore_ceval.h, _Py_EnterRecursiveCallTstate): against the C budget
// only, since a Python function called counts its own level when its frame
// starts.  True when the limit is reached, with RecursionError set and the
// counter as it was.
inline bool enter_native_call(PyThreadState* tstate, const char* where) noexcept {
    return tstate->c_recursion_remaining-- < 0 && check_recursive_call(tstate, where) < 0;
}

inline void leave_native_call(PyThreadState* tstate) noexcept {
    tstate->c_recursion_remaining++;
}

// --- what profilers see --------------------------------------------------
//
// 3.12 rebuilt every watcher on sys.monitoring (PEP 669): the profile and
// trace functions (sys.setprofile, sys.settrace, pdb) and cProfile are tools
// whose callbacks the interpreter calls for the events of a Python function's
// frame.  3.13 gives code that emulates Python functions a public C API for
// raising those events (cpython/monitoring.h): a state per event type, valid
// while the interpreter's monitoring version is the one recorded with it,
// refreshed by PyMonitoring_EnterScope.  A tool's callback returning
// sys.monitoring.DISABLE clears its bit in the state of a local event (start,
// resume, return, yield), as the interpreter stops reporting that place of a
// code object to it until sys.monitoring.restart_events().  The state lives
// with the code object (a method's calls) or with the coroutine.
constexpr int kMonitoredEvents = 6;  // one state for each compat::Event

struct EventState {
    PyMonitoringState states[kMonitoredEvents] = {};
    std::uint64_t version = 0;  // the interpreter's own starts at 0, with no tool
};

// Reads the tools' events afresh (PyMonitoring_EnterScope).
void refresh_events(EventState& state) noexcept;

// The monitoring version sits in the high bits of the thread's eval_breaker
// word (cpython/pystate.h; pycore_ceval.h keeps the low eight for its
// requests), copied there from the interpreter's whenever the thread takes
// the lock: the word the interpreter's own RESUME compares with a code
// object's version.  Nothing changes while it stays the one recorded.
constexpr std::uintptr_t kEvalEventBits = 0xFF;

// Whether any of the states has its `active` byte set.  Asked on every
// call, so the six two-byte states are read as two words, of which only the
// `active` bytes are kept, where a loop over them costs a load and an OR each.
inline bool any_event_active(const EventState& state) noexcept {
    static_assert(sizeof(PyMonitoringState) == 2 && offsetof(PyMonitoringState, active) == 0);
    static_assert(sizeof(state.states) == sizeof(std::uint64_t) + sizeof(std::uint32_t));
    constexpr std::uint64_t kActiveBytes =
        __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 0x00FF00FF00FF00FFULL : 0xFF00FF00FF00FF00ULL;
    std::uint64_t first = 0;
    std::uint32_t rest = 0;
    std::memcpy(&first, &state.states[0], sizeof(first));
    std::memcpy(&rest, &state.states[4], sizeof(rest));
    return ((first & kActiveBytes) | (rest & static_cast<std::uint32_t>(kActiveBytes))) != 0;
}

inline bool events_wanted(PyThreadState* tstate, EventState& state) noexcept {
    const std::uint64_t version = __atomic_load_n(&tstate->eval_breaker, __ATOMIC_RELAXED) & ~kEvalEventBits;
    if (version != state.version) {
        refresh_events(state);
    }
    // A tool's own callbacks never see events (tstate->tracing).
    return any_event_active(state) && tstate->tracing == 0;
}

// --- frames on the thread's stack -------------------------------------------
//
// While a body runs, a frame of its code object is the innermost frame of the
// thread, so whatever walks the stack (sys._getframe, inspect, traceback,
// logging's caller fields, warnings, faulthandler, pdb, profilers) finds it
// as it finds a Python function's.  3.13 keeps that stack as a chain of
// _PyInterpreterFrame records from tstate->current_frame (it removed the
// cframe in between); this is their 3.13 layout (pycore_frame.h), checked
// field by field against the interpreter's own in py313.cpp.  The record
// begins with the code object now and has no is_entry flag: the interpreter's
// loop marks where it was entered from C with a frame of its own, owned by
// the C stack, which the stack walkers skip.  Frame objects are made only
// when someone asks for one, by the interpreter or by frame_object() below.

// 3.13 moved the code unit's type into an internal header (pycore_code.h);
// the frame only ever points at units, which are 16-bit words.
using CodeUnit = std::uint16_t;

struct InterpreterFrame {
    PyCodeObject* code;         // f_executable; borrowed from the function or the coroutine
    InterpreterFrame* previous; // the frame below, while on the stack
    PyObject* function;         // f_funcobj; borrowed (nullptr for a coroutine's frame)
    PyObject* globals;          // f_globals, borrowed, as the interpreter's
    PyObject* builtins;         // f_builtins, borrowed
    PyObject* locals;           // f_locals: stays nullptr (a function's frame keeps no dict)
    PyObject* frame_object;     // owned, or nullptr until someone asks for it
    CodeUnit* instr;        // instr_ptr: the code unit of the current line (location table)
    int stacktop;               // co_nlocalsplus: every local slot is valid
    std::uint16_t return_offset;// 0: the interpreter never returns into this frame
    char owner;                 // kOwnedByThread
    // The parameters (owned: f_locals writes through to them, and a debugger
    // replaces them with references of its own), then nullptr for the other
    // locals.
    PyObject* localsplus[kMaxFrameLocals];
};

constexpr char kOwnedByThread = 0;

// A code object of the tables has one code unit per line from its first line
// to its last (a RESUME, then NOPs), each mapped to its line by the location
// table, and after them this many units that raise AssertionError should
// anyone execute it.  The current line of a frame is the unit its instr_ptr
// points at: f_lineno, faulthandler and the debuggers all read it from there.
// 3.13's RESUME has no inline cache entries (pycore_opcode_metadata.h,
// _PyOpcode_Caches), so the units are the same as 3.11's.
constexpr int kTrailingUnits = 2;

// The inline cache units that follow RESUME, none in this version: the first
// line's unit is the RESUME itself.
constexpr int kResumeCacheUnits = 0;

// Those units load AssertionError and raise it.
constexpr unsigned char kTrailingCode[2 * kTrailingUnits] = {LOAD_ASSERTION_ERROR, 0, RAISE_VARARGS, 1};

inline CodeUnit* code_units(PyCodeObject* code) noexcept {
    return reinterpret_cast<CodeUnit*>(code->co_code_adaptive);
}

// A code object with positional-only parameters: 3.12 renamed the call
// PyUnstable_Code_NewWithPosOnlyArgs and deprecated the old name (cpython/code.h).
inline PyCodeObject* new_code(int argcount, int posonlyargcount, int kwonlyargcount, int nlocals, int stacksize,
                              int flags, PyObject* code, PyObject* consts, PyObject* names, PyObject* varnames,
                              PyObject* freevars, PyObject* cellvars, PyObject* filename, PyObject* name,
                              PyObject* qualname, int firstlineno, PyObject* linetable,
                              PyObject* exceptiontable) noexcept {
    return PyUnstable_Code_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags,
                                              code, consts, names, varnames, freevars, cellvars, filename, name,
                                              qualname, firstlineno, linetable, exceptiontable);
}

// Where 3.13 keeps the thread's innermost frame: in the thread state itself,
// since it removed the cframe (GH-108035).
inline _PyInterpreterFrame** innermost_frame(PyThreadState* tstate) noexcept {
    return &tstate->current_frame;
}

// A frame leaving the stack: nothing else of the thread's state refers to it.
inline void frame_left(PyThreadState*, InterpreterFrame&) noexcept {}

// The fields of a new frame that only the interpreter's own bookkeeping
// reads: no call of its loop to return to, owned by the thread's stack.
inline void init_frame_state(InterpreterFrame& frame) noexcept {
    frame.return_offset = 0;
    frame.owner = kOwnedByThread;
}

// Where the instances of one type keep an attribute: the type's version tag
// when it was found, and the index in the instances' inline values.
struct InlineSlot {
    std::uint32_t type_version = 0;  // 0: nothing found yet
    Py_ssize_t index = 0;
};

// 3.13 moved an instance's inline values into the object itself, right after
// its header, for types with Py_TPFLAGS_INLINE_VALUES (pycore_object.h,
// _PyObject_InlineValues), with a `valid` flag that drops once the values
// have moved into a dict of their own (pycore_dict.h, struct _dictvalues).
// The interpreter reads `self.name` from there with the same checks: the
// type's version tag is unchanged since the index was found (so the type
// still has inline values, no class attribute of that name has appeared, and
// the lookup is still the plain instance one), and the values are still
// valid.  The tag belongs to one type, so an object of another type never
// passes.  Borrowed; nullptr when the fast path does not apply or the
// attribute is not set.
struct InlineValues {
    std::uint8_t capacity;
    std::uint8_t size;
    std::uint8_t embedded;
    std::uint8_t valid;
    PyObject* values[1];
};

inline PyObject* inline_value(PyObject* obj, const InlineSlot& slot) noexcept {
    if (slot.type_version == 0 || Py_TYPE(obj)->tp_version_tag != slot.type_version) {
        return nullptr;
    }
    const auto* values = reinterpret_cast<const InlineValues*>(reinterpret_cast<const char*>(obj) + sizeof(PyObject));
    return values->valid ? values->values[slot.index] : nullptr;
}

// The dict version tag changes on every modification of any dict and is never
// reused, so a cached global stays valid while the tags of the module
// namespace and the builtins are unchanged.  3.12 deprecated the field for
// code outside the interpreter (cpython/dictobject.h) in favour of dict
// watchers, yet 3.13 still gives every modification a new tag
// (pycore_dict.h, _PyDict_NotifyEvent).  It is read at its place, the word
// after ma_used, which py313.cpp checks against the interpreter's own
// declaration; naming the field here would warn on every build.

inline std::uint64_t dict_version(PyObject* dict) noexcept {
    return *reinterpret_cast<const std::uint64_t*>(reinterpret_cast<const char*>(dict) + offsetof(PyDictObject, ma_used) +
                                                  sizeof(Py_ssize_t));
}

// A generator made by a function decorated as an iterable coroutine is
// awaited as it is.  The flag sits on the generator's code object, the first
// word of the frame embedded in the generator (cpython/genobject.h,
// gi_iframe); PyGen_GetCode would cost a call and a reference.
inline bool is_iterable_coroutine(PyObject* obj) noexcept {
    return PyGen_CheckExact(obj) &&
           (reinterpret_cast<const InterpreterFrame*>(reinterpret_cast<PyGenObject*>(obj)->gi_iframe)->code->co_flags &
            CO_ITERABLE_COROUTINE) != 0;
}

// The `value` of a normalised StopIteration instance (borrowed), read from
// the struct of cpython/pyerrors.h: it saves an attribute lookup on every
// await that finishes.
inline PyObject* stop_iteration_value(PyObject* stop) noexcept {
    return reinterpret_cast<PyStopIterationObject*>(stop)->value;
}

// A coroutine of the interpreter that has not started cannot be suspended in
// an await of its own, so `await` needs no cr_await lookup for it.  The state
// byte is in the public struct of cpython/genobject.h; its values are in
// pycore_frame.h, where 3.13 made FRAME_CREATED -3 (it was -2).
constexpr int kFrameCreated = -3;

inline bool is_unstarted_coroutine(PyObject* coro) noexcept {
    return reinterpret_cast<PyCoroObject*>(coro)->cr_frame_state == kFrameCreated;
}

// The interpreter's C signal handler only sets flags; the Python-level
// handler (the one that raises KeyboardInterrupt for Ctrl-C) runs when the
// main thread next checks for them, which the interpreter's own loops do at
// every backward jump.  A loop of the frame that walks a caller's iterable
// without calling Python code must check too, or an endless iterable could
// never be interrupted.  3.13 moved the flag the handler sets into the
// eval_breaker word of the main thread's state (pycore_ceval.h,
// _PY_SIGNALS_PENDING_BIT), where the interpreter's loop tests it; only the
// main thread handles signals, so the word of the running thread is the one
// to test.  Only the interpreter's own loop clears it, so a set bit says no
// more than that PyErr_CheckSignals may have work to do.
constexpr std::uintptr_t kSignalsPendingBit = 1U << 1;

inline bool signal_pending() noexcept {
    return (__atomic_load_n(&thread_state()->eval_breaker, __ATOMIC_RELAXED) & kSignalsPendingBit) != 0;
}

// sys.set_coroutine_origin_tracking_depth() of the thread: the field of the
// thread state's public struct (cpython/pystate.h) that the interpreter reads
// when it makes a coroutine.
inline int origin_tracking_depth(PyThreadState* tstate) noexcept {
    return tstate->coroutine_origin_tracking_depth;
}

// 3.12 turns a StopIteration leaving a coroutine or generator into
// RuntimeError in its bytecode, by a handler that starts after the first
// instruction: one thrown into an unstarted one leaves it as it is.
constexpr bool kGuardsStopIterationBeforeStart = false;

// 3.13 clears the frame of a coroutine or generator that has finished while
// it is still linked to its caller (ceval.c, _PyEval_FrameClearAndPop), so a
// frame object someone kept of it has the caller as f_back; 3.11 unlinked it
// first.
constexpr bool kFinishedFrameKeepsCaller = true;

// 3.13 marks an unstarted coroutine or generator finished when it is closed,
// without running it (genobject.c, gen_close): no tool sees anything.
constexpr bool kCloseRunsUnstartedFrame = false;

// A tool failing at a return or yield event raises its error at that
// instruction, inside the frame: the frame gets its traceback entry at the
// line, and leaves with an unwind event (instrumentation through the
// interpreter's error path, ceval.c).
constexpr bool kExitEventErrorRaisedInFrame = true;

// An awaited object that answers throw() by returning: its StopIteration
// reaches the awaiting frame as thrown in (a throw event), as in 3.12.
constexpr bool kDelegateReturnIsThrownIn = true;

// 3.13 ends a generator suspended at a yield outside any try block without
// running it (genobject.c, gen_close: RESUME_OPARG_DEPTH1_MASK): no tool sees
// it resumed, and a frame object kept of it has no caller.
constexpr bool kCloseAtPlainYieldRunsNothing = true;

// From 3.12 on the interpreter's own coroutines and generators warn
// DeprecationWarning when throw() is given the exception as type, value and
// traceback (genobject.c, gen_throw).
constexpr bool kThrowWarnsOfThreeArguments = true;

// The references of the frame record (the function, the locals) are plain
// object pointers in this version, owned or borrowed as each field says.
using FrameRef = PyObject*;
constexpr FrameRef kNoRef = nullptr;

inline FrameRef owned_ref(PyObject* obj) noexcept { return obj; }
inline FrameRef borrowed_ref(PyObject* obj) noexcept { return obj; }
inline PyObject* ref_object(FrameRef ref) noexcept { return ref; }

// How many of the frame's localsplus slots hold valid references.
inline int local_count(const InterpreterFrame& frame) noexcept { return frame.stacktop; }
inline void set_local_count(InterpreterFrame& frame, int count) noexcept { frame.stacktop = count; }

// The throw() of an awaited object that is neither a coroutine nor a
// generator runs with the awaiting frame off the stack (genobject.c,
// _gen_throw pushes the frame only for the interpreter's own ones).
constexpr bool kOtherDelegateThrowsOnStack = false;

// PyUnicode_FromFormat decodes a %s piece cut by its precision with
// "replace": a multibyte character cut in two becomes U+FFFD.
constexpr bool kFormatKeepsBackCutCharacter = false;

// An error that nobody can catch, met while finalising or closing `obj`:
// reported with the object itself, as the interpreter's generators and
// coroutines report theirs (PyErr_WriteUnraisable); `doing` is what later
// versions name in the message.
inline void report_unraisable(const char*, PyObject* obj) noexcept {
    PyErr_WriteUnraisable(obj);
}

// throw() checks what is thrown before the state of the object thrown into.
constexpr bool kThrowChecksStateFirst = false;

// Generators and coroutines have no attribute naming their state: inspect
// works it out from gi_running, gi_suspended and gi_frame.
constexpr bool kNamesItsState = false;

}  // namespace frame::compat
