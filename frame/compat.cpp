// The one file that reads CPython's internal layouts: the dict's
// (pycore_dict.h), the runtime state's (pycore_runtime.h) and the recursion
// check's (pycore_ceval.h).
#define Py_BUILD_CORE_MODULE 1
#include <Python.h>
// pycore_atomic.h declares its atomic ints with <stdatomic.h>, which C++
// has only from C++23 on; its variant for the compiler's atomic builtins
// declares them as plain ints, which have the same size and alignment.
#undef HAVE_STD_ATOMIC
#include <internal/pycore_ceval.h>
#include <internal/pycore_dict.h>
#include <internal/pycore_frame.h>
#include <internal/pycore_runtime.h>

#include "compat.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include <cstddef>
#include <utility>

namespace frame::compat {

static_assert(sizeof(_Py_atomic_int) == sizeof(int));
const int* const signals_pending = &_PyRuntime.ceval.signals_pending._value;

const volatile std::uintptr_t& runtime_finalizing = _PyRuntime._finalizing._value;
const volatile std::uintptr_t& running_thread_state = _PyRuntime.gilstate.tstate_current._value;

int check_recursive_call(PyThreadState* tstate, const char* where) noexcept {
    return _Py_CheckRecursiveCall(tstate, where);
}

bool holds_lock_while_finalizing() noexcept {
    // The lock holder's thread state against this thread's own (NULL once the
    // runtime has dropped its per-thread states, and then nobody may touch).
    PyThreadState* mine = PyGILState_GetThisThreadState();
    if (mine != nullptr && _PyThreadState_UncheckedGet() == mine) {
        return true;
    }
#if defined(__SANITIZE_ADDRESS__)
    // This thread is being ended by a forced unwind.  The unwind removes the
    // frames below without clearing their poisoned redzones, and the
    // sanitizer's own hook before each _Unwind_Resume then writes a local
    // into that stale poison and reports it.  Those frames are gone for good.
    char* here = static_cast<char*>(__builtin_frame_address(0));
    constexpr std::size_t kDeadFrames = 64 * 1024;
    __asan_unpoison_memory_region(here - kDeadFrames, kDeadFrames);
#endif
    return false;
}

int call_profile_function(PyThreadState* tstate, PyObject* frame, int what, PyObject* arg) noexcept {
    Py_tracefunc function = tstate->c_profilefunc;
    if (function == nullptr || tstate->tracing) {
        return 0;
    }
    PyThreadState_EnterTracing(tstate);
    const int result = function(tstate->c_profileobj, reinterpret_cast<PyFrameObject*>(frame), what, arg);
    PyThreadState_LeaveTracing(tstate);
    return result;
}

void set_frame_line(PyObject* frame, int line) noexcept {
    reinterpret_cast<PyFrameObject*>(frame)->f_lineno = line;
}

bool recycle_frame(PyObject* frame) noexcept {
    if (Py_REFCNT(frame) != 1) {
        return false;
    }
    PyFrameObject* f = reinterpret_cast<PyFrameObject*>(frame);
    // Released last: a finaliser they run sees the frame already clean.
    PyObject* trace = std::exchange(f->f_trace, nullptr);
    PyObject* back = reinterpret_cast<PyObject*>(std::exchange(f->f_back, nullptr));
    PyObject* locals = std::exchange(f->f_frame->f_locals, nullptr);
    f->f_trace_lines = 1;
    f->f_trace_opcodes = 0;
    f->f_fast_as_locals = 0;
    f->f_lineno = 0;
    Py_XDECREF(trace);
    Py_XDECREF(back);
    Py_XDECREF(locals);
    return Py_REFCNT(frame) == 1;
}

void set_frame_back(PyObject* frame, PyObject* back) noexcept {
    Py_XSETREF(reinterpret_cast<PyFrameObject*>(frame)->f_back, reinterpret_cast<PyFrameObject*>(back));
}

void remember_inline_slot(PyObject* obj, PyObject* name, PyObject* value, InlineSlot& slot) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    // A class with __getattr__ or __getattribute__ reads its own way; one
    // with a class attribute of this name (a property, say) may not read the
    // instance value at all.  Looking it up also gives the type its tag.
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) || type->tp_getattro != PyObject_GenericGetAttr ||
        _PyType_Lookup(type, name) != nullptr || !(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ||
        type->tp_version_tag == 0) {
        return;
    }
    PyObject** values = reinterpret_cast<PyObject***>(obj)[-4];
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    if (values == nullptr || keys == nullptr || keys->dk_kind != DICT_KEYS_SPLIT) {
        return;
    }
    // The shared keys only ever grow, so an index stays valid for the type.
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    for (Py_ssize_t index = 0; index < keys->dk_nentries; ++index) {
        if (entries[index].me_key == name) {
            if (values[index] == value) {
                slot.index = index;
                slot.type_version = type->tp_version_tag;
            }
            return;
        }
    }
}

}  // namespace frame::compat
