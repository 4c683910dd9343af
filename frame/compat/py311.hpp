// CPython 3.11: the inline half of compat.hpp, against 3.11's headers.  The
// interpreter's internal layouts read here (pycore_frame.h, pycore_runtime.h,
// pycore_dict.h) are checked field by field in py311.cpp.
#pragma once

#include <opcode.h>

#include <cstddef>
#include <cstdint>

namespace frame::compat {

// The runtime's record of the thread state running Py_FinalizeEx (0 before).
// From the moment it is set, a daemon thread that asks for the interpreter
// lock is ended with pthread_exit, which glibc runs as a forced unwind through
// every C++ frame on that thread: the destructors that run then belong to a
// thread that does not hold the lock and must not touch Python objects.  The
// field lives in the internal runtime struct (pycore_runtime.h), and reading
// it is the only test cheap enough for every reference a destructor releases.
extern const volatile std::uintptr_t& runtime_finalizing;

// Whether this thread may touch Python objects: always, except on a thread
// being ended at interpreter exit.  Leaking what such a thread held is what
// the interpreter itself does with the frames of the threads it ends.
inline bool may_touch_objects() noexcept {
    return runtime_finalizing == 0 || holds_lock_while_finalizing();
}

// The thread state holding the interpreter lock: the runtime's own record,
// read in place where the interpreter's inline accessor reads it
// (pycore_pystate.h); the public call costs more than the counting below.
extern const volatile std::uintptr_t& running_thread_state;

inline PyThreadState* thread_state() noexcept {
    return reinterpret_cast<PyThreadState*>(running_thread_state);
}

// One level of recursion, counted the way the interpreter counts each
// function call (pycore_ceval.h): the counter lives in the thread state's
// public struct, and only an exhausted counter costs a call.  True when the
// limit is reached, with RecursionError set.
inline bool enter_recursive_call(PyThreadState* tstate, const char* where) noexcept {
    return tstate->recursion_remaining-- <= 0 && check_recursive_call(tstate, where) < 0;
}

inline void leave_recursive_call(PyThreadState* tstate) noexcept {
    tstate->recursion_remaining++;
}

// How many more levels of Python recursion the limit allows.
inline int python_levels_left(PyThreadState* tstate) noexcept {
    return tstate->recursion_remaining;
}

// 3.11 has one counter: a call of a C callable counts as any other level.
inline bool enter_native_call(PyThreadState* tstate, const char* where) noexcept {
    return enter_recursive_call(tstate, where);
}

inline void leave_native_call(PyThreadState* tstate) noexcept {
    leave_recursive_call(tstate);
}

// --- what profilers see --------------------------------------------------
//
// 3.11 has one kind of watcher, the thread's profile function (sys.setprofile,
// cProfile), which sees a call event when a frame starts, resumes or is
// thrown into and a return event when it returns, yields or unwinds.  It
// keeps no state per code object.
struct EventState {};

// The flag the interpreter tests before each event of its own frames
// (cframe->use_tracing, cleared while a trace or profile function runs) and
// the function itself.
inline bool events_wanted(PyThreadState* tstate, EventState&) noexcept {
    return tstate->cframe->use_tracing != 0 && tstate->c_profilefunc != nullptr;
}

// --- frames on the thread's stack -------------------------------------------
//
// While a body runs, a frame of its code object is the innermost frame of the
// thread, so whatever walks the stack (sys._getframe, inspect, traceback,
// logging's caller fields, warnings, faulthandler, pdb, profilers) finds it
// as it finds a Python function's.  The interpreter keeps that stack as a
// chain of _PyInterpreterFrame records from tstate->cframe->current_frame
// (pycore_frame.h, not a public header); this is their 3.11 layout, checked
// field by field against the interpreter's own in py311.cpp.  Frame objects
// are made only when someone asks for one, by the interpreter or by
// frame_object() below.

// A unit of bytecode (cpython/code.h).
using CodeUnit = _Py_CODEUNIT;

struct InterpreterFrame {
    PyObject* function;         // f_func; borrowed (the interpreter never releases it here)
    PyObject* globals;          // f_globals, borrowed, as the interpreter's
    PyObject* builtins;         // f_builtins, borrowed
    PyObject* locals;           // f_locals: owned, made when someone reads f_locals
    PyCodeObject* code;         // f_code; borrowed from the function or the coroutine
    PyObject* frame_object;     // owned, or nullptr until someone asks for it
    InterpreterFrame* previous; // the frame below, while on the stack
    CodeUnit* instr;            // prev_instr: the code unit of the current line (location table)
    int stacktop;               // co_nlocalsplus: every local slot is valid
    bool is_entry;              // false: the interpreter's loop never runs this frame
    char owner;                 // kOwnedByThread
    // The parameters (owned: a debugger writing f_locals back replaces
    // them with references of its own), then nullptr for the other locals.
    PyObject* localsplus[kMaxFrameLocals];
};

constexpr char kOwnedByThread = 0;

// A code object of the tables has one code unit per line from its first line
// to its last (a RESUME, then NOPs), each mapped to its line by the location
// table, and after them this many units that raise AssertionError should
// anyone execute it.  The current line of a frame is the unit its prev_instr
// points at: f_lineno, faulthandler and the debuggers all read it from there.
constexpr int kTrailingUnits = 2;

// The inline cache units that follow RESUME, none in this version: the first
// line's unit is the RESUME itself.
constexpr int kResumeCacheUnits = 0;

// Those units load AssertionError and raise it.
constexpr unsigned char kTrailingCode[2 * kTrailingUnits] = {LOAD_ASSERTION_ERROR, 0, RAISE_VARARGS, 1};

// The first code unit of a code object: the units the frame points its
// frames at to show their line.
inline CodeUnit* code_units(PyCodeObject* code) noexcept {
    return reinterpret_cast<CodeUnit*>(code->co_code_adaptive);
}

// A code object with positional-only parameters (cpython/code.h).
inline PyCodeObject* new_code(int argcount, int posonlyargcount, int kwonlyargcount, int nlocals, int stacksize,
                              int flags, PyObject* code, PyObject* consts, PyObject* names, PyObject* varnames,
                              PyObject* freevars, PyObject* cellvars, PyObject* filename, PyObject* name,
                              PyObject* qualname, int firstlineno, PyObject* linetable,
                              PyObject* exceptiontable) noexcept {
    return PyCode_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags, code,
                                     consts, names, varnames, freevars, cellvars, filename, name, qualname,
                                     firstlineno, linetable, exceptiontable);
}

// Where 3.11 keeps the thread's innermost frame (cpython/pystate.h).
inline _PyInterpreterFrame** innermost_frame(PyThreadState* tstate) noexcept {
    return &tstate->cframe->current_frame;
}

// A frame leaving the stack: nothing else of the thread's state refers to it.
inline void frame_left(PyThreadState*, InterpreterFrame&) noexcept {}

// The fields of a new frame that only the interpreter's own bookkeeping
// reads: not an entry of its loop, owned by the thread's stack.
inline void init_frame_state(InterpreterFrame& frame) noexcept {
    frame.is_entry = false;
    frame.owner = kOwnedByThread;
}

// Where the instances of one type keep an attribute: the type's version tag
// when it was found, and the index in the instances' inline value arrays.
struct InlineSlot {
    std::uint32_t type_version = 0;  // 0: nothing found yet
    Py_ssize_t index = 0;
};

// An instance of a class made by a class statement keeps its attributes in an
// array of values laid out by keys its type shares among all its instances,
// until someone asks for its __dict__ (pycore_object.h, _PyObject_ValuesPointer:
// the pointer sits four words before the object).  The interpreter reads
// `self.name` from there with the same two checks: the type's version tag is
// unchanged since the index was found (so no class attribute of that name has
// appeared and the lookup is still the plain instance one), and the instance
// still has its inline values.  The tag belongs to one type, so an object of
// another type never passes.  Borrowed; nullptr when the fast path does not
// apply or the attribute is not set.
inline PyObject* inline_value(PyObject* obj, const InlineSlot& slot) noexcept {
    if (slot.type_version == 0 || Py_TYPE(obj)->tp_version_tag != slot.type_version) {
        return nullptr;
    }
    PyObject** values = reinterpret_cast<PyObject***>(obj)[-4];
    return values != nullptr ? values[slot.index] : nullptr;
}

// The dict version tag changes on every modification of any dict and is never
// reused, so a cached global stays valid while the tags of the module
// namespace and the builtins are unchanged.  The field is public in 3.11's
// headers (cpython/dictobject.h) and has no accessor.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// A generator made by a function decorated as an iterable coroutine is
// awaited as it is.  The flag sits on the generator's code object; 3.11 has
// no accessor for a generator's code (cpython/genobject.h layout).
inline bool is_iterable_coroutine(PyObject* obj) noexcept {
    return PyGen_CheckExact(obj) &&
           (reinterpret_cast<PyGenObject*>(obj)->gi_code->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

// The `value` of a normalised StopIteration instance (borrowed), read from
// the struct of cpython/pyerrors.h: it saves an attribute lookup on every
// await that finishes.
inline PyObject* stop_iteration_value(PyObject* stop) noexcept {
    return reinterpret_cast<PyStopIterationObject*>(stop)->value;
}

// A coroutine of the interpreter that has not started cannot be suspended in
// an await of its own, so `await` needs no cr_await lookup for it (the common
// case: `await response.json()` awaits a coroutine made just now).  The state
// byte is in the public struct of cpython/genobject.h; its values are in an
// internal header, where FRAME_CREATED is -2 in 3.11.
inline bool is_unstarted_coroutine(PyObject* coro) noexcept {
    return reinterpret_cast<PyCoroObject*>(coro)->cr_frame_state == -2;
}

// The interpreter's C signal handler only sets flags; the Python-level
// handler (the one that raises KeyboardInterrupt for Ctrl-C) runs when the
// main thread next checks for them, which the interpreter's own loops do at
// every backward jump.  A loop of the frame that walks a caller's iterable
// without calling Python code must check too, or an endless iterable could
// never be interrupted.  PyErr_CheckSignals on every element costs a call, a
// main-thread test and an atomic load (a 100-element scan took 15% longer);
// the flag the handler sets for the interpreter's loops is one load.  It is
// _PyRuntime.ceval.signals_pending (pycore_runtime.h), shared by all
// interpreters; only the interpreter's own loop clears it, so a set flag
// says no more than that PyErr_CheckSignals may have work to do.
extern const int* const signals_pending;

inline bool signal_pending() noexcept {
    return __atomic_load_n(signals_pending, __ATOMIC_RELAXED) != 0;
}

// Whether a StopIteration thrown into a generator or coroutine that has not
// started is turned into RuntimeError, as one leaving a running body is: in
// 3.11 gen_send_ex2 (genobject.c) converts any that leaves the frame.
constexpr bool kGuardsStopIterationBeforeStart = true;

// Whether the frame object of a generator or coroutine frame that finishes
// while someone holds it keeps the caller it finished in as f_back: 3.11's
// gen_send_ex2 unlinks the frame before clearing it, so it has none.
constexpr bool kFinishedFrameKeepsCaller = false;

// Whether close() of a generator or coroutine that never started runs its
// frame (GeneratorExit thrown in, so a profiler sees it called): in 3.11 it
// does.
constexpr bool kCloseRunsUnstartedFrame = true;

// Whether a profiler's error at a return or yield event is raised in the
// frame (a traceback entry at the line, then the frame unwinds): in 3.11 the
// event comes after the frame was left, and the profile function's own
// wrapper adds the frame's entry.
constexpr bool kExitEventErrorRaisedInFrame = false;

// Whether a throw() into a coroutine suspended in an await, which the
// awaited object answers by returning, reaches the coroutine's frame as that
// StopIteration thrown in (a throw event) rather than as a resumption with
// the value: in 3.11 _gen_throw sends the value in.
constexpr bool kDelegateReturnIsThrownIn = false;

// Whether close() of a generator suspended at a yield outside any try block
// ends it without running its frame, so that a frame object kept of it has no
// caller: not in 3.11, which throws GeneratorExit in.
constexpr bool kCloseAtPlainYieldRunsNothing = false;

// Whether throw() with more than the exception warns DeprecationWarning:
// not in 3.11.
constexpr bool kThrowWarnsOfThreeArguments = false;

// sys.set_coroutine_origin_tracking_depth() of the thread: the field of the
// thread state's public struct (cpython/pystate.h) that the interpreter reads
// when it makes a coroutine; 3.11 has only a private function for it.
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
