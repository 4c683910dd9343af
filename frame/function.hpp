// The method function type: behaves like a Python function (attributes,
// descriptor binding to a real bound method, vectorcall) and binds and checks
// its arguments before calling the body.
#pragma once

#include "method.hpp"
#include "ref.hpp"

namespace frame {

// Readies the static type once per process; -1 with an exception set.
int ready_function_type();

// A new method function for one row of the class table.
Ref new_function(const MethodDef& def, PyObject* code, const char* trace_name);

}  // namespace frame
