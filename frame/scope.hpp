// Where a body is: the name its traceback entries carry and the source line
// of the statement running now.  Bodies mark each statement that can fail:
//     scope.at(82); Ref raw = call_method(...);
// and the entry point that catches PyError adds one entry from the scope.
#pragma once

#include "ref.hpp"

#include <cassert>
#include <cstdint>

namespace frame {

// The pending exception, taken out of the error indicator: normalised, with
// its traceback attached to it.  Empty when nothing was pending.
Ref fetch_exception();
// Makes an exception from fetch_exception() pending again.
void restore_exception(Ref exception);

// How many code units each line of a code object of the tables has: one,
// or where RESUME has inline cache units, as many as the RESUME with them,
// so that the unit showing a line is always an instruction, never a cache
// unit (the interpreter finds no line for one once it has instrumented the
// code for a tool).
constexpr int kUnitsPerLine = 1 + compat::kResumeCacheUnits;
constexpr std::uintptr_t kLineStride = sizeof(compat::CodeUnit) * kUnitsPerLine;

// Where the lines of a code object of the tables are: its code units,
// kUnitsPerLine per line from its first line to its last (see
// compat::kTrailingUnits).
struct LineMap {
    std::uintptr_t origin = 0;  // the address that would show line 0
    int first_line = 0;
    int last_line = 0;

    static LineMap of(PyCodeObject* code) noexcept {
        LineMap lines;
        lines.first_line = code->co_firstlineno;
        lines.last_line =
            lines.first_line + (static_cast<int>(Py_SIZE(code)) - compat::kTrailingUnits) / kUnitsPerLine - 1;
        lines.origin = reinterpret_cast<std::uintptr_t>(compat::code_units(code)) -
                       kLineStride * static_cast<std::uintptr_t>(lines.first_line);
        return lines;
    }
};

class Scope {
public:
    Scope(const char* trace_name, int line) noexcept : name_(trace_name) { at(line); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    // From `line` on, the line is shown on `frame` too, the body's frame on
    // the thread's stack, where stack walkers read it from the code unit the
    // frame points at (see compat::kTrailingUnits).
    void show_on(compat::InterpreterFrame& frame, const LineMap& lines, int line) noexcept {
        origin_ = lines.origin;
#ifndef NDEBUG
        first_line_ = lines.first_line;
        last_line_ = lines.last_line;
#endif
        shown_ = &frame.instr;
        at(line);
    }
    // Marks the statement about to run.  Every statement that can fail or
    // call out is marked, so this is one store: the line is kept as the code
    // unit that shows it, and read back from there.  The tables give only
    // lines of the function (checked builds assert it); another would show
    // no line on the frame, and still the right one in traceback entries.
    [[gnu::always_inline]] void at(int line) noexcept {
#ifndef NDEBUG
        assert(shown_ == &unshown_ || (first_line_ <= line && line <= last_line_));
#endif
        *shown_ = reinterpret_cast<compat::CodeUnit*>(origin_ + kLineStride * static_cast<std::uintptr_t>(line));
    }
    int line() const noexcept {
        return static_cast<int>((reinterpret_cast<std::uintptr_t>(*shown_) - origin_) / kLineStride);
    }
    const char* name() const noexcept { return name_; }

    // Adds this scope's entry to the pending exception unless it already has it.
    void trace(const PyError& error) const;

private:
    const char* name_;
    std::uintptr_t origin_ = 0;         // the address that shows line 0
    compat::CodeUnit** shown_ = &unshown_;  // the frame's instr, or unshown_ without a frame
    compat::CodeUnit* unshown_ = nullptr;
#ifndef NDEBUG
    int first_line_ = 0;
    int last_line_ = 0;
#endif
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
