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

// The getter of __class__ for a type whose instances stand in for one of the
// interpreter's own (the PyGetSetDef closure): they report that type, as the
// standard library's mocks and the common function proxies report the class
// they pose as, so isinstance() and inspect's predicates answer as for the
// interpreter's objects.  type() and every C-level test (PyFunction_Check,
// PyCoro_CheckExact) still see the frame's own type, so no C code takes the
// object for the interpreter's struct.
inline PyObject* get_posed_class(PyObject*, void* posed) noexcept {
    return Py_NewRef(static_cast<PyObject*>(posed));
}

// Assigning __class__ goes to object's own setter, which refuses it for the
// frame's immutable types with the interpreter's checks, messages and audit
// event, exactly as for an instance of the type posed as.
// Found through the type's lookup: from 3.12 on a static type of the
// interpreter keeps its dict per interpreter, and tp_dict is NULL.
inline int set_posed_class(PyObject* self, PyObject* value, void*) {
    Ref name = Ref::steal(PyUnicode_InternFromString("__class__"));
    if (!name) {
        return -1;
    }
    PyObject* setter = _PyType_Lookup(&PyBaseObject_Type, name.get());
    if (setter == nullptr || Py_TYPE(setter)->tp_descr_set == nullptr) {
        PyErr_SetString(PyExc_SystemError, "object has no __class__ setter");
        return -1;
    }
    return Py_TYPE(setter)->tp_descr_set(setter, self, value);
}

}  // namespace frame
