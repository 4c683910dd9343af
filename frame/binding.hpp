// Argument binding and the typed checks of the binding wrapper, with the
// interpreter-compatible TypeError texts.
#pragma once

#include "constants.hpp"
#include "method.hpp"
#include "ref.hpp"

namespace frame {

// The most parameters (positional and keyword-only) a method of the tables
// has.  Bound values live on the C stack for the whole call, and a method
// that recurses through Python code pays for them on every level.
constexpr int kMaxParams = 6;

// One checked value per parameter (positional, then keyword-only).  Values
// are borrowed from the call, except those an int conversion replaced.
struct BoundArgs {
    PyObject* values[kMaxParams] = {};
    Ref converted[kMaxParams];
    Py_ssize_t count = 0;
};

// Binding failures are ordinary Python-visible outcomes, so these report them
// by return value (false with the TypeError set) instead of throwing PyError.

// True when the body can take the caller's array as it is, once a call
// passed every positional parameter by position and the keyword-only ones by
// keyword in their order: no int conversion replaces a value.
bool takes_arguments_as_passed(const MethodDef& def) noexcept;

// The parameters of the fast tier that have a check, in parameter order, so
// that a call looks only at those.
struct CheckList {
    struct Entry {
        const Param* param;
        Py_ssize_t index;  // in the caller's array
    };
    Entry entries[kMaxParams];
    int count = 0;
};
CheckList checks_of(const MethodDef& def) noexcept;

// The checks of a CheckList over such an array (positional, then keyword-only
// values).
bool check_in_order(const CheckList& checks, PyObject* const* args);

// Whether `value` passes `check`, without raising.  An int parameter's
// value is converted, not refused: binding does that before the checks.
inline bool passes_check(Check check, PyObject* value) noexcept {
    switch (check) {
        case Check::ExactStrOrNone:
            return value == Py_None || PyUnicode_CheckExact(value);
        case Check::ExactStr:
            return PyUnicode_CheckExact(value);
        case Check::ExactDict:
            return PyDict_CheckExact(value);
        case Check::Any:
        case Check::Int:
            return true;
    }
    return true;
}

// Whether check_in_order would pass, without raising: for a call that may
// skip its frame, whose failing check the framed call then raises.
inline bool passes_checks(const CheckList& checks, PyObject* const* args) noexcept {
    for (int entry = 0; entry < checks.count; ++entry) {
        const CheckList::Entry& checked = checks.entries[entry];
        if (!passes_check(checked.param->check, args[checked.index])) {
            return false;
        }
    }
    return true;
}

// Binds a vectorcall's arguments to the parameters of `def` (whose interned
// names are `names`, positional then keyword-only), fills defaults and runs
// the checks.
bool bind_arguments(const MethodDef& def, PyObject* const* names, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& bound);

}  // namespace frame
