// CPython 3.14 and 3.15: the stack check of a call.  From 3.14 the C
// recursion budget is the machine stack: the interpreter compares the stack
// pointer with a soft limit in the thread state's private part
// (_PyThreadStateImpl.c_stack_soft_limit, pycore_tstate.h).  Both versions
// keep it where their own headers say; py314.cpp, compiled for each, takes
// the offset from them, and the import checks it against the running
// thread's stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace frame::compat {

extern const std::size_t c_stack_soft_limit_offset;

inline std::uintptr_t c_stack_soft_limit(PyThreadState* tstate) noexcept {
    std::uintptr_t limit;
    std::memcpy(&limit, reinterpret_cast<const char*>(tstate) + c_stack_soft_limit_offset, sizeof limit);
    return limit;
}

// Every release finds the stack near its end only below the soft limit
// (pycore_ceval.h, _Py_MakeRecCheck: `here < c_stack_soft_limit && ...`, the
// rest of the test differing between patch releases), so above it the
// exported check, a call and a thread-local read, has nothing to say; below
// it, the running release decides.
inline bool enter_native_call(PyThreadState* tstate, const char* where) noexcept {
    if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) >= c_stack_soft_limit(tstate)) {
        return false;
    }
    return Py_EnterRecursiveCall(where) != 0;
}

}  // namespace frame::compat
