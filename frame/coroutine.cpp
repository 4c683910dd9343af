// Coroutine, generator and await-wrapper objects.
//
// Everything that moves a resumable body goes through resume(): send, throw,
// close, __next__, the await wrapper, am_send, finalisation and the driving
// of a delegate that is itself one of our resumables.  It behaves like the
// interpreter's own generator machinery: the same states, the same checks in
// the same order, the same messages (except where the frame's own texts for
// throw() and for an escaping StopIteration differ).
#include "coroutine.hpp"

#include "compat.hpp"
#include "constants.hpp"
#include "module.hpp"
#include "events.hpp"
#include "scope.hpp"
#include "static_type.hpp"
#include "traceback.hpp"

#include <frameobject.h>

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

namespace frame {
namespace {

Str kThrow{"throw"};
Str kClose{"close"};
Str kYieldFrom{"gi_yieldfrom"};
Str kCrAwait{"cr_await"};
Str kCoFilename{"co_filename"};
Str kCoName{"co_name"};
Str kWarnings{"warnings"};
Str kWarnUnawaited{"_warn_unawaited_coroutine"};

PyTypeObject* coroutine_type = nullptr;
PyTypeObject* generator_type = nullptr;
PyTypeObject* wrapper_type = nullptr;

// The iterator that a coroutine's __await__ returns.
struct AwaitWrapper {
    PyObject_HEAD
    Ref coroutine;
};

// Error: the body failed, or the resumption did; Refused: throw()'s
// arguments were refused before anything was resumed.
enum class Outcome { Yield, Return, Error, Refused };

Resumable* as_resumable(PyObject* obj) noexcept { return reinterpret_cast<Resumable*>(obj); }
PyObject* as_object(Resumable* co) noexcept { return reinterpret_cast<PyObject*>(co); }
AwaitWrapper* as_wrapper(PyObject* obj) noexcept { return reinterpret_cast<AwaitWrapper*>(obj); }

bool is_resumable(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    return type == coroutine_type || type == generator_type;
}

// The part of tp_name after the module prefix: what the interpreter's own
// types call themselves ("coroutine", "generator", "coroutine_wrapper").
const char* short_name(PyTypeObject* type) noexcept {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot != nullptr ? dot + 1 : type->tp_name;
}

// The pending exception, held aside.
class Pending {
public:
    Pending() : value_(fetch_exception()) {}
    PyObject* value() const noexcept { return value_.get(); }
    void restore() { restore_exception(std::move(value_)); }

private:
    Ref value_;
};

// Replaces the pending exception with a new one whose __cause__ and
// __context__ are the old one, as `raise New(...) from old` would.
void set_from_cause(PyObject* type, const char* format, ...) {
    Pending cause;
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    Pending raised;
    if (raised.value() != nullptr && cause.value() != nullptr) {
        PyException_SetCause(raised.value(), Ref::borrow(cause.value()).release());
        PyException_SetContext(raised.value(), Ref::borrow(cause.value()).release());
    }
    raised.restore();
}

// What throw() was given, as given: a delegate's throw() receives exactly
// these (one, two or three arguments), as the interpreter's own coroutines
// pass them on; they become an exception, with the checks of a raise
// statement, only where it is raised.
struct Thrown {
    PyObject* type;
    PyObject* value = nullptr;      // not given
    PyObject* traceback = nullptr;  // not given
};

bool set_thrown(PyObject* type, PyObject* value, PyObject* traceback);

bool raise_thrown(const Thrown& thrown) {
    return set_thrown(thrown.type, thrown.value, thrown.traceback);
}

// Takes the pending StopIteration apart: its value (None for a bare one).  A
// subclass whose constructor made something else is not a StopIteration,
// whatever its class says: false then, with that object pending again, as
// the interpreter's own coroutines treat it.
bool take_stop_value(Ref& value) {
    Pending stop;
    PyObject* exception = stop.value();
    if (exception == nullptr ||
        !PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(PyExc_StopIteration))) {
        stop.restore();
        return false;
    }
    PyObject* found = compat::stop_iteration_value(exception);
    value = Ref::borrow(found != nullptr ? found : Py_None);
    return true;
}

// Raises StopIteration carrying `value`; a bare one for None.  The instance
// is made explicitly so that a tuple value is not taken as arguments.
void set_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop.get());
    }
}

// attr or nothing: an AttributeError is cleared, any other error is kept.
// Returns false only for that other error.
bool optional_attr(PyObject* obj, const Str& name, Ref& found) {
    found = Ref::steal(PyObject_GetAttr(obj, name.get()));
    if (found) {
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

Outcome resume(Resumable* co, PyObject* arg, bool exc, bool closing, Ref& out, const Thrown* thrown = nullptr);
Outcome throw_resumable(Resumable* co, const Thrown& thrown, Ref& out);
int close_resumable(Resumable* co);

// Drops what a finished body held: its locals go as soon as it is done, not
// when the object is collected.
void finish(Resumable* co) {
    ErrorStash stash;  // releasing locals may run finalisers
    co->point = -1;
    co->delegate.reset();
    for (Ref& slot : co->slots) {
        slot.reset();
    }
}

Outcome fail(Resumable* co) {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "resumable body failed without setting an exception");
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // A StopIteration leaving the body would read as a normal end to
        // whoever drives it.
        set_from_cause(PyExc_RuntimeError, "generator raised StopIteration");
    }
    finish(co);
    return Outcome::Error;
}

// The delegate's close(), for close() and throw(GeneratorExit).  Failing to
// even look the method up is reported and otherwise ignored.
int close_delegate(PyObject* delegate) {
    if (is_resumable(delegate)) {
        return close_resumable(as_resumable(delegate));
    }
    Ref method;
    if (!optional_attr(delegate, kClose, method)) {
        compat::report_unraisable("closing generator", delegate);
        return 0;
    }
    if (!method) {
        return 0;
    }
    Ref result = Ref::steal(PyObject_CallNoArgs(method.get()));
    return result ? 0 : -1;
}

// Resumes the delegate with `value`.
Outcome send_into(PyObject* delegate, PyObject* value, Ref& out) {
    if (is_resumable(delegate)) {
        return resume(as_resumable(delegate), value, false, false, out);
    }
    PyObject* result = nullptr;
    PySendResult status = PyIter_Send(delegate, value, &result);
    out = Ref::steal(result);
    switch (status) {
        case PYGEN_NEXT:
            return Outcome::Yield;
        case PYGEN_RETURN:
            return Outcome::Return;
        default:
            return Outcome::Error;
    }
}

// The interpreter's own coroutine is on the stack while it throws into a
// generator or coroutine it awaits, but not while it closes what it awaits
// or looks up the throw() of any other object, nor, before 3.14, while it
// calls that throw() (genobject.c, _gen_throw); these calls keep `frame` off
// the stack the same way.
class OffStack {
public:
    explicit OffStack(compat::InterpreterFrame& frame) : tstate_(compat::thread_state()), frame_(frame) {
        compat::pop_frame(tstate_, frame_);
    }
    ~OffStack() noexcept(false) {
        if (compat::may_touch_objects()) {
            compat::push_frame(tstate_, frame_);
        }
    }
    OffStack(const OffStack&) = delete;
    OffStack& operator=(const OffStack&) = delete;

private:
    PyThreadState* tstate_;
    compat::InterpreterFrame& frame_;
};

bool is_generator_like(PyObject* obj) noexcept {
    return PyGen_CheckExact(obj) || PyCoro_CheckExact(obj) || is_resumable(obj);
}

// What the delegate's throw() gave: the value it yielded, its return (taken
// from the StopIteration), or its error, pending.
Outcome delegate_outcome(Ref& out) {
    if (out) {
        return Outcome::Yield;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) && take_stop_value(out)) {
        return Outcome::Return;
    }
    return Outcome::Error;
}

// Whether a throw handed to the interpreter's generator or coroutine
// `delegate` reaches, through the generators and coroutines it awaits, one
// suspended at a plain yield or awaiting an iterator without throw(): that
// one turns the thrown arguments into the exception, and nothing on the way
// sees them.  `innermost` tells whether that is `delegate` itself.  An
// iterator whose attribute lookup is its own code is not asked here, as
// the interpreter asks it once; nor is anything with a throw().
bool ends_at_yield(PyObject* delegate, bool& innermost) {
    Ref link = Ref::borrow(delegate);
    innermost = true;
    for (;;) {
        const Str& name = PyGen_CheckExact(link.get()) ? kYieldFrom : kCrAwait;
        Ref next = Ref::steal(PyObject_GetAttr(link.get(), name.get()));
        if (!next) {
            PyErr_Clear();
            return false;
        }
        if (next.get() == Py_None) {
            return true;
        }
        if (!PyGen_CheckExact(next.get()) && !PyCoro_CheckExact(next.get())) {
            if (is_resumable(next.get()) || Py_TYPE(next.get())->tp_getattro != PyObject_GenericGetAttr) {
                return false;
            }
            Ref method;
            if (!optional_attr(next.get(), kThrow, method)) {
                PyErr_Clear();
                return false;
            }
            return !method;
        }
        link = std::move(next);
        innermost = false;
    }
}

// The one exception that the arguments of throw() become where the
// interpreter's generator throws them in at a yield: the same
// normalisation, the traceback attached the same way.  False, with TypeError
// set, for arguments it refuses before resuming anything.
bool thrown_as_one(const Thrown& thrown, Ref& exception) {
    PyObject* traceback = thrown.traceback == Py_None ? nullptr : thrown.traceback;
    if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    PyObject* type = thrown.type;
    PyObject* value = thrown.value;
    Ref trace = Ref::borrow(traceback);
    if (PyExceptionClass_Check(type)) {
        // A failing constructor's error is what is thrown instead.
        PyObject* made_type = Ref::borrow(type).release();
        PyObject* made_value = Ref::borrow(value).release();
        PyObject* made_trace = trace.release();
        PyErr_NormalizeException(&made_type, &made_value, &made_trace);
        PyErr_Restore(made_type, made_value, made_trace);
    } else if (PyExceptionInstance_Check(type)) {
        if (value != nullptr && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        if (!trace) {
            trace = Ref::steal(PyException_GetTraceback(type));
        }
        PyObject* own_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(type))).release();
        PyErr_Restore(own_type, Ref::borrow(type).release(), trace.release());
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return false;
    }
    exception = fetch_exception();
    return true;
}

// throw() while suspended in an await, with `frame` (the thrower's) on the
// stack.  Error means: raise what is pending now at the await (the
// delegate's failure, or the thrown exception when the delegate has no
// throw()); Refused: nothing was resumed.
Outcome throw_into(PyObject* delegate, const Thrown& thrown, Ref& out, compat::InterpreterFrame& frame) {
    if (PyErr_GivenExceptionMatches(thrown.type, PyExc_GeneratorExit)) {
        // The delegate is closed, not thrown into; an error from its close()
        // is what the body sees instead of GeneratorExit.
        int closed;
        {
            OffStack off(frame);
            closed = close_delegate(delegate);
        }
        if (closed < 0) {
            return Outcome::Error;
        }
        return raise_thrown(thrown) ? Outcome::Error : Outcome::Refused;
    }
    if (is_resumable(delegate)) {
        // Only the outermost object of a chain stays unresumed.
        Outcome step = throw_resumable(as_resumable(delegate), thrown, out);
        return step == Outcome::Refused ? Outcome::Error : step;
    }
    std::optional<OffStack> off;
    if (!is_generator_like(delegate)) {
        off.emplace(frame);
    }
    Ref method;
    if (!optional_attr(delegate, kThrow, method)) {
        return Outcome::Refused;
    }
    if (!method) {
        return raise_thrown(thrown) ? Outcome::Error : Outcome::Refused;
    }
    if (compat::kOtherDelegateThrowsOnStack) {
        off.reset();
    }
    // The interpreter hands a throw to a generator or coroutine it awaits
    // without calling its throw(), so that one never warns of the old
    // signature.  Where the arguments end at a yield, the one exception they
    // become there goes in alone, which does not warn either; an argument
    // refused there fails the await without resuming anything.
    if (compat::kThrowWarnsOfThreeArguments && thrown.value != nullptr && is_generator_like(delegate)) {
        bool innermost = false;
        if (ends_at_yield(delegate, innermost)) {
            Ref exception;
            if (thrown_as_one(thrown, exception)) {
                out = Ref::steal(PyObject_CallOneArg(method.get(), exception.get()));
                return delegate_outcome(out);
            }
            if (innermost) {
                return Outcome::Error;
            }
            // Refused deeper down: the awaiting frames in between see the
            // error, which only the delegate's own throw() gives them.
            PyErr_Clear();
        }
    }
    // Stops at the first argument not given, so throw() sees what ours saw.
    // A class with no value and no traceback means the same as the class
    // alone, which does not warn.
    PyObject* value = thrown.value;
    if (compat::kThrowWarnsOfThreeArguments && is_generator_like(delegate) && (value == nullptr || value == Py_None) &&
        (thrown.traceback == nullptr || thrown.traceback == Py_None)) {
        value = nullptr;
    }
    out = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), thrown.type, value,
                                                  value != nullptr ? thrown.traceback : nullptr, nullptr));
    return delegate_outcome(out);
}

// Runs the body once: Return when it ended, Yield when it suspended.
Outcome run_body(Resumable* co, Scope& scope, PyObject* value, bool exc, Ref& out) {
    Ref result;
    try {
        result = co->body(*co, scope, exc ? nullptr : value);
    } catch (const PyError& error) {
        if (!error.traced) {
            add_traceback(scope.name(), scope.line());
        }
        return fail(co);
    }
    if (result) {
        finish(co);
        out = std::move(result);
        return Outcome::Return;
    }
    return Outcome::Yield;
}

// One resumption, once the state checks have passed.
Outcome run(Resumable* co, Scope& scope, PyObject* value, bool exc, const Thrown* thrown, Ref& out) {
    Ref delegate_result;  // keeps the await's result alive while the body takes it
    for (;;) {
        if (co->delegate && !exc) {
            Ref delegate = co->delegate.dup();
            Ref got;
            Outcome step = thrown != nullptr ? throw_into(delegate.get(), *thrown, got, co->frame)
                                             : send_into(delegate.get(), value, got);
            thrown = nullptr;
            if (step == Outcome::Yield || step == Outcome::Refused) {
                out = std::move(got);
                return step;
            }
            exc = step == Outcome::Error;
            delegate_result = std::move(got);
            value = delegate_result.get();
        }
        // An exception raised at the await point ends the await.
        co->delegate.reset();
        if (co->point == 0 && exc) {
            // Thrown into a body that never ran: it fails at its first line.
            add_traceback(co->trace_name, co->first_line);
            if (!compat::kGuardsStopIterationBeforeStart && PyErr_ExceptionMatches(PyExc_StopIteration)) {
                finish(co);
                return Outcome::Error;
            }
            return fail(co);
        }
        Outcome outcome = run_body(co, scope, value, exc, out);
        if (outcome != Outcome::Yield) {
            return outcome;
        }
        if (!co->delegate) {
            PyErr_SetString(PyExc_SystemError, "resumable body suspended without an awaitable");
            return fail(co);
        }
        // Suspended in an await: the delegate runs first, starting with None.
        co->line = scope.line();
        value = Py_None;
        exc = false;
        delegate_result.reset();
    }
}

// The entry event of a throw() into the object while it is suspended in an
// await.  The interpreter throws into the awaited object first, without
// entering the frame: when that yields, the frame sees no event at all.
// When it fails, its error is thrown into the frame (a throw event); when it
// returns, the frame is resumed with its value (a resumption), or from 3.12
// on the StopIteration is thrown into the frame, which takes the value from
// it (compat::kDelegateReturnIsThrownIn).  Refused and Yield: the delegate's
// step is the whole outcome.  Otherwise `exc` and `value` say how the body
// resumes, `result` holding the value.
Outcome enter_after_delegate(Resumable* co, const Thrown& thrown, Ref& out, Ref& result, bool& exc,
                             PyThreadState* tstate) {
    Ref delegate = co->delegate.dup();
    Outcome step = throw_into(delegate.get(), thrown, result, co->frame);
    if (step == Outcome::Yield || step == Outcome::Refused) {
        out = std::move(result);
        return step;
    }
    co->delegate.reset();
    exc = step == Outcome::Error;
    if (exc) {
        observe(tstate, co->events, co->frame, compat::Event::Throw);  // a tool's error replaces the delegate's
        return step;
    }
    if (!compat::kDelegateReturnIsThrownIn) {
        exc = !observe(tstate, co->events, co->frame, compat::Event::Resume);
        return step;
    }
    Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, result.get()));
    if (!stop) {
        exc = true;
        return Outcome::Error;
    }
    PyErr_SetObject(PyExc_StopIteration, stop.get());
    exc = !observe(tstate, co->events, co->frame, compat::Event::Throw);
    if (!exc) {
        PyErr_Clear();  // taken by the await as its value
    }
    return step;
}

// A resumption while some tool watches the thread: a start, resumption or
// throw event on the object's own frame (cr_frame / gi_frame) before it, a
// yield, return or unwind event at the suspension or the end, as the
// interpreter's own coroutines give them.  A tool failing at the entry
// raises its error where the body resumes; failing at the exit ends the
// object with it.
[[gnu::noinline, gnu::cold]] Outcome run_observed(Resumable* co, Scope& scope, PyObject* value, bool exc,
                                                  const Thrown* thrown, Ref& out, PyThreadState* tstate) {
    Ref delegate_result;  // keeps the await's result alive while the body takes it
    if (thrown != nullptr && co->delegate && !exc) {
        Outcome step = enter_after_delegate(co, *thrown, out, delegate_result, exc, tstate);
        if (step == Outcome::Yield || step == Outcome::Refused) {
            return step;
        }
        value = delegate_result.get();
        thrown = nullptr;
    } else {
        const compat::Event entry = exc              ? compat::Event::Throw
                                    : co->point == 0 ? compat::Event::Start
                                                     : compat::Event::Resume;
        if (!observe(tstate, co->events, co->frame, entry)) {
            exc = true;
            thrown = nullptr;
        }
    }
    Outcome outcome = run(co, scope, value, exc, thrown, out);
    for (;;) {
        if (outcome != Outcome::Yield && outcome != Outcome::Return) {
            observe(tstate, co->events, co->frame, compat::Event::Unwind);
            return outcome;
        }
        const compat::Event exit = outcome == Outcome::Yield ? compat::Event::Yield : compat::Event::Return;
        if (observe(tstate, co->events, co->frame, exit, out.get())) {
            return outcome;
        }
        out.reset();
        if (!compat::kExitEventErrorRaisedInFrame) {
            finish(co);
            return Outcome::Error;
        }
        if (outcome == Outcome::Return) {
            add_traceback(scope.name(), scope.line());
            observe(tstate, co->events, co->frame, compat::Event::Unwind);
            finish(co);
            return Outcome::Error;
        }
        // Raised where the body suspended, in its await, which an except
        // clause around the await may catch; the awaited object is dropped.
        outcome = run(co, scope, Py_None, true, nullptr, out);
    }
}

// The resumption core.  `arg` is the value sent in (nullptr for __next__,
// which otherwise counts as None); with `exc` an exception is pending and is
// raised at the resume point; `thrown` is a throw() for the delegate it is
// suspended on; `closing` marks a call from close(), which is silent on a
// finished coroutine.
Outcome resume(Resumable* co, PyObject* arg, bool exc, bool closing, Ref& out, const Thrown* thrown) {
    if (co->running) {
        PyErr_SetString(PyExc_ValueError, co->is_coroutine ? "coroutine already executing"
                                                            : "generator already executing");
        return Outcome::Error;
    }
    if (co->point == 0 && !exc && arg != nullptr && arg != Py_None) {
        // The object stays not started, as the interpreter's own does.
        PyErr_SetString(PyExc_TypeError,
                        co->is_coroutine ? "can't send non-None value to a just-started coroutine"
                                         : "can't send non-None value to a just-started generator");
        add_traceback(co->trace_name, co->first_line);
        return Outcome::Error;
    }
    if (co->point < 0) {
        if (co->is_coroutine && !closing) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        } else if (arg != nullptr && !exc) {
            out = Ref::borrow(Py_None);
            return Outcome::Return;
        }
        // A thrown exception stays pending; __next__ ends without one.
        return Outcome::Error;
    }
    // Each resumption is one level of recursion, as it is for the
    // interpreter's own coroutines, whose frame is evaluated while it drives
    // what it awaits: a chain of coroutines awaiting one another ends in
    // RecursionError, not in a stack overflow.
    PyThreadState* tstate = compat::thread_state();
    if (compat::enter_recursive_call(tstate, "")) {
        return fail(co);
    }
    Ref keep_alive = Ref::borrow(as_object(co));
    co->running = true;
    compat::push_frame(tstate, co->frame);
    Scope scope(co->trace_name, co->line);
    scope.show_on(co->frame, LineMap::of(co->frame.code), co->line);
    PyObject* value = arg != nullptr ? arg : Py_None;
    Outcome outcome = compat::events_wanted(tstate, co->events)
                          ? run_observed(co, scope, value, exc, thrown, out, tstate)
                          : run(co, scope, value, exc, thrown, out);
    compat::pop_frame(tstate, co->frame);
    co->running = false;
    if (co->point < 0) {
        // Done: the frame goes, as the interpreter's own coroutine frame
        // does; a frame object someone still holds keeps a copy of it, and
        // the caller as f_back where the interpreter's own keeps it.  An
        // inlined any() or all() that stopped early stands for a generator
        // expression closed at its yield.
        const bool closed_at_yield = outcome == Outcome::Return && out.get() == co->stops_early_with;
        if (!compat::kFinishedFrameKeepsCaller || (closed_at_yield && compat::kCloseAtPlainYieldRunsNothing)) {
            co->frame.previous = nullptr;
        }
        compat::release_frame_slow(co->frame);
    }
    co->frame.previous = nullptr;  // a suspended frame has no caller
    compat::leave_recursive_call(tstate);
    return outcome;
}

bool suspended_in_await(const Resumable* co) noexcept {
    return co->delegate && !co->running && co->point > 0;
}

// throw(): passed on to the awaited object, or raised where the body is.
Outcome throw_resumable(Resumable* co, const Thrown& thrown, Ref& out) {
    if (suspended_in_await(co)) {
        return resume(co, Py_None, false, false, out, &thrown);
    }
    if (compat::kThrowChecksStateFirst && (co->running || (co->point < 0 && co->is_coroutine))) {
        // Refused for its state whatever is thrown: resume() raises that
        // refusal before it would look at the pending exception.
        return resume(co, Py_None, true, false, out);
    }
    if (!raise_thrown(thrown)) {
        return Outcome::Refused;
    }
    return resume(co, Py_None, true, false, out);
}

// close(): 0 when the body ended (or had nothing to end), -1 with an error.
int close_resumable(Resumable* co) {
    if (co->point == 0 && !co->running &&
        (!compat::kCloseRunsUnstartedFrame || !compat::events_wanted(compat::thread_state(), co->events))) {
        // GeneratorExit at the first line ends a body that never ran.  Where
        // the interpreter runs the frame for it, a watching tool is shown
        // that as a resumption, so it goes the long way.
        finish(co);
        compat::release_frame_slow(co->frame);
        return 0;
    }
    bool delegate_failed = false;
    if (suspended_in_await(co)) {
        // The awaited object is closed first, with this one marked as
        // executing meanwhile; an error from its close() is what the body
        // sees instead of GeneratorExit.
        Ref delegate = co->delegate.dup();
        co->running = true;
        delegate_failed = close_delegate(delegate.get()) < 0;
        co->running = false;
    }
    if (!delegate_failed) {
        PyErr_SetNone(PyExc_GeneratorExit);
    }
    Ref out;
    Outcome outcome = resume(co, Py_None, true, true, out);
    if (outcome == Outcome::Yield) {
        PyErr_SetString(PyExc_RuntimeError, co->is_coroutine ? "coroutine ignored GeneratorExit"
                                                             : "generator ignored GeneratorExit");
        return -1;
    }
    if (outcome == Outcome::Return || !PyErr_Occurred()) {
        return 0;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// An outcome as a Python call returns it: the yielded value, or NULL with
// StopIteration (or another error) set.  For __next__ (`next_protocol`) a
// plain return of None is NULL without an exception.
PyObject* deliver(Outcome outcome, Ref& out, bool next_protocol) {
    switch (outcome) {
        case Outcome::Yield:
            return out.release();
        case Outcome::Return:
            if (!(next_protocol && out.get() == Py_None)) {
                set_stop_iteration(out.get());
            }
            return nullptr;
        default:
            return nullptr;
    }
}

PySendResult deliver_send(Outcome outcome, Ref& out, PyObject** result) {
    *result = out.release();
    switch (outcome) {
        case Outcome::Yield:
            return PYGEN_NEXT;
        case Outcome::Return:
            return PYGEN_RETURN;
        default:
            return PYGEN_ERROR;
    }
}

// throw(typ[, val[, tb]]) turns its arguments into the exception the way a
// three-argument raise does, and leaves it pending.  False with a TypeError
// (or the constructor's error) set instead; the resumable is untouched then.
bool set_thrown(PyObject* type, PyObject* value, PyObject* traceback) {
    if (traceback == Py_None) {
        traceback = nullptr;
    } else if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    if (value == Py_None) {
        value = nullptr;
    }
    Ref instance;
    if (PyExceptionClass_Check(type)) {
        int own = 0;
        if (value != nullptr && PyExceptionInstance_Check(value)) {
            own = PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(value)), type);
            if (own < 0) {
                return false;
            }
        }
        if (own) {
            instance = Ref::borrow(value);
        } else {
            if (value == nullptr) {
                instance = Ref::steal(PyObject_CallNoArgs(type));
            } else if (PyTuple_Check(value)) {
                instance = Ref::steal(PyObject_Call(type, value, nullptr));
            } else {
                instance = Ref::steal(PyObject_CallOneArg(type, value));
            }
            // A constructor that fails, or makes something else, does not
            // refuse the throw: what it raised, or the TypeError about it, is
            // thrown instead, as the interpreter's normalisation makes it.
            if (!instance) {
                return true;
            }
            if (!PyExceptionInstance_Check(instance.get())) {
                PyErr_Format(PyExc_TypeError,
                             "calling %R should have returned an instance of BaseException, not %s",
                             type, Py_TYPE(instance.get())->tp_name);
                return true;
            }
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value != nullptr) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        instance = Ref::borrow(type);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return false;
    }
    Ref trace;
    if (traceback != nullptr) {
        if (PyException_SetTraceback(instance.get(), traceback) < 0) {
            return false;
        }
        trace = Ref::borrow(traceback);
    } else {
        trace = Ref::steal(PyException_GetTraceback(instance.get()));
    }
    Ref exc_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
    PyErr_Restore(exc_type.release(), instance.release(), trace.release());
    return true;
}

// --- the await protocol ------------------------------------------------------

// What `await obj` delegates to.
Ref awaitable_iterator(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == coroutine_type) {
        // Suspended in an await of its own means someone else drives it.
        Resumable* other = as_resumable(obj);
        if (other->delegate && !other->running) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            raise_pending();
        }
        return Ref::borrow(obj);
    }
    if (PyCoro_CheckExact(obj)) {
        // The interpreter's coroutines are awaited directly too (not through
        // their wrapper), so cr_await shows them and a double await is caught.
        if (compat::is_unstarted_coroutine(obj)) {
            return Ref::borrow(obj);
        }
        Ref awaited = take(PyObject_GetAttr(obj, kCrAwait.get()));
        if (awaited.get() != Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            raise_pending();
        }
        return Ref::borrow(obj);
    }
    if (compat::is_iterable_coroutine(obj)) {
        return Ref::borrow(obj);
    }
    // A class defining __await__ has this slot, so it covers the method too.
    unaryfunc getter = type->tp_as_async != nullptr ? type->tp_as_async->am_await : nullptr;
    if (getter == nullptr) {
        PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression", type->tp_name);
        raise_pending();
    }
    Ref iterator = Ref::steal(getter(obj));
    if (!iterator) {
        // A KeyboardInterrupt, SystemExit or task cancellation that arrives
        // while the awaitable is obtained is not the object's fault: it goes
        // on unchanged instead of becoming a TypeError the body may swallow.
        if (PyErr_ExceptionMatches(PyExc_Exception)) {
            set_from_cause(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.200s",
                           type->tp_name);
        }
        raise_pending();
    }
    PyObject* it = iterator.get();
    if (PyCoro_CheckExact(it) || compat::is_iterable_coroutine(it) || Py_TYPE(it) == coroutine_type) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        raise_pending();
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.200s'",
                     Py_TYPE(it)->tp_name);
        raise_pending();
    }
    return iterator;
}

// --- names made once ---------------------------------------------------------

// Strings built from table texts, kept for the process (keyed by the address
// of what they were built from).  Borrowed.
PyObject* cached_text(const void* key, const char* first, const char* second) {
    struct Entry {
        const void* key;
        PyObject* text;
    };
    // Never freed: the strings outlive any static destructor that could run.
    static auto* entries = new (std::nothrow) std::vector<Entry>();
    if (entries == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (const Entry& entry : *entries) {
        if (entry.key == key) {
            return entry.text;
        }
    }
    PyObject* text = second == nullptr ? PyUnicode_InternFromString(first)
                                       : PyUnicode_FromFormat("%s.%s", first, second);
    if (text != nullptr) {
        entries->push_back(Entry{key, text});
    }
    return text;
}

// cr_origin as the interpreter records it while tracking is on (genobject.c,
// compute_cr_origin): (filename, line, function name) of each Python frame
// on the thread, innermost first, at most `depth` of them.  The walk starts
// at the running frame, the caller's, because a coroutine has no frame of
// its own on the stack before it first runs.  Empty with an error set when
// it fails.
Ref creation_origin(int depth) {
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) {
        return Ref();
    }
    Ref frame = Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    for (int count = 0; frame && count < depth; ++count) {
        PyFrameObject* current = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(current)));
        Ref filename = Ref::steal(PyObject_GetAttr(code.get(), kCoFilename.get()));
        Ref function = filename ? Ref::steal(PyObject_GetAttr(code.get(), kCoName.get())) : Ref();
        Ref entry = function ? Ref::steal(Py_BuildValue("OiO", filename.get(), PyFrame_GetLineNumber(current),
                                                        function.get()))
                             : Ref();
        if (!entry || PyList_Append(entries.get(), entry.get()) < 0) {
            return Ref();
        }
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(current)));
        if (!frame && PyErr_Occurred()) {
            return Ref();
        }
    }
    return Ref::steal(PyList_AsTuple(entries.get()));
}

// --- allocation and GC -------------------------------------------------------

Resumable* allocate(PyTypeObject* type, bool is_coroutine) {
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "resumable types are not ready");
        return nullptr;
    }
    Resumable* co = PyObject_GC_New(Resumable, type);
    if (co == nullptr) {
        return nullptr;
    }
    co->body = nullptr;
    co->trace_name = "";
    co->first_line = 0;
    co->line = 0;
    co->point = 0;
    co->running = false;
    co->is_coroutine = is_coroutine;
    co->stops_early_with = nullptr;
    for (Ref* field : {&co->delegate, &co->name, &co->qualname, &co->module, &co->code, &co->origin}) {
        new (field) Ref();
    }
    new (&co->events) compat::EventState();
    co->frame.frame_object = nullptr;  // nothing held until the body's frame is made
    co->frame.locals = nullptr;
    compat::set_local_count(co->frame, 0);
    std::uninitialized_default_construct_n(co->slots, Resumable::kSlots);
    co->weakrefs = nullptr;
    return co;
}

int resumable_traverse(PyObject* self, visitproc visit, void* arg) {
    Resumable* co = as_resumable(self);
    for (const Ref* field :
         {&co->delegate, &co->name, &co->qualname, &co->module, &co->code, &co->origin}) {
        Py_VISIT(field->get());
    }
    Py_VISIT(co->frame.frame_object);
    Py_VISIT(co->frame.locals);
    for (int index = 0; index < compat::local_count(co->frame); ++index) {
        Py_VISIT(compat::ref_object(co->frame.localsplus[index]));
    }
    for (const Ref& slot : co->slots) {
        Py_VISIT(slot.get());
    }
    return 0;
}

int resumable_clear(PyObject* self) {
    Resumable* co = as_resumable(self);
    // Whatever the body held is gone, so it must never run again.
    co->point = -1;
    compat::release_frame_slow(co->frame);
    for (Ref* field : {&co->delegate, &co->name, &co->qualname, &co->module, &co->code, &co->origin}) {
        field->reset();
    }
    for (Ref& slot : co->slots) {
        slot.reset();
    }
    return 0;
}

// warnings._warn_unawaited_coroutine, found as the interpreter finds it
// (_warnings.c, get_warnings_attr): the module is imported, or once the
// interpreter is finalising only taken if already loaded.  Empty when there
// is none; an error other than a failed import stays pending.
Ref unawaited_warning_helper() {
    Ref warnings;
    if (compat::runtime_finalizing == 0) {  // _Py_IsFinalizing(), as the interpreter asks
        warnings = Ref::steal(PyImport_Import(kWarnings.get()));
        if (!warnings && PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
        }
    } else {
        warnings = Ref::steal(PyImport_GetModule(kWarnings.get()));
        PyErr_Clear();  // late in finalisation there may be no sys.modules
    }
    if (!warnings) {
        return Ref();
    }
    Ref helper;
    optional_attr(warnings.get(), kWarnUnawaited, helper);
    return helper;
}

// The warning of a coroutine that was never started.  One made while origin
// tracking was on goes through the interpreter's own helper, which adds
// where it was made, with the decisions of _PyErr_WarnUnawaitedCoroutine: a
// failure of the helper is reported as unraisable and the plain warning
// follows, unless the failure is the warning itself turned into an error.
void warn_unawaited(Resumable* co) {
    PyObject* self = as_object(co);
    bool warned = false;
    if (co->origin) {
        Ref helper = unawaited_warning_helper();
        if (helper) {
            Ref result = Ref::steal(PyObject_CallOneArg(helper.get(), self));
            warned = result || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
        }
        if (PyErr_Occurred()) {
            compat::report_unraisable("finalizing coroutine", self);
        }
    }
    if (!warned) {
        PyObject* qualname = co->qualname ? co->qualname.get() : Py_None;
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", qualname) < 0) {
            compat::report_unraisable("finalizing coroutine", self);
        }
    }
}

void resumable_finalize(PyObject* self) {
    Resumable* co = as_resumable(self);
    if (co->point < 0 || co->running) {
        return;
    }
    ErrorStash stash;
    if (co->is_coroutine && co->point == 0) {
        warn_unawaited(co);
        return;
    }
    if (close_resumable(co) < 0) {
        compat::report_unraisable("closing generator", self);
    }
}

void resumable_dealloc(PyObject* self) {
    Resumable* co = as_resumable(self);
    PyObject_GC_UnTrack(self);
    if (co->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    // A finished body has nothing left to finalise (resumable_finalize would
    // return at once); otherwise the finaliser may run the body, which must
    // see a tracked object.
    if (co->point >= 0) {
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) {
            return;  // resurrected
        }
        PyObject_GC_UnTrack(self);
    }
    resumable_clear(self);
    for (Ref* field : {&co->delegate, &co->name, &co->qualname, &co->module, &co->code, &co->origin}) {
        field->~Ref();
    }
    std::destroy_n(co->slots, Resumable::kSlots);
    Py_TYPE(self)->tp_free(self);
}

PyObject* resumable_repr(PyObject* self) {
    Resumable* co = as_resumable(self);
    PyObject* qualname = co->qualname ? co->qualname.get() : Py_None;
    return PyUnicode_FromFormat("<%s object %S at %p>", short_name(Py_TYPE(self)), qualname, self);
}

// --- methods -----------------------------------------------------------------

PyObject* resumable_send(PyObject* self, PyObject* arg) {
    Ref out;
    Outcome outcome = resume(as_resumable(self), arg, false, false, out);
    return deliver(outcome, out, false);
}

PyObject* resumable_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 && compat::kThrowWarnsOfThreeArguments &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0) {
        return nullptr;
    }
    const Thrown thrown{args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr};
    Ref out;
    Outcome outcome = throw_resumable(as_resumable(self), thrown, out);
    return deliver(outcome, out, false);
}

PyObject* resumable_close(PyObject* self, PyObject*) {
    if (close_resumable(as_resumable(self)) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* resumable_next(PyObject* self) {
    Ref out;
    Outcome outcome = resume(as_resumable(self), nullptr, false, false, out);
    return deliver(outcome, out, true);
}

PySendResult resumable_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    Ref out;
    Outcome outcome = resume(as_resumable(self), arg, false, false, out);
    return deliver_send(outcome, out, result);
}

PyObject* refuse_pickle(PyObject* self) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", short_name(Py_TYPE(self)));
    return nullptr;
}

PyObject* resumable_reduce(PyObject* self, PyObject*) { return refuse_pickle(self); }

PyObject* coroutine_await(PyObject* self) {
    if (wrapper_type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "resumable types are not ready");
        return nullptr;
    }
    AwaitWrapper* wrapper = PyObject_GC_New(AwaitWrapper, wrapper_type);
    if (wrapper == nullptr) {
        return nullptr;
    }
    new (&wrapper->coroutine) Ref(Ref::borrow(self));
    PyObject_GC_Track(reinterpret_cast<PyObject*>(wrapper));
    return reinterpret_cast<PyObject*>(wrapper);
}

// --- attributes --------------------------------------------------------------

PyObject* or_none(const Ref& ref) noexcept { return Ref::borrow(ref ? ref.get() : Py_None).release(); }

PyObject* get_name(PyObject* self, void*) noexcept { return or_none(as_resumable(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return or_none(as_resumable(self)->qualname); }
PyObject* get_module(PyObject* self, void*) noexcept { return or_none(as_resumable(self)->module); }
PyObject* get_delegate(PyObject* self, void*) noexcept { return or_none(as_resumable(self)->delegate); }
PyObject* get_code(PyObject* self, void*) noexcept { return or_none(as_resumable(self)->code); }
PyObject* get_running(PyObject* self, void*) noexcept { return PyBool_FromLong(as_resumable(self)->running); }
PyObject* get_origin(PyObject* self, void*) noexcept { return or_none(as_resumable(self)->origin); }

// inspect's SUSPENDED: between two resumptions, so neither before the first
// (CREATED, with a frame), nor while running, nor once finished (no frame).
PyObject* get_suspended(PyObject* self, void*) noexcept {
    const Resumable* co = as_resumable(self);
    return PyBool_FromLong(!co->running && co->point > 0);
}

// gi_state / cr_state, where the interpreter's own have them.
PyObject* state_name(const Resumable* co, Str (&names)[4]) noexcept {
    const Str& name = co->running ? names[1] : co->point < 0 ? names[3] : co->point == 0 ? names[0] : names[2];
    return Py_NewRef(name.get());
}

Str kGeneratorStates[4] = {Str{"GEN_CREATED"}, Str{"GEN_RUNNING"}, Str{"GEN_SUSPENDED"}, Str{"GEN_CLOSED"}};
Str kCoroutineStates[4] = {Str{"CORO_CREATED"}, Str{"CORO_RUNNING"}, Str{"CORO_SUSPENDED"},
                                 Str{"CORO_CLOSED"}};

PyObject* get_generator_state(PyObject* self, void*) noexcept {
    return state_name(as_resumable(self), kGeneratorStates);
}

PyObject* get_coroutine_state(PyObject* self, void*) noexcept {
    return state_name(as_resumable(self), kCoroutineStates);
}

int set_name(PyObject* self, PyObject* value, void*) {
    return assign_str_attribute(as_resumable(self)->name, value, "__name__");
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return assign_str_attribute(as_resumable(self)->qualname, value, "__qualname__");
}

int set_module(PyObject* self, PyObject* value, void*) {
    as_resumable(self)->module = Ref::borrow(value != nullptr ? value : Py_None);
    return 0;
}

// cr_frame / gi_frame: the frame object of the body's frame, made when it is
// first asked for and the same object for as long as the body can run (what
// a stack walker or profiler finds on the stack while it runs is this one);
// None once the body has finished, as the interpreter's own give it.
PyObject* get_frame(PyObject* self, void*) {
    Resumable* co = as_resumable(self);
    if (!co->code || (co->point < 0 && !co->running)) {
        Py_RETURN_NONE;
    }
    return Py_XNewRef(compat::frame_object(compat::thread_state(), co->frame));
}

// --- the await wrapper -------------------------------------------------------

Resumable* wrapped(PyObject* self) noexcept { return as_resumable(as_wrapper(self)->coroutine.get()); }

PyObject* wrapper_next(PyObject* self) {
    Ref out;
    Outcome outcome = resume(wrapped(self), nullptr, false, false, out);
    return deliver(outcome, out, true);
}

PyObject* wrapper_send(PyObject* self, PyObject* arg) {
    return resumable_send(as_wrapper(self)->coroutine.get(), arg);
}

PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return resumable_throw(as_wrapper(self)->coroutine.get(), args, nargs);
}

PyObject* wrapper_close(PyObject* self, PyObject* unused) {
    return resumable_close(as_wrapper(self)->coroutine.get(), unused);
}

PySendResult wrapper_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    return resumable_am_send(as_wrapper(self)->coroutine.get(), arg, result);
}

PyObject* wrapper_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot instantiate type, use 'await coroutine' instead");
    return nullptr;
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_wrapper(self)->coroutine.get());
    return 0;
}

int wrapper_clear(PyObject* self) {
    as_wrapper(self)->coroutine.reset();
    return 0;
}

void wrapper_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    as_wrapper(self)->coroutine.~Ref();
    Py_TYPE(self)->tp_free(self);
}

// --- type tables -------------------------------------------------------------

template <auto F>
PyCFunction cfunc() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef coroutine_methods[] = {
    {"send", cfunc<resumable_send>(), METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration."},
    {"throw", cfunc<resumable_throw>(), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next yielded value or raise StopIteration."},
    {"close", cfunc<resumable_close>(), METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce__", cfunc<resumable_reduce>(), METH_NOARGS, nullptr},
    {"__reduce_ex__", cfunc<resumable_reduce>(), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef generator_methods[] = {
    {"send", cfunc<resumable_send>(), METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", cfunc<resumable_throw>(), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in generator,\nreturn next yielded value or raise StopIteration."},
    {"close", cfunc<resumable_close>(), METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {"__reduce__", cfunc<resumable_reduce>(), METH_NOARGS, nullptr},
    {"__reduce_ex__", cfunc<resumable_reduce>(), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef wrapper_methods[] = {
    {"send", cfunc<wrapper_send>(), METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", cfunc<wrapper_throw>(), METH_FASTCALL,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise StopIteration."},
    {"close", cfunc<wrapper_close>(), METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, "name of the coroutine", nullptr},
    {"__qualname__", get_qualname, set_qualname, "qualified name of the coroutine", nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"cr_await", get_delegate, nullptr, "object being awaited, or None", nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, "Frame of the coroutine", nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_origin", get_origin, nullptr, nullptr, nullptr},
    {"__class__", get_posed_class, set_posed_class, nullptr, &PyCoro_Type},
    // Last: without the attribute, its entry is the end of the table.
    {compat::kNamesItsState ? "cr_state" : nullptr, get_coroutine_state, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__name__", get_name, set_name, "name of the generator", nullptr},
    {"__qualname__", get_qualname, set_qualname, "qualified name of the generator", nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"gi_yieldfrom", get_delegate, nullptr, "object being iterated by 'yield from', or None", nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {"gi_frame", get_frame, nullptr, "Frame of the generator", nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"__class__", get_posed_class, set_posed_class, nullptr, &PyGen_Type},
    // Last: without the attribute, its entry is the end of the table.
    {compat::kNamesItsState ? "gi_state" : nullptr, get_generator_state, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Static types (static_type.hpp): not reference counted through their
// instances, so dealloc does not release the type and traverse does not
// visit it.
constexpr unsigned long kResumableFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyAsyncMethods coroutine_as_async = {coroutine_await, nullptr, nullptr, resumable_am_send};
PyAsyncMethods generator_as_async = {nullptr, nullptr, nullptr, resumable_am_send};
PyAsyncMethods wrapper_as_async = {nullptr, nullptr, nullptr, wrapper_am_send};

// What the coroutine and the generator type share.
PyTypeObject resumable_type(const char* name, PyAsyncMethods* as_async, PyMethodDef* methods,
                            PyGetSetDef* getset) noexcept {
    PyTypeObject type = static_type(name, sizeof(Resumable), kResumableFlags, resumable_dealloc,
                                    resumable_traverse, resumable_clear);
    type.tp_as_async = as_async;
    type.tp_repr = resumable_repr;
    type.tp_weaklistoffset = offsetof(Resumable, weakrefs);
    type.tp_methods = methods;
    type.tp_getset = getset;
    type.tp_finalize = resumable_finalize;
    return type;
}

PyTypeObject coroutine_type_object =
    resumable_type("_tarnix_frame.coroutine", &coroutine_as_async, coroutine_methods, coroutine_getset);

PyTypeObject generator_type_object = [] {
    PyTypeObject type =
        resumable_type("_tarnix_frame.generator", &generator_as_async, generator_methods, generator_getset);
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = resumable_next;
    return type;
}();

PyTypeObject wrapper_type_object = [] {
    PyTypeObject type = static_type("_tarnix_frame.coroutine_wrapper", sizeof(AwaitWrapper),
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, wrapper_dealloc, wrapper_traverse,
                                    wrapper_clear);
    type.tp_as_async = &wrapper_as_async;
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = wrapper_next;
    type.tp_methods = wrapper_methods;
    type.tp_new = wrapper_new;
    return type;
}();

}  // namespace

// --- public interface --------------------------------------------------------

Ref Resumable::await(Arg awaitable, int next_point) {
    if (delegate) {
        PyErr_SetString(PyExc_SystemError, "resumable body awaited twice without suspending");
        raise_pending();
    }
    delegate = awaitable_iterator(awaitable.get());
    point = next_point;
    return Ref();
}

int ready_resumable_types() {
    if (wrapper_type != nullptr) {
        return 0;
    }
    // All are readied before any is published; a retry after a failure
    // readies only those that are not ready yet.
    for (PyTypeObject* type : {&coroutine_type_object, &generator_type_object, &wrapper_type_object}) {
        if (PyType_Ready(type) < 0) {
            return -1;
        }
    }
    coroutine_type = &coroutine_type_object;
    generator_type = &generator_type_object;
    wrapper_type = &wrapper_type_object;
    return 0;
}

PyObject* new_coroutine(const MethodDef& def, PyObject* code, PyObject* name, PyObject* qualname,
                        PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 0 || nargs > Resumable::kSlots) {
        PyErr_SetString(PyExc_SystemError, "coroutine has more arguments than slots");
        return nullptr;
    }
    // Before the object exists: a coroutine that fails to be made must not
    // warn that it was never awaited.
    Ref origin;
    const int depth = compat::origin_tracking_depth(compat::thread_state());
    if (depth > 0) {
        origin = creation_origin(depth);
        if (!origin) {
            return nullptr;
        }
    }
    Resumable* co = allocate(coroutine_type, true);
    if (co == nullptr) {
        return nullptr;
    }
    co->origin = std::move(origin);
    co->body = def.resume;
    co->trace_name = def.name;
    co->first_line = def.first_line;
    co->line = def.first_line;
    co->name = Ref::borrow(name);
    co->qualname = Ref::borrow(qualname);
    co->module = Ref::borrow(module_name());
    co->code = Ref::borrow(code);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        co->slots[i] = Ref::borrow(args[i]);
    }
    compat::init_frame(co->frame, nullptr, reinterpret_cast<PyCodeObject*>(code), module_globals(),
                       module_builtins(), args, nargs);
    PyObject_GC_Track(as_object(co));
    return as_object(co);
}

Ref new_generator(const GeneratorDef& def, Args captured) {
    Resumable* co = nullptr;
    PyObject* name = cached_text(def.name, def.name, nullptr);
    if (name != nullptr) {
        if (captured.size() > static_cast<std::size_t>(Resumable::kSlots)) {
            PyErr_SetString(PyExc_SystemError, "generator captures more values than slots");
        } else {
            co = allocate(generator_type, false);
        }
    }
    if (co == nullptr) {
        add_traceback(generator_create_name(def), def.first_line);
        raise_pending();
    }
    Ref generator = Ref::steal(as_object(co));
    co->body = def.resume;
    co->trace_name = def.name;
    co->first_line = def.first_line;
    co->line = def.first_line;
    co->name = Ref::borrow(name);
    co->qualname = Ref::borrow(generator_qualname(def));
    co->module = Ref::borrow(module_name());
    co->code = Ref::borrow(generator_code(def));
    int index = 0;
    for (Arg value : captured) {
        co->slots[index++] = Ref::borrow(value.get());
    }
    // What it captured is its state, not parameters: its frame shows no locals.
    compat::init_frame(co->frame, nullptr, reinterpret_cast<PyCodeObject*>(co->code.get()), module_globals(),
                       module_builtins(), nullptr, 0);
    PyObject_GC_Track(as_object(co));
    return generator;
}

Ref run_to_return(Arg generator, PyObject* stops_early_with) {
    PyObject* obj = generator.get();
    if (!is_resumable(obj)) {
        PyErr_SetString(PyExc_SystemError, "run_to_return needs one of the frame's generators");
        raise_pending();
    }
    Resumable* co = as_resumable(obj);
    co->stops_early_with = stops_early_with;
    // The builtin (any(), all()) that consumes the expression in Python is
    // a call of its own, which takes a level where the interpreter counts
    // calls of C functions.
    PyThreadState* tstate = compat::thread_state();
    if (compat::enter_native_call(tstate, " while calling a Python object")) {
        raise_pending();
    }
    Ref out;
    const Outcome outcome = resume(co, Py_None, false, false, out);
    compat::leave_native_call(tstate);
    switch (outcome) {
        case Outcome::Return:
            return out;
        case Outcome::Yield:
            // A generator expression run this way must not suspend; leave it
            // closed rather than dangling.
            out.reset();
            if (close_resumable(co) == 0) {
                PyErr_SetString(PyExc_SystemError, "generator expression suspended where it must run to its end");
            }
            raise_pending();
        default:
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "generator ended without a result");
            }
            raise_pending();
    }
}

}  // namespace frame
