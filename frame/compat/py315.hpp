// CPython 3.15: the inline half of compat.hpp, against 3.15's headers.  The
// interpreter's internal layouts read here (pycore_interpframe_structs.h,
// pycore_stackref.h, pycore_runtime.h, pycore_dict.h, pycore_object.h) are
// checked field by field in py315.cpp.  What 3.15 changed from 3.14 for
// the frame: the frame states' numbers (FRAME_CREATED is 0), an inline cache
// unit after RESUME, and no frames owned by the C stack (entry frames are the
// interpreter's own); the records read here kept their 3.14 layout.
#pragma once

#include <opcode.h>

#include "machine_stack.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace frame::compat {

// The runtime's record of the thread state running Py_FinalizeEx (nullptr
// before), a plain pointer, _PyRuntime._finalizing (pycore_runtime_structs.h),
// as in 3.13; it is read as one word.  From the moment it is set, a daemon thread that asks for the
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

// The thread state holding the interpreter lock: the public call that reads
// the interpreter's thread-local record of it, as in 3.13.
inline PyThreadState* thread_state() noexcept {
    return PyThreadState_GetUnchecked();
}

// One level of recursion, counted as the interpreter counts a Python function
// called from C code, which is what a method is called as.  3.14 stopped
// counting C frames: the C budget is the machine stack itself, checked by
// comparing the stack pointer with a soft limit kept in the thread state's
// private part (pycore_tstate.h, c_stack_soft_limit), which the exported
// Py_EnterRecursiveCall does, as the interpreter's loop does on entry
// (pycore_ceval.h, _Py_EnterRecursiveCallTstate).  Leaving such a call has
// nothing to give back.  Python frames still count against the limit of
// sys.setrecursionlimit (py_recursion_remaining, cpython/pystate.h).  Only
// an exhausted counter or a stack near its end costs more than a compare.
// True when a limit is reached, with RecursionError set and the counter as
// it was.
int check_python_recursion(PyThreadState* tstate) noexcept;

inline void leave_native_call(PyThreadState*) noexcept {}

inline bool enter_recursive_call(PyThreadState* tstate, const char* where) noexcept {
    if (enter_native_call(tstate, where)) {
        return true;
    }
    return tstate->py_recursion_remaining-- <= 0 && check_python_recursion(tstate) < 0;
}

inline void leave_recursive_call(PyThreadState* tstate) noexcept {
    tstate->py_recursion_remaining++;
}

// How many more levels of Python recursion the limit allows.
inline int python_levels_left(PyThreadState* tstate) noexcept {
    return tstate->py_recursion_remaining;
}

// --- what profilers see --------------------------------------------------
//
// 3.12 rebuilt every watcher on sys.monitoring (PEP 669): the profile and
// trace functions (sys.setprofile, sys.settrace, pdb) and cProfile are tools
// whose callbacks the interpreter calls for the events of a Python function's
// frame.  3.13 gives code that emulates Python functions a public C API for
// raising those events (cpython/monitoring.h): a state per event type, valid
// while the interpreter's monitoring version is the one recorded with it,
// refreshed by PyMonitoring_EnterScope.  3.14 and 3.15 keep that API as 3.13 gave
// it (it split the BRANCH event in two and renumbered the later events,
// none of which a frame of ours raises).  A tool's callback returning
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
// as it finds a Python function's.  3.14 keeps that stack as a chain of
// _PyInterpreterFrame records from tstate->current_frame, as 3.13, in a
// layout that moved (pycore_interpframe_structs.h), checked field by field
// against the interpreter's own in py315.cpp: the code object, the function
// and the locals are tagged stack references (pycore_stackref.h) rather than
// object pointers, the depth of the value stack is a pointer past its last
// entry (stackpointer) rather than a count, and a `visited` byte follows the
// owner for the collector's walk of the stacks.  Frame objects are made only
// when someone asks for one, by the interpreter or by frame_object() below.

// 3.15's code unit type is internal (pycore_code.h); the frame only ever
// points at units, which are 16-bit words.
using CodeUnit = std::uint16_t;

// A stack reference of the build with the lock (pycore_stackref.h): the
// object's address, its low bit set (Py_TAG_REFCNT) when the reference holds
// no count of its own, which is how the interpreter tags immortal objects and
// references it borrows.  The null reference is that bit alone, not zero.
struct StackRef {
    std::uintptr_t bits;
};

constexpr std::uintptr_t kRefcountTag = 1;
using FrameRef = StackRef;
constexpr FrameRef kNoRef{kRefcountTag};

// A reference that owns a count, as PyStackRef_FromPyObjectSteal makes one:
// tagged when the object is immortal (the interpreter's debug build insists
// on it), which costs nothing, since counting an immortal object does nothing.
inline FrameRef owned_ref(PyObject* obj) noexcept {
    if (obj == nullptr) {
        return kNoRef;
    }
    return {reinterpret_cast<std::uintptr_t>(obj) | (_Py_IsImmortal(obj) ? kRefcountTag : 0)};
}

// A reference that holds no count (PyStackRef_FromPyObjectBorrow).
inline FrameRef borrowed_ref(PyObject* obj) noexcept {
    return {reinterpret_cast<std::uintptr_t>(obj) | kRefcountTag};
}

// The object referred to (borrowed), nullptr for the null reference.
inline PyObject* ref_object(FrameRef ref) noexcept {
    return reinterpret_cast<PyObject*>(ref.bits & ~kRefcountTag);
}

struct InterpreterFrame {
    // f_executable: borrowed from the function or the coroutine, yet stored
    // untagged, so that it reads as the code object's address wherever the
    // frame names it; the interpreter masks the tag when it reads it, and
    // closes it only in frames it owns (a frame object's copy, which holds
    // a count of its own).
    PyCodeObject* code;
    InterpreterFrame* previous; // the frame below, while on the stack
    FrameRef function;          // f_funcobj; borrowed (null for a coroutine's frame)
    PyObject* globals;          // f_globals, borrowed, as the interpreter's
    PyObject* builtins;         // f_builtins, borrowed
    PyObject* locals;           // f_locals: stays nullptr (a function's frame keeps no dict)
    PyObject* frame_object;     // owned, or nullptr until someone asks for it
    CodeUnit* instr;            // instr_ptr: the code unit of the current line (location table)
    FrameRef* stackpointer;     // past the last local: the value stack is empty
    std::uint16_t return_offset;// 0: the interpreter never returns into this frame
    char owner;                 // kOwnedByThread
    std::uint8_t visited;       // the collector's mark, 0 until it walks the stack
    // The parameters (owned: f_locals writes through to them, and a debugger
    // replaces them with references of its own), then null for the other
    // locals.
    FrameRef localsplus[kMaxFrameLocals];
};

// How many of the frame's localsplus slots hold valid references: all of
// its locals, and no value stack.
inline int local_count(const InterpreterFrame& frame) noexcept {
    return static_cast<int>(frame.stackpointer - frame.localsplus);
}

inline void set_local_count(InterpreterFrame& frame, int count) noexcept {
    frame.stackpointer = frame.localsplus + count;
}

constexpr char kOwnedByThread = 0;

// A code object of the tables has one code unit per line from its first line
// to its last (a RESUME, then NOPs), each mapped to its line by the location
// table, and after them this many units that raise AssertionError should
// anyone execute it.  The current line of a frame is the unit its instr_ptr
// points at: f_lineno, faulthandler and the debuggers all read it from there.
constexpr int kTrailingUnits = 2;

// 3.15's RESUME has an inline cache unit, a counter for its specialisation
// (pycore_opcode_metadata.h, _PyOpcode_Caches[RESUME]); the interpreter
// writes it when it quickens the code.  It belongs to the first line, and
// every other line gets as many units, so that a frame is always shown at an
// instruction (scope.hpp, kUnitsPerLine).
constexpr int kResumeCacheUnits = 1;

// Those units load AssertionError and raise it: 3.14 loads it as one of the
// common constants (pycore_opcode_utils.h, CONSTANT_ASSERTIONERROR), where
// earlier versions had an instruction of its own.
constexpr int kAssertionErrorConstant = 0;
constexpr unsigned char kTrailingCode[2 * kTrailingUnits] = {LOAD_COMMON_CONSTANT, kAssertionErrorConstant,
                                                             RAISE_VARARGS, 1};

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

// Where 3.15 keeps the thread's innermost frame: in the thread state itself,
// as 3.13 and 3.14.
inline _PyInterpreterFrame** innermost_frame(PyThreadState* tstate) noexcept {
    return &tstate->current_frame;
}

// 3.15 keeps, for profilers that read a thread's stack from another
// process, the innermost frame they last saw (cpython/pystate.h,
// last_profiled_frame): a frame leaving the stack that is that one hands it
// to its caller and moves the sequence on, as the interpreter does for its
// own (pycore_interpframe.h, _PyThreadState_UpdateLastProfiledFrame).
inline void frame_left(PyThreadState* tstate, InterpreterFrame& frame) noexcept {
    if (tstate->last_profiled_frame == reinterpret_cast<_PyInterpreterFrame*>(&frame)) {
        tstate->last_profiled_frame = reinterpret_cast<_PyInterpreterFrame*>(frame.previous);
        tstate->last_profiled_frame_seq++;
    }
}

// The fields of a new frame that only the interpreter's own bookkeeping
// reads: no call of its loop to return to, owned by the thread's stack.
inline void init_frame_state(InterpreterFrame& frame) noexcept {
    frame.return_offset = 0;
    frame.owner = kOwnedByThread;
    frame.visited = 0;
}

// Where the instances of one type keep an attribute: the type's version tag
// when it was found, and the index in the instances' inline values.
struct InlineSlot {
    std::uint32_t type_version = 0;  // 0: nothing found yet
    Py_ssize_t index = 0;
};

// An instance's inline values are in the object itself, for types with
// Py_TPFLAGS_INLINE_VALUES, as in 3.13; 3.14 lets such a type have fields of
// its own, so they start at the type's basic size rather than right after
// the header (pycore_object.h, _PyObject_InlineValues), with a `valid` flag that drops once the values
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
    const auto* values =
        reinterpret_cast<const InlineValues*>(reinterpret_cast<const char*>(obj) + Py_TYPE(obj)->tp_basicsize);
    return values->valid ? values->values[slot.index] : nullptr;
}

// A cached global stays valid while neither the module namespace nor the
// builtins has changed.  3.14 removed the dict version tag that said so
// (cpython/dictobject.h keeps the watchers' bits in its place), so the frame
// watches those dicts itself (PyDict_AddWatcher): every change of a watched
// dict counts one, and the count stands for the version of each of them.
// A dict is watched from its first lookup; its bit in _ma_watcher_tag says
// it is.  When no watcher can be had, every lookup is a new version, and so
// nothing stays cached.
extern std::uint64_t dict_changes;
extern int dict_watcher;  // -1 until made

std::uint64_t watch_dict(PyObject* dict) noexcept;

inline std::uint64_t dict_version(PyObject* dict) noexcept {
    if (dict_watcher >= 0 && (reinterpret_cast<PyDictObject*>(dict)->_ma_watcher_tag >> dict_watcher) & 1) {
        return dict_changes;
    }
    return watch_dict(dict);
}

// The head of the interpreter's generators and coroutines, which 3.14 made
// internal (pycore_interpframe_structs.h, _PyGenObject_HEAD), up to the
// frame embedded in it: py315.cpp checks each offset against the
// interpreter's own.
struct GeneratorHead {
    PyObject_HEAD
    PyObject* weakreflist;
    PyObject* name;
    PyObject* qualname;
    _PyErr_StackItem exc_state;
    PyObject* origin_or_finalizer;
    char hooks_inited;
    char closed;
    char running_async;
    std::int8_t frame_state;
    InterpreterFrame iframe;
};

// A generator made by a function decorated as an iterable coroutine is
// awaited as it is.  The flag sits on the generator's code object, the first
// word of the frame embedded in the generator (gi_iframe), a stack reference
// the interpreter may have tagged; PyGen_GetCode would cost a call and a
// reference.
inline bool is_iterable_coroutine(PyObject* obj) noexcept {
    if (!PyGen_CheckExact(obj)) {
        return false;
    }
    const StackRef code{reinterpret_cast<std::uintptr_t>(reinterpret_cast<const GeneratorHead*>(obj)->iframe.code)};
    return (reinterpret_cast<PyCodeObject*>(ref_object(code))->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

// The `value` of a normalised StopIteration instance (borrowed), read from
// the struct of cpython/pyerrors.h: it saves an attribute lookup on every
// await that finishes.
inline PyObject* stop_iteration_value(PyObject* stop) noexcept {
    return reinterpret_cast<PyStopIterationObject*>(stop)->value;
}

// A coroutine of the interpreter that has not started cannot be suspended in
// an await of its own, so `await` needs no cr_await lookup for it.  The state
// byte is in the head above; its values are in pycore_frame.h, where 3.15
// renumbered them from 0 up: FRAME_CREATED is 0 (it was -3).
constexpr int kFrameCreated = 0;

inline bool is_unstarted_coroutine(PyObject* coro) noexcept {
    return reinterpret_cast<const GeneratorHead*>(coro)->frame_state == kFrameCreated;
}

// The interpreter's C signal handler only sets flags; the Python-level
// handler (the one that raises KeyboardInterrupt for Ctrl-C) runs when the
// main thread next checks for them, which the interpreter's own loops do at
// every backward jump.  A loop of the frame that walks a caller's iterable
// without calling Python code must check too, or an endless iterable could
// never be interrupted.  The flag the handler sets is a bit of the
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

// 3.14 unlinks the frame of a coroutine or generator that has finished
// before a frame object kept of it takes it over, so that object has no
// f_back, as in 3.11 (3.12 and 3.13 kept the caller).
constexpr bool kFinishedFrameKeepsCaller = false;

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

// 3.15, as 3.14, puts a coroutine or generator's frame on the stack while it calls
// the throw() of an awaited object that is neither (genobject.c, _gen_throw:
// the frame is pushed around the call, not around the lookup of `throw`), so
// that a traceback or stack walk made there shows the awaiting frame.
constexpr bool kOtherDelegateThrowsOnStack = true;

// 3.15's PyUnicode_FromFormat, as 3.14's, decodes each %s piece statefully
// (unicodeobject.c, unicode_fromformat_write_utf8): a multibyte character
// that the precision cuts in two is left out rather than replaced by U+FFFD.
constexpr bool kFormatKeepsBackCutCharacter = true;

// An error that nobody can catch, met while finalising or closing `obj`:
// 3.14 reports it with what was being done named in the message and no
// object (genobject.c, _PyGen_Finalize and gen_close_iter, which says
// "generator" for any awaited object; errors.c,
// _PyErr_WarnUnawaitedCoroutine): "Exception ignored while closing
// generator <...>".
inline void report_unraisable(const char* doing, PyObject* obj) noexcept {
    PyErr_FormatUnraisable("Exception ignored while %s %R", doing, obj);
}

// 3.15 refuses throw() into a running coroutine or generator, or into a
// finished coroutine, before it looks at what is thrown (genobject.c,
// _gen_throw): "coroutine already executing", "cannot reuse already awaited
// coroutine", where earlier versions first refused a malformed exception.
constexpr bool kThrowChecksStateFirst = true;

// 3.15's generators and coroutines name their state themselves (gi_state,
// cr_state: "GEN_CREATED" ... "CORO_CLOSED"), which inspect's
// getgeneratorstate() and getcoroutinestate() now return as they are.
constexpr bool kNamesItsState = true;

}  // namespace frame::compat
