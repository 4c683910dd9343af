// CPython 3.12: the inline half of compat.hpp, against 3.12's headers.  The
// interpreter's internal layouts read here (pycore_frame.h, pycore_runtime.h,
// pycore_interp.h, pycore_object.h) are checked field by field in py312.cpp.
#pragma once

#include <opcode.h>

#include <cstddef>
#include <cstdint>

namespace frame::compat {

// The runtime's record of the thread state running Py_FinalizeEx (0 before);
// still _PyRuntime._finalizing in 3.12 (pycore_runtime.h), which is what
// _PyThreadState_MustExit tests before a daemon thread asking for the lock is
// ended with pthread_exit.  glibc runs that as a forced unwind through every
// C++ frame on the thread: the destructors that run then belong to a thread
// that does not hold the lock and must not touch Python objects.
extern const volatile std::uintptr_t& runtime_finalizing;

// Whether this thread may touch Python objects: always, except on a thread
// being ended at interpreter exit.  Leaking what such a thread held is what
// the interpreter itself does with the frames of the threads it ends.
inline bool may_touch_objects() noexcept {
    return runtime_finalizing == 0 || holds_lock_while_finalizing();
}

// 3.12 gives each interpreter its own lock, so there is no runtime-wide
// record of the running thread state any more: the interpreter keeps it in a
// thread-local variable (pycore_pystate.h, _Py_tss_tstate), which it does
// not export; an extension module's _PyThreadState_GET() is a call of
// _PyThreadState_GetCurrent(), and the public _PyThreadState_UncheckedGet()
// is the same read.
inline PyThreadState* thread_state() noexcept {
    return _PyThreadState_UncheckedGet();
}

// 3.12 counts Python frames and C calls separately (cpython/pystate.h):
// py_recursion_remaining against sys.setrecursionlimit(), and
// c_recursion_remaining against a fixed limit that keeps the C stack from
// overflowing.  A Python function called from C costs one of each (the
// interpreter's loop is entered, then the frame pushed), and a method or a
// resumption of the frame is exactly that: the interpreter calls it through
// vectorcall, and its body runs on the C stack.  Python's own check of the
// Python count (_Py_CheckRecursiveCallPy) is not exported; py312.cpp has its
// twin.  -1 with RecursionError set.
int check_python_recursion(PyThreadState* tstate) noexcept;

inline bool enter_recursive_call(PyThreadState* tstate, const char* where) noexcept {
    if (tstate->c_recursion_remaining-- <= 0 && check_recursive_call(tstate, where) < 0) {
        return true;  // the interpreter's check gave the count back
    }
    if (tstate->py_recursion_remaining-- <= 0 && check_python_recursion(tstate) < 0) {
        tstate->py_recursion_remaining++;
        tstate->c_recursion_remaining++;
        return true;
    }
    return false;
}

inline void leave_recursive_call(PyThreadState* tstate) noexcept {
    tstate->py_recursion_remaining++;
    tstate->c_recursion_remaining++;
}

// How many more levels of Python recursion the limit allows.
inline int python_levels_left(PyThreadState* tstate) noexcept {
    return tstate->py_recursion_remaining;
}

// A call of a C callable (not a Python frame) costs a C level only, as the
// interpreter's CALL of a builtin does.
inline bool enter_native_call(PyThreadState* tstate, const char* where) noexcept {
    return tstate->c_recursion_remaining-- <= 0 && check_recursive_call(tstate, where) < 0;
}

inline void leave_native_call(PyThreadState* tstate) noexcept {
    tstate->c_recursion_remaining++;
}

// --- what profilers and sys.monitoring see -------------------------------------
//
// From 3.12 on every watcher is a sys.monitoring tool: cProfile registers as
// tool 2, and sys.setprofile() installs the interpreter's own callbacks as
// tool 6 (PY_MONITORING_SYS_PROFILE_ID), which call the thread's profile
// function.  The interpreter fires events by rewriting the bytecode of each
// code object it runs (instrumentation) and calling the tools from the
// instrumented instructions; none of that is exported, and a body is not
// bytecode.  So fire_event does what the interpreter's
// call_instrumentation_vector (Python/instrumentation.c) does for the
// instrumented instruction: the same tools, callables, arguments, DISABLE
// handling and tracing guard, read from the same interpreter state
// (pycore_interp.h: monitors, monitoring_callables).
//
// What the interpreter keeps per code object in the instrumented bytecode
// (which tool returned DISABLE for an event) py312.cpp keeps beside the
// code object, so nothing is kept per function or coroutine.
struct EventState {};

// Where PyInterpreterState keeps the tools each event calls (the interp's
// `monitors`, one byte of tool bits per event): not in a public header, so
// py312.cpp takes the offset from the internal one; the build's link-time
// optimisation makes it a constant here.
extern const std::size_t interp_monitors_offset;

inline const std::uint8_t* global_monitors(PyThreadState* tstate) noexcept {
    return reinterpret_cast<const std::uint8_t*>(tstate->interp) + interp_monitors_offset;
}

// Whether a tool listens to an event the frame fires (PY_START, PY_RESUME,
// PY_RETURN, PY_YIELD: events 0-3; PY_UNWIND, PY_THROW: 12 and 13), and no
// tool callback is running on this thread (the interpreter fires no events
// from inside one).  Tools set on our code objects only locally
// (sys.monitoring.set_local_events) without a global event are not seen here.
inline bool events_wanted(PyThreadState* tstate, EventState&) noexcept {
    const std::uint8_t* tools = global_monitors(tstate);
    return (tools[0] | tools[1] | tools[2] | tools[3] | tools[12] | tools[13]) != 0 && tstate->tracing == 0;
}

// --- frames on the thread's stack -------------------------------------------
//
// While a body runs, a frame of its code object is the innermost frame of the
// thread, so whatever walks the stack (sys._getframe, inspect, traceback,
// logging's caller fields, warnings, faulthandler, pdb, profilers) finds it
// as it finds a Python function's.  3.12 still chains _PyInterpreterFrame
// records from tstate->cframe->current_frame (pycore_frame.h); the record
// reordered its fields, replaced f_func by f_funcobj and is_entry by
// return_offset (an entry is now a frame owned by the C stack,
// FRAME_OWNED_BY_CSTACK, which stack walkers skip).  Checked field by field
// in py312.cpp.

// A unit of bytecode (cpython/code.h).
using CodeUnit = _Py_CODEUNIT;

struct InterpreterFrame {
    PyCodeObject* code;         // f_code; borrowed from the function or the coroutine
    InterpreterFrame* previous; // the frame below, while on the stack
    PyObject* function;         // f_funcobj; borrowed (the interpreter never releases a frame of ours)
    PyObject* globals;          // f_globals, borrowed, as the interpreter's
    PyObject* builtins;         // f_builtins, borrowed
    PyObject* locals;           // f_locals: owned, made when someone reads f_locals
    PyObject* frame_object;     // owned, or nullptr until someone asks for it
    CodeUnit* instr;            // prev_instr: the code unit of the current line (location table)
    int stacktop;               // co_nlocalsplus: every local slot is valid
    std::uint16_t return_offset;  // 0: no caller of the interpreter's returns into this frame
    char owner;                 // kOwnedByThread
    // The parameters (owned: a debugger writing f_locals back replaces
    // them with references of its own), then nullptr for the other locals.
    PyObject* localsplus[kMaxFrameLocals];
};

constexpr char kOwnedByThread = 0;

// A code object of the tables has one code unit per line from its first line
// to its last (a RESUME, then NOPs), each mapped to its line by the location
// table, and after them this many units that raise AssertionError should
// anyone execute it.  None of these has inline cache entries in 3.12.  The
// current line of a frame is the unit its prev_instr points at: f_lineno,
// faulthandler and the debuggers all read it from there.  A frame whose
// prev_instr is before the code's first RESUME (_co_firsttraceable, 0 here)
// is skipped by stack walkers as incomplete; ours never is.
constexpr int kTrailingUnits = 2;

// The inline cache units that follow RESUME, none in this version: the first
// line's unit is the RESUME itself.
constexpr int kResumeCacheUnits = 0;

// Those units load AssertionError and raise it.
constexpr unsigned char kTrailingCode[2 * kTrailingUnits] = {LOAD_ASSERTION_ERROR, 0, RAISE_VARARGS, 1};

inline CodeUnit* code_units(PyCodeObject* code) noexcept {
    return reinterpret_cast<CodeUnit*>(code->co_code_adaptive);
}

// 3.12 deprecated PyCode_NewWithPosOnlyArgs in favour of this name.
inline PyCodeObject* new_code(int argcount, int posonlyargcount, int kwonlyargcount, int nlocals, int stacksize,
                              int flags, PyObject* code, PyObject* consts, PyObject* names, PyObject* varnames,
                              PyObject* freevars, PyObject* cellvars, PyObject* filename, PyObject* name,
                              PyObject* qualname, int firstlineno, PyObject* linetable,
                              PyObject* exceptiontable) noexcept {
    return PyUnstable_Code_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags,
                                              code, consts, names, varnames, freevars, cellvars, filename, name,
                                              qualname, firstlineno, linetable, exceptiontable);
}

// Where 3.12 keeps the thread's innermost frame (cpython/pystate.h).
inline _PyInterpreterFrame** innermost_frame(PyThreadState* tstate) noexcept {
    return &tstate->cframe->current_frame;
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
// when it was found, and the index in the instances' inline value arrays.
struct InlineSlot {
    std::uint32_t type_version = 0;  // 0: nothing found yet
    Py_ssize_t index = 0;
};

// 3.12 moved an instance's inline values: the word three before the object
// holds either its dict or, tagged with the low bit, a pointer one byte
// before its values (pycore_object.h, _PyObject_DictOrValuesPointer).  The
// interpreter reads `self.name` from there with the same two checks: the
// type's version tag is unchanged since the index was found, and the
// instance still has its inline values.  Borrowed; nullptr when the fast
// path does not apply or the attribute is not set.
inline PyObject* inline_value(PyObject* obj, const InlineSlot& slot) noexcept {
    if (slot.type_version == 0 || Py_TYPE(obj)->tp_version_tag != slot.type_version) {
        return nullptr;
    }
    const std::uintptr_t dict_or_values = reinterpret_cast<std::uintptr_t*>(obj)[-3];
    if ((dict_or_values & 1) == 0) {
        return nullptr;
    }
    return reinterpret_cast<PyObject**>(dict_or_values + 1)[slot.index];
}

// The dict version tag still changes on every modification and is never
// reused within an interpreter (pycore_dict.h: a per-interpreter counter in
// steps of 256, the low bits marking the dict's watchers), so a cached global
// stays valid while the tags of the module namespace and the builtins are
// unchanged.  3.12 deprecates reading the field, with no replacement.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// A generator made by a function decorated as an iterable coroutine is
// awaited as it is.  3.12 keeps a generator's code in its frame (gi_code is
// gone from the struct): the frame record starts at gi_iframe and its first
// field is f_code, which is what the interpreter's _PyGen_GetCode reads.
inline bool is_iterable_coroutine(PyObject* obj) noexcept {
    return PyGen_CheckExact(obj) &&
           (reinterpret_cast<InterpreterFrame*>(reinterpret_cast<PyGenObject*>(obj)->gi_iframe)->code->co_flags &
            CO_ITERABLE_COROUTINE) != 0;
}

inline PyObject* stop_iteration_value(PyObject* stop) noexcept {
    return reinterpret_cast<PyStopIterationObject*>(stop)->value;
}

// The state byte is in the public struct of cpython/genobject.h; FRAME_CREATED
// is still -2 in 3.12's pycore_frame.h (checked in py312.cpp).
constexpr int kFrameCreated = -2;

inline bool is_unstarted_coroutine(PyObject* coro) noexcept {
    return reinterpret_cast<PyCoroObject*>(coro)->cr_frame_state == kFrameCreated;
}

// Whether a StopIteration thrown into a generator or coroutine that has not
// started is turned into RuntimeError.  3.12 moved that guard from
// gen_send_ex2 into an exception handler the compiler wraps around the body,
// which does not cover the first RESUME, where an exception thrown before
// the start is raised: it leaves as the StopIteration it is.
constexpr bool kGuardsStopIterationBeforeStart = false;

// Whether the frame object of a generator or coroutine frame that finishes
// while someone holds it keeps the caller it finished in as f_back: 3.12
// clears the frame in its return instruction, still linked to the caller
// (ceval.c, clear_gen_frame), so the frame object takes that as f_back.
constexpr bool kFinishedFrameKeepsCaller = true;

// Whether close() of a generator or coroutine that never started runs its
// frame: 3.12's gen_close marks an unstarted frame completed without running
// it, so no tool sees an event.
constexpr bool kCloseRunsUnstartedFrame = false;

// Whether a tool's error at a PY_RETURN or PY_YIELD event is raised in the
// frame: 3.12 fires them from the instrumented return and yield instructions,
// whose error is the frame's, with a traceback entry at the line and a
// PY_UNWIND event after it (the profile function's wrapper no longer adds an
// entry of its own).
constexpr bool kExitEventErrorRaisedInFrame = true;

// Whether a throw() into a coroutine suspended in an await, which the
// awaited object answers by returning, reaches the coroutine's frame as that
// StopIteration thrown in: 3.12's _gen_throw throws whatever the awaited
// object raised into the frame, whose CLEANUP_THROW takes the value out of
// a StopIteration, so tools see PY_THROW.
constexpr bool kDelegateReturnIsThrownIn = true;

// Whether close() of a generator suspended at a yield outside any try block
// ends it without running its frame, so that a frame object kept of it has no
// caller: not in 3.12, which throws GeneratorExit in.
constexpr bool kCloseAtPlainYieldRunsNothing = false;

// Whether throw() with more than the exception warns DeprecationWarning:
// 3.12's gen_throw does, before anything else.
constexpr bool kThrowWarnsOfThreeArguments = true;

// The flag the C signal handler sets for the interpreter's loops: still
// _PyRuntime.ceval.signals_pending in 3.12 (pycore_ceval_state.h), shared by
// all interpreters, set with the eval breaker of the main interpreter; only
// the interpreter's own loop clears it.
extern const int* const signals_pending;

inline bool signal_pending() noexcept {
    return __atomic_load_n(signals_pending, __ATOMIC_RELAXED) != 0;
}

inline int origin_tracking_depth(PyThreadState* tstate) noexcept {
    return tstate->coroutine_origin_tracking_depth;
}

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
