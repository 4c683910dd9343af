// Where a body is: the name its traceback entries carry and the source line
// of the statement running now.  Bodies mark each statement that can fail:
//     scope.at(82); Ref raw = call_method(...);
// and the entry point that catches PyError adds one entry from the scope.
#pragma once

#include "ref.hpp"

namespace frame {

// The pending exception, taken out of the error indicator: normalised, with
// its traceback attached to it.  Empty when nothing was pending.
Ref fetch_exception() noexcept;
// Makes an exception from fetch_exception() pending again.
void restore_exception(Ref exception) noexcept;

class Scope {
public:
    Scope(const char* trace_name, int line) noexcept : name_(trace_name), line_(line) {}
    void at(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }
    const char* name() const noexcept { return name_; }

    // Adds this scope's entry to the pending exception unless it already has it.
    void trace(const PyError& error) const noexcept;

private:
    const char* name_;
    int line_;
};

// An except clause.  Constructed inside `catch (const PyError&)`: adds the
// scope's own entry (the line of the statement that raised), takes the pending
// exception and makes it the handled one (sys.exc_info()) until destroyed.
class Caught {
public:
    Caught(const Scope& scope, const PyError& error) noexcept;
    ~Caught();
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;

    // isinstance test of the caught exception against an exception class (or tuple).
    bool matches(Arg type) const noexcept;
    // The exception instance, for `except ... as name`.
    PyObject* value() const noexcept { return value_.get(); }
    // A bare `raise` of a clause that does not handle it: the entry is kept.
    [[noreturn]] void reraise();

private:
    Ref value_;
    Ref saved_handled_;
};

}  // namespace frame
