// The frame's types are static types, as the interpreter's own function and
// coroutine types are: their __module__ comes from tp_name, while their
// instances keep a writable __module__ of their own.
#pragma once

#include "ref.hpp"

namespace frame {

// The fields every static type of the frame fills the same way: never
// released (its count starts at 1, as PyVarObject_HEAD_INIT gives), its
// instances garbage-collected; the caller adds the rest before PyType_Ready.
inline PyTypeObject static_type(const char* name, Py_ssize_t basicsize, unsigned long flags, destructor dealloc,
                                   traverseproc traverse, inquiry clear) noexcept {
    PyTypeObject type{};
    type.ob_base.ob_base.ob_refcnt = 1;
    type.tp_name = name;
    type.tp_basicsize = basicsize;
    type.tp_dealloc = dealloc;
    type.tp_flags = flags | Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = traverse;
    type.tp_clear = clear;
    type.tp_free = PyObject_GC_Del;
    return type;
}

}  // namespace frame
