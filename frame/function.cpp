#include "function.hpp"

#include "binding.hpp"
#include "compat.hpp"
#include "coroutine.hpp"
#include "module.hpp"
#include "events.hpp"
#include "scope.hpp"
#include "static_type.hpp"

#include <structmember.h>

#include <cstddef>

namespace frame {

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    // From the table, where a call reads them first: the body (nullptr for
    // the coroutine method, whose calls make a coroutine) and the first line.
    MethodBody body;
    LeafBody leaf;
    int first_line;
    const char* trace_name;
    Py_ssize_t fast_positional;   // positional count of the fast tier, or -1 without one
    Py_ssize_t keyword_only;
    Py_ssize_t parameters;        // positional and keyword-only: the locals a call's frame starts with
    LineMap lines;                // of its code object, for the frames of its calls
    mutable compat::EventState events;  // what the tools watching its calls want of its code object
    CheckList checks;             // of the fast tier
    PyObject* builtins;           // the builtins' namespace, borrowed: it lives as long as the interpreter
    Ref coroutine_name;           // what its coroutines are called, fixed at creation
    Ref coroutine_qualname;
    PyObject* param_names[kMaxParams];  // interned, immortal for the process
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* module;
    Ref name;
    Ref qualname;
    Ref doc;
    Ref code;
    Ref globals;
    Ref defaults;
    Ref kwdefaults;
    Ref annotations;
    Ref is_coroutine;
};

PyTypeObject* function_type = nullptr;

Function* as_function(PyObject* self) {
    return reinterpret_cast<Function*>(self);
}

PyObject* new_or_none(const Ref& value) {
    return Py_NewRef(value ? value.get() : Py_None);
}

// The body's result, or NULL once the scope's entry is on the exception.
[[gnu::always_inline]] inline PyObject* call_body(const Function* function, Scope& scope,
                                                 PyObject* const* values) {
    try {
        return function->body(scope, values).release();
    } catch (const PyError& error) {
        scope.trace(error);
        return nullptr;
    }
}

// A call while some tool watches the thread: the body between a start and a
// return (or unwind) event on the call's frame, as a Python function's frame
// gives them.  A tool failing at the start fails the call at the first line
// without running the body; failing at the return replaces the result.
[[gnu::noinline, gnu::cold]] PyObject* run_observed(const Function* function, Scope& scope, PyObject* const* values,
                                                    PyThreadState* tstate, compat::InterpreterFrame& frame) {
    if (!observe(tstate, function->events, frame, compat::Event::Start)) {
        scope.trace(PyError{});
        observe(tstate, function->events, frame, compat::Event::Unwind);
        return nullptr;
    }
    Ref result = Ref::steal(call_body(function, scope, values));
    if (!result) {
        observe(tstate, function->events, frame, compat::Event::Unwind);
        return nullptr;
    }
    if (!observe(tstate, function->events, frame, compat::Event::Return, result.get())) {
        if (compat::kExitEventErrorRaisedInFrame) {
            scope.trace(PyError{});
            observe(tstate, function->events, frame, compat::Event::Unwind);
        }
        return nullptr;
    }
    return result.release();
}

// The body in `frame`, a frame of the method's code object on the thread's
// stack above its caller's.
[[gnu::always_inline]] inline PyObject* run_in_frame(const Function* function, Scope& scope,
                                                    PyObject* const* values, PyThreadState* tstate,
                                                    compat::InterpreterFrame& frame) {
    compat::init_frame(frame, const_cast<PyObject*>(reinterpret_cast<const PyObject*>(function)),
                       reinterpret_cast<PyCodeObject*>(function->code.get()), function->globals.get(),
                       function->builtins, values, function->parameters);
    compat::push_frame(tstate, frame);
    scope.show_on(frame, function->lines, function->first_line);
    PyObject* result = compat::events_wanted(tstate, function->events)
                           ? run_observed(function, scope, values, tstate, frame)
                           : call_body(function, scope, values);
    compat::pop_frame(tstate, frame);
    compat::release_frame(frame, function->parameters);
    return result;
}

// When the thread's frame stack has no room left in its current chunk: the
// frame on the C stack, out of line so that no other call pays the stack.
[[gnu::noinline]] PyObject* run_in_c_stack_frame(const Function* function, Scope& scope, PyObject* const* values,
                                                 PyThreadState* tstate) {
    compat::InterpreterFrame frame;
    return run_in_frame(function, scope, values, tstate, frame);
}

// Each call is one level of recursion, as the frame of a Python function is
// (so recursion through a method ends in RecursionError at the depth the
// same code in Python reaches).  Inlined into the vectorcall entry: each C
// frame between the interpreter and the Python code a body calls costs time
// on the I/O-bound methods, and stack on every level of a recursion.
[[gnu::always_inline]] inline PyObject* run_body(const Function* function, Scope& scope,
                                                PyObject* const* values) {
    PyThreadState* tstate = compat::thread_state();
    if (compat::enter_recursive_call(tstate, "")) {
        return nullptr;  // the function never started, so it has no entry
    }
    PyObject* result;
    if (compat::InterpreterFrame* frame = compat::reserve_frame(tstate)) {
        result = run_in_frame(function, scope, values, tstate, *frame);
        compat::unreserve_frame(tstate, *frame);
    } else {
        result = run_in_c_stack_frame(function, scope, values, tstate);
    }
    compat::leave_recursive_call(tstate);
    return result;
}

PyObject* start_coroutine(const Function* function, Scope& scope, PyObject* const* values) {
    PyObject* coroutine =
        new_coroutine(*function->def, function->code.get(), function->coroutine_name.get(),
                      function->coroutine_qualname.get(), values,
                      function->parameters);
    if (coroutine == nullptr) {
        scope.trace(PyError{});
    }
    return coroutine;
}

// Keywords, defaults, int conversions and every refusal: binds into a
// BoundArgs first.
[[gnu::noinline]] PyObject* call_with_binding(const Function* function, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    Scope scope(function->trace_name, function->first_line);
    BoundArgs bound;
    if (!bind_arguments(*function->def, function->param_names, args, nargs, kwnames, bound)) {
        scope.trace(PyError{});
        return nullptr;
    }
    if (function->body == nullptr) {
        return start_coroutine(function, scope, bound.values);
    }
    return run_body(function, scope, bound.values);
}

// The keywords name the keyword-only parameters, all of them, in their order:
// then the caller's array already holds every value in parameter order.
bool keywords_in_order(const Function* function, PyObject* kwnames) noexcept {
    const Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (count != function->keyword_only) {
        return false;
    }
    PyObject* const* names = function->param_names + function->fast_positional;
    for (Py_ssize_t index = 0; index < count; ++index) {
        if (PyTuple_GET_ITEM(kwnames, index) != names[index]) {
            return false;
        }
    }
    return true;
}

// A call in a frame of its own on the thread's stack, by the fast tier or
// through binding.  Out of line, so that a call its frameless form answers
// does not pay for what this one keeps on the C stack.
[[gnu::noinline]] PyObject* call_in_frame(const Function* function, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    // The common call, positional parameters by position and keyword-only
    // ones by (interned) name in order: the checks run over the caller's own
    // array, which the body then reads in place.
    if (nargs == function->fast_positional && keywords_in_order(function, kwnames)) {
        Scope scope(function->trace_name, function->first_line);
        if (!check_in_order(function->checks, args)) {
            scope.trace(PyError{});
            return nullptr;
        }
        if (function->body == nullptr) {
            return start_coroutine(function, scope, args);
        }
        return run_body(function, scope, args);
    }
    return call_with_binding(function, args, nargs, kwnames);
}

// The frameless form first, for a call by position whose arguments pass
// their checks, when no tool watches the thread: the form runs no Python
// code, releases no lock and lets no signal handler run, so no stack walker,
// profiler or monitoring tool could have seen the frame it skips, and a
// check that fails is for the framed call to raise.  The recursion level is
// still taken, so a call at the limit fails as a Python function's does
// (before it starts, so without an entry of its own).  When the form cannot
// vouch for its objects, it changed nothing and the call runs in its frame.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Function* function = as_function(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (function->leaf != nullptr && nargs == function->fast_positional && kwnames == nullptr &&
        passes_checks(function->checks, args)) {
        PyThreadState* tstate = compat::thread_state();
        if (!compat::events_wanted(tstate, function->events)) {
            if (compat::enter_recursive_call(tstate, "")) {
                return nullptr;
            }
            PyObject* result = function->leaf(args);
            compat::leave_recursive_call(tstate);
            if (result != nullptr) {
                return result;
            }
        }
    }
    return call_in_frame(function, args, nargs, kwnames);
}

// --- attributes ------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) noexcept {
    return as_function(self)->name.dup().release();
}

int set_name(PyObject* self, PyObject* value, void*) {
    return assign_str_attribute(as_function(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) noexcept {
    return as_function(self)->qualname.dup().release();
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return assign_str_attribute(as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) noexcept {
    return new_or_none(as_function(self)->doc);
}

int set_doc(PyObject* self, PyObject* value, void*) {
    as_function(self)->doc = Ref::borrow(value != nullptr ? value : Py_None);
    return 0;
}

PyObject* get_globals(PyObject* self, void*) noexcept {
    return as_function(self)->globals.dup().release();
}

PyObject* get_closure(PyObject*, void*) noexcept {
    Py_RETURN_NONE;
}

PyObject* get_code(PyObject* self, void*) noexcept {
    return new_or_none(as_function(self)->code);
}

// The defaults a call uses are fixed in the binding; these attributes only
// report them, and say so when someone assigns them.
int warn_defaults_not_used(const char* attribute) {
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "assigning %s of a compiled method changes what the attribute shows, "
                            "not the defaults its calls use",
                            attribute);
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    return new_or_none(as_function(self)->defaults);
}

// None or an object of the attribute's type; the assignment warns because
// calls keep using the defaults fixed in the binding.
int assign_defaults(Ref& slot, PyObject* value, const char* attribute, int (*accepts)(PyObject*),
                    const char* type_name) {
    if (value == nullptr) {
        value = Py_None;
    }
    if (value != Py_None && !accepts(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", attribute, type_name);
        return -1;
    }
    if (warn_defaults_not_used(attribute) < 0) {
        return -1;
    }
    slot = Ref::borrow(value);
    return 0;
}

int is_tuple(PyObject* value) noexcept {
    return PyTuple_Check(value);
}

int is_dict(PyObject* value) noexcept {
    return PyDict_Check(value);
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    return assign_defaults(as_function(self)->defaults, value, "__defaults__", is_tuple, "tuple");
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    return new_or_none(as_function(self)->kwdefaults);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    return assign_defaults(as_function(self)->kwdefaults, value, "__kwdefaults__", is_dict, "dict");
}

PyObject* get_annotations(PyObject* self, void*) {
    Function* function = as_function(self);
    if (!function->annotations) {
        function->annotations = Ref::steal(PyDict_New());
    }
    return function->annotations.dup().release();
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    as_function(self)->annotations = Ref::borrow(value);
    return 0;
}

// asyncio.iscoroutinefunction() recognises a coroutine function that is not a
// Python function by this marker.
Ref coroutine_marker() {
    Ref coroutines = Ref::steal(PyImport_ImportModule("asyncio.coroutines"));
    Ref marker = coroutines ? Ref::steal(PyObject_GetAttrString(coroutines.get(), "_is_coroutine")) : Ref();
    if (!marker) {
        PyErr_Clear();
        marker = Ref::borrow(Py_True);
    }
    return marker;
}

PyObject* get_is_coroutine(PyObject* self, void*) {
    Function* function = as_function(self);
    if (!function->is_coroutine) {
        function->is_coroutine =
            function->def->kind == Kind::Coroutine ? coroutine_marker() : Ref::borrow(Py_False);
    }
    return function->is_coroutine.dup().release();
}

PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return as_function(self)->qualname.dup().release();
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname.get(), self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* function = as_function(self);
    Py_VISIT(function->dict);
    Py_VISIT(function->module);
    Py_VISIT(function->doc.get());
    Py_VISIT(function->code.get());
    Py_VISIT(function->globals.get());
    Py_VISIT(function->defaults.get());
    Py_VISIT(function->kwdefaults.get());
    Py_VISIT(function->annotations.get());
    Py_VISIT(function->is_coroutine.get());
    return 0;
}

int function_clear(PyObject* self) {
    Function* function = as_function(self);
    Py_CLEAR(function->dict);
    Py_CLEAR(function->module);
    function->doc.reset();
    function->code.reset();
    function->globals.reset();
    function->defaults.reset();
    function->kwdefaults.reset();
    function->annotations.reset();
    function->is_coroutine.reset();
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Function* function = as_function(self);
    if (function->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    function->name.~Ref();
    function->qualname.~Ref();
    function->coroutine_name.~Ref();
    function->coroutine_qualname.~Ref();
    PyObject_GC_Del(self);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {"__class__", get_posed_class, set_posed_class, nullptr, &PyFunction_Type},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Static (static_type.hpp): not reference counted through its instances, so
// dealloc does not release the type and traverse does not visit it.
PyTypeObject function_type_object = [] {
    PyTypeObject type = static_type("_tarnix_frame.function", sizeof(Function),
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                                        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                                    function_dealloc, function_traverse, function_clear);
    type.tp_vectorcall_offset = offsetof(Function, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_weaklistoffset = offsetof(Function, weakrefs);
    type.tp_methods = function_methods;
    type.tp_members = function_members;
    type.tp_getset = function_getset;
    type.tp_descr_get = function_descr_get;
    type.tp_dictoffset = offsetof(Function, dict);
    return type;
}();

Ref text_or_none(const char* text) {
    return text == nullptr ? Ref::borrow(Py_None) : take(PyUnicode_FromString(text));
}

Ref annotations_of(const MethodDef& def) {
    Ref annotations = take(PyDict_New());
    auto add = [&](const char* name, const char* text) {
        Ref value = take(PyUnicode_FromString(text));
        ok(PyDict_SetItemString(annotations.get(), name, value.get()));
    };
    for (const Param& param : def.params) {
        if (param.annotation != nullptr) {
            add(param.name, param.annotation);
        }
    }
    for (const Param& param : def.kwonly) {
        if (param.annotation != nullptr) {
            add(param.name, param.annotation);
        }
    }
    if (def.returns != nullptr) {
        add("return", def.returns);
    }
    return annotations;
}

// Parameter names live as long as the process, like the compiler's interned
// identifiers they are compared with.
PyObject* interned_name(const char* name) {
    return take(PyUnicode_InternFromString(name)).release();
}

Ref defaults_of(const MethodDef& def) {
    if (def.defaults == 0) {
        return Ref();
    }
    Ref defaults = take(PyTuple_New(def.defaults));
    for (int i = 0; i < def.defaults; ++i) {
        PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
    }
    return defaults;
}

}  // namespace

int ready_function_type() {
    if (function_type == nullptr) {
        if (PyType_Ready(&function_type_object) < 0) {
            return -1;
        }
        function_type = &function_type_object;
    }
    return 0;
}

Ref new_function(const MethodDef& def, PyObject* code, const char* trace_name) {
    Ref object = take(PyType_GenericAlloc(function_type, 0));
    Function* function = as_function(object.get());
    function->vectorcall = function_vectorcall;
    function->def = &def;
    function->body = def.kind == Kind::Coroutine ? nullptr : def.body;
    function->leaf = def.kind == Kind::Method ? def.leaf : nullptr;
    function->first_line = def.first_line;
    function->trace_name = trace_name;
    function->fast_positional = takes_arguments_as_passed(def) ? static_cast<Py_ssize_t>(def.params.size()) : -1;
    function->keyword_only = static_cast<Py_ssize_t>(def.kwonly.size());
    function->parameters = static_cast<Py_ssize_t>(def.params.size() + def.kwonly.size());
    function->builtins = module_builtins();
    if ((def.kind == Kind::Coroutine ? def.resume == nullptr : def.body == nullptr) ||
        def.params.size() + def.kwonly.size() > static_cast<std::size_t>(kMaxParams)) {
        PyErr_Format(PyExc_SystemError, "%s() has no body or more parameters than the frame binds", def.name);
        raise_pending();
    }
    function->module = Py_NewRef(module_name());
    function->code = Ref::borrow(code);
    function->lines = LineMap::of(reinterpret_cast<PyCodeObject*>(code));
    function->events = compat::EventState{};
    function->checks = checks_of(def);
    function->globals = Ref::borrow(module_globals());
    function->name = take(PyUnicode_InternFromString(def.name));
    function->qualname = take(PyUnicode_FromFormat("%s.%s", module_def().cls.name, def.name));
    if (def.kind == Kind::Coroutine) {
        function->coroutine_name = function->name.dup();
        function->coroutine_qualname = function->qualname.dup();
    }
    function->doc = text_or_none(def.doc);
    function->defaults = defaults_of(def);
    function->annotations = annotations_of(def);
    Py_ssize_t index = 0;
    for (const Param& param : def.params) {
        function->param_names[index++] = interned_name(param.name);
    }
    for (const Param& param : def.kwonly) {
        function->param_names[index++] = interned_name(param.name);
    }
    return object;
}

}  // namespace frame
