// The one interface through which the frame and the bodies reach what
// CPython's stable public API does not give them.  Behind it, one header and
// one source file per interpreter version (compat/py311.hpp and .cpp, ...),
// each written straight against that version's headers; this is the only
// place that picks one by PY_VERSION_HEX.  A version's source file compiles
// to nothing in a build for another version, so the build takes them all.
// (3.15 reads nothing out of line that moved since 3.14: py314.cpp serves it.)
//
// What every version provides, in namespace frame::compat:
//
//   thread and runtime
//     thread_state()                  the thread state holding the lock
//     runtime_finalizing              nonzero once Py_FinalizeEx has begun
//     may_touch_objects()             false on a daemon thread being ended at exit
//     enter_recursive_call(tstate, where) / leave_recursive_call(tstate)
//                                     one level of a Python function's recursion
//                                     (a frame of ours, entered from C)
//     enter_native_call(tstate, where) / leave_native_call(tstate)
//                                     one level of a call of a C callable, as
//                                     the interpreter counts its CALL of a builtin
//     python_levels_left(tstate)      the levels of Python recursion left below the limit
//     signal_pending()                a signal handler may have work to do
//     origin_tracking_depth(tstate)   sys.get_coroutine_origin_tracking_depth()
//
//   frames on the thread's stack
//     InterpreterFrame                the interpreter's frame record, with the
//                                     members function, globals, builtins,
//                                     locals, code, frame_object, previous,
//                                     instr (the unit of the current line),
//                                     and localsplus
//     FrameRef, kNoRef                a reference held by the frame record
//                                     (function, localsplus): an object
//                                     pointer, or a tagged stack reference
//     owned_ref(obj), borrowed_ref(obj), ref_object(ref)
//     local_count(frame), set_local_count(frame, n)
//                                     how many localsplus slots are valid
//     init_frame, reserve_frame, unreserve_frame, push_frame, pop_frame,
//     release_frame, release_frame_slow, frame_object, recycle_frame
//
//   what profilers and other tools see
//     EventState, events_wanted(tstate, state), fire_event(...)
//
//   code objects of the tables
//     CodeUnit                        a unit of bytecode
//     code_units(code)                the first code unit of a code object
//     kTrailingUnits, kResumeCacheUnits
//
//   fast paths the interpreter's own loop takes
//     InlineSlot, inline_value, remember_inline_slot, dict_version,
//     get_method,
//     lookup_str(dict, key, &value)   an exact str in an exact dict, without
//                                     a call or any code of the keys' own
//     is_iterable_coroutine, stop_iteration_value, is_unstarted_coroutine
//
//   what the interpreter's own generators and coroutines do differently
//     kGuardsStopIterationBeforeStart a StopIteration thrown before the start
//                                     becomes RuntimeError
//     kFinishedFrameKeepsCaller       a finished frame's object keeps its caller as f_back
//     kCloseRunsUnstartedFrame        close() of an unstarted one runs its frame
//     kExitEventErrorRaisedInFrame    a tool's error at a return or yield is the
//                                     frame's: traceback entry, then unwind
//     kDelegateReturnIsThrownIn       an awaited object returning from throw()
//                                     is a throw event on the awaiting frame
//     kCloseAtPlainYieldRunsNothing   close() at a yield outside any try ends it unrun
//     kThrowWarnsOfThreeArguments     throw(type, value[, tb]) warns DeprecationWarning
//     kOtherDelegateThrowsOnStack     the awaiting frame is on the stack while the
//                                     throw() of an awaited non-generator runs
//     report_unraisable(doing, obj)   an error met while finalising or closing obj
//     kThrowChecksStateFirst          throw() refuses a running object or a finished
//                                     coroutine before checking what is thrown
//     kNamesItsState                  gi_state / cr_state name the object's state
//
//   what the interpreter's own formatting does differently
//     kFormatKeepsBackCutCharacter    %.Ns leaves out a character the cut splits
//
// Adding an interpreter version means adding its pair of files and one line
// below; nothing else in the frame tests the version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The frame reads the layouts of the build with the interpreter lock (object
// headers, stack references, the frame stack, the generators) and relies on
// the lock for everything it keeps per process: a build for a free-threaded
// interpreter would read the wrong fields.
#ifdef Py_GIL_DISABLED
#error "free-threaded builds of CPython are not supported: the frame needs the build with the interpreter lock"
#endif

#include <cstddef>
#include <cstdint>

namespace frame::compat {

// The most locals (parameters and other names) a code object of the tables
// has: a method's frame is a record of fixed size for the whole call.
constexpr int kMaxFrameLocals = 8;

// What a Python function's frame tells the tools watching it (profilers,
// sys.monitoring): it starts, is resumed or thrown into, returns, yields,
// or is left by an exception.
enum class Event { Start, Resume, Throw, Return, Yield, Unwind };

// Defined by each version's header.
struct InterpreterFrame;
struct EventState;
struct InlineSlot;

// Whether this thread is the one holding the interpreter lock while the
// interpreter finalises.  Compares thread states by address only, because
// those of ended threads may already be freed.
bool holds_lock_while_finalizing() noexcept;

// The slow half of the recursion check: the limit may have been raised since
// the counter was set; otherwise RecursionError "maximum recursion depth
// exceeded<where>".  -1 with the error set.
int check_recursive_call(PyThreadState* tstate, const char* where) noexcept;

// Releases what the frame holds, once it is off the stack.  A frame object
// that someone still holds (a frame kept by a callee, in a record's stack
// information, in a traceback of the caller's) takes a copy of the frame, as
// the interpreter's own frames hand theirs over, so it stays valid: its code,
// last line, f_back and locals readable, clear() working.
void release_frame_slow(InterpreterFrame& frame);

// The frame object of `frame`, made the first time it is asked for (by the
// interpreter's own PyEval_GetFrame when `frame` is the innermost frame).
// Borrowed; nullptr with an exception set when it cannot be made.
PyObject* frame_object(PyThreadState* tstate, InterpreterFrame& frame);

// Whether a frame made for a traceback entry can serve the next entry made at
// the same place: only when the caller's reference is its only one, so no
// traceback, debugger or profiler can see it any more.  What anyone may have
// left on it while it could be seen (f_trace, f_locals, f_back) is cleared,
// so it is then as good as a new frame, as an object from a free list is.
bool recycle_frame(PyObject* frame) noexcept;

// Tells the tools watching the thread that `frame`, on the stack as the
// innermost frame, has met `event`, as the interpreter does for a frame of
// its own.  `arg` is the value returned or yielded (Return, Yield) or the
// exception (Throw, Unwind; its traceback attached or not), and None at a
// start or resumption.  Called with no exception pending (the caller keeps
// one aside meanwhile) and only while events_wanted() says some tool
// listens.  -1 when a tool failed, with its error set.
int fire_event(PyThreadState* tstate, EventState& state, InterpreterFrame& frame, Event event, PyObject* arg);

// After `value` was read as obj.name the slow way: records where obj's type
// keeps `name` when the plain instance lookup is what found it.
void remember_inline_slot(PyObject* obj, PyObject* name, PyObject* value, InlineSlot& slot) noexcept;

// obj.name looked up as the interpreter looks up a method it is about to
// call: 1 when *method is a function found on the type that takes obj as its
// first argument (no bound method is made), 0 when *method is the
// attribute's value itself.  *method is a new reference, or nullptr with the
// error set.
int get_method(PyObject* obj, PyObject* name, PyObject** method);

// Compares each interpreter layout the frame reads (the thread state, the
// innermost frame and its record, the recursion counters, what tools and
// profilers it watches, the coroutine state) with what the running
// interpreter shows through its public API, which may be a later patch
// release than the headers the module was built against (compat/common.hpp).
// 0 with *disagreement nullptr when all agree, or a phrase naming the first
// that does not ("the innermost frame it reads is not sys._getframe()'s");
// -1 with an exception set when a check could not run.  Leaves the tools,
// profilers and tracers as it found them.
int check_layouts(const char** disagreement);

}  // namespace frame::compat

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#include "compat/py311.hpp"
#elif PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#include "compat/py312.hpp"
#elif PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#include "compat/py313.hpp"
#elif PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x030F0000
#include "compat/py314.hpp"
#elif PY_VERSION_HEX >= 0x030F0000 && PY_VERSION_HEX < 0x03100000
#include "compat/py315.hpp"
#else
#error "no compat files for this interpreter version: add frame/compat/pyXY.hpp and .cpp"
#endif

#include "compat/frame_stack.hpp"
#include "compat/str_dict.hpp"
