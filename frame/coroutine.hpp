// Coroutine, generator and await-wrapper objects.  One resumption core drives
// all of them: send a value (or a pending exception) in, get a yielded value,
// a return or an error out.  send, throw, close, __next__, the await wrapper
// and finalisation are adapters around it.
#pragma once

#include "method.hpp"
#include "ref.hpp"

namespace frame {

// The state a coroutine or generator keeps between resumptions.  The object
// is allocated by the interpreter; the core constructs and destroys the Ref
// members in place.
struct Resumable {
    static constexpr int kSlots = 8;

    PyObject_HEAD
    ResumeBody body;
    const char* trace_name;  // the bare function name its entries carry
    int first_line;
    int line;                // the body's line when it last suspended
    int point;               // 0 not started, > 0 suspended there, -1 finished
    bool running;
    bool is_coroutine;
    // The result with which an inlined any()/all() stops at the first
    // deciding element (run_to_return): the generator expression in Python
    // would have yielded it there and been closed without running on.
    PyObject* stops_early_with;
    Ref delegate;            // the object being awaited (cr_await / gi_yieldfrom)
    Ref name;
    Ref qualname;
    Ref module;
    Ref code;
    // The frame the body runs in: on the thread's stack for each resumption,
    // off it while suspended.  Its frame object is cr_frame / gi_frame.
    compat::InterpreterFrame frame;
    compat::EventState events;  // what the tools watching it want of its code object
    Ref origin;              // cr_origin: where it was made, when tracking was on
    PyObject* weakrefs;
    // Slots first hold the call's arguments (coroutine) or the captured
    // values (generator); the rest are the body's locals and loop state.
    // They are released when the body finishes.
    Ref slots[kSlots];

    int resume_point() const noexcept { return point; }
    PyObject* slot(int index) const noexcept { return slots[index].get(); }

    // `await awaitable` at resume point `next_point`: turns the object into
    // the iterator to delegate to (the await protocol and its TypeErrors) and
    // suspends.  The body returns the result of this call (an empty Ref);
    // when resumed it is entered at `next_point` with the await's result, or
    // with nullptr and the delegate's exception pending.  Throws PyError when
    // the object cannot be awaited; nothing is suspended then.
    Ref await(Arg awaitable, int next_point);
};

// Readies the static types once per process; -1 with an exception set.
int ready_resumable_types();

// A new not-started coroutine for a bound call of `def`, called `name` and
// `qualname`; `args` are the checked values of its parameters (positional,
// then keyword-only).
PyObject* new_coroutine(const MethodDef& def, PyObject* code, PyObject* name, PyObject* qualname,
                        PyObject* const* args, Py_ssize_t nargs);

// A new not-started generator for a generator expression; `captured` fill the
// first slots.  Failing, it adds the creation entry named after the enclosing
// method and throws.
Ref new_generator(const GeneratorDef& def, Args captured);

// Runs a generator that never yields to its end and returns its result (the
// inlined any()/all() of a generator expression: `stops_early_with` is the
// result that stops them early, True for any(), False for all()).  A failure
// of the body throws an untraced PyError, so the caller adds its own entry
// above the body's.
Ref run_to_return(Arg generator, PyObject* stops_early_with);

}  // namespace frame
