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
    void at(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }
    const char* name() const noexcept { return name_; }

    // Adds this scope's entry to the pending exception unless it already has it.
    void trace(const PyError& error) const;

private:
    const char* name_;
    int line_;
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
