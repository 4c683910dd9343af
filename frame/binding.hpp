// Argument binding and the typed checks of the binding wrapper, with the
// interpreter-compatible TypeError texts.
#pragma once

#include "constants.hpp"
#include "method.hpp"
#include "ref.hpp"

namespace frame {

constexpr int kMaxParams = 8;

// One checked value per parameter (positional, then keyword-only).  Values
// are borrowed from the call, except those an int conversion replaced.
struct BoundArgs {
    PyObject* values[kMaxParams] = {};
    Ref converted[kMaxParams];
    Py_ssize_t count = 0;
};

// Binds a vectorcall's arguments to the parameters of `def` (whose interned
// names are `names`, positional then keyword-only), fills defaults and runs
// the checks; throws PyError with the binding TypeError set.
void bind_arguments(const MethodDef& def, PyObject* const* names, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& bound);

}  // namespace frame
