// Where a body is: the name its traceback entries carry and the source line
// of the statement running now.  Bodies mark each statement that can fail:
//     scope.at(82); Ref raw = call_method(...);
// and the entry point that catches PyError adds one entry from the scope.
#pragma once

#include "ref.hpp"

namespace frame {

// The pending exception, taken out of the error indicator: normalised, with
// its traceback attached to it.  Empty when nothing was pending.
Ref fetch_exception();
// Makes an exception from fetch_exception() pending again.
void restore_exception(Ref exception);

class Scope {
public:
    Scope(const char* trace_name, int line) noexcept : name_(trace_name), line_(line) {}
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    // From now on the line is shown on `frame` too, the body's frame on the
    // thread's stack, where stack walkers read it from the code unit the
    // frame points at (see compat::kTrailingUnits).
    void show_on(compat::InterpreterFrame& frame) noexcept {
        PyCodeObject* code = frame.code;
        first_unit_ = reinterpret_cast<_Py_CODEUNIT*>(code->co_code_adaptive);
        first_line_ = code->co_firstlineno;
        last_offset_ = static_cast<unsigned>(Py_SIZE(code) - compat::kTrailingUnits - 1);
        shown_ = &frame.prev_instr;
        at(line_);
    }
    // Marks the statement about to run.  Every statement that can fail or
    // call out is marked, so this is kept to a few instructions: the unit of
    // line n is the function's first unit plus n - first line, and a line
    // outside the function shows its first line.
    [[gnu::always_inline]] void at(int line) noexcept {
        line_ = line;
        const auto offset = static_cast<unsigned>(line - first_line_);
        *shown_ = first_unit_ + (offset <= last_offset_ ? offset : 0);
    }
    int line() const noexcept { return line_; }
    const char* name() const noexcept { return name_; }

    // Adds this scope's entry to the pending exception unless it already has it.
    void trace(const PyError& error) const;

private:
    const char* name_;
    int line_;
    int first_line_ = 0;
    unsigned last_offset_ = 0;
    _Py_CODEUNIT* first_unit_ = nullptr;
    _Py_CODEUNIT** shown_ = &unshown_;  // a scope without a frame writes here
    _Py_CODEUNIT* unshown_ = nullptr;
};

// An except clause.  Constructed inside `catch (const PyError&)`: takes the
// pending exception and makes it the handled one (sys.exc_info()) until
// destroyed.  The scope's entry (the line of the statement that raised) goes
// on the exception when a clause catches it; one that no clause catches
// leaves the function with the usual single entry of that line.  One that
// the clauses fail to even test (the class expression raises, or names no
// exception class) gets its entry when the clause is left with that new
// error, whose __context__ it is, as the interpreter adds the entry on
// entering the clauses.
class Caught {
public:
    Caught(Scope& scope, const PyError& error);
    ~Caught() noexcept(false);
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;

    // `except type:`: the isinstance test of the caught exception against an
    // exception class or a tuple of them.  Anything else raises the
    // interpreter's TypeError for such a clause.
    bool matches(Arg type);
    // The exception instance, for `except ... as name`.
    PyObject* value() const noexcept { return value_.get(); }
    // A bare `raise` in a clause, or the end of the clauses when none matched.
    [[noreturn]] void reraise();

private:
    // Adds the scope's entry at the raising line to the caught exception.
    void trace_caught();

    Scope& scope_;
    int raise_line_;
    bool traced_;
    bool reraised_ = false;
    Ref value_;
    Ref saved_handled_;
};

}  // namespace frame
