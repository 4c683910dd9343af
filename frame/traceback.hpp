// Traceback entries: a new frame per entry, over an empty code object whose
// first line is the entry's line (cached per function name and line), so
// tb_lineno comes out right without touching private frame fields.
#pragma once

#include "ref.hpp"

namespace frame {

// Adds one entry to the pending exception.  Never fails: if the entry cannot
// be made, the pending exception is left as it was.
void add_traceback(const char* function_name, int line);

}  // namespace frame
