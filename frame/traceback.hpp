// Traceback entries: a new frame per entry, over an empty code object whose
// first line is the entry's line (cached per function name and line), so
// tb_lineno comes out right without touching private frame fields.
#pragma once

#include "ref.hpp"

namespace frame {

// Adds one entry to the pending exception.  Never fails: if the entry cannot
// be made, the pending exception is left as it was.
void add_traceback(const char* function_name, int line);

// A frame object over `code` with `globals`, for a traceback entry, a
// profiler or cr_frame; no code ever runs in it.  PyFrame_New looks up
// __builtins__ in the globals and takes an exception pending meanwhile for
// its own failure, so a pending one is kept aside while it runs.  Empty,
// with the failure pending in place of the kept exception, when no frame can
// be made.
Ref new_frame(PyObject* code, PyObject* globals);

}  // namespace frame
