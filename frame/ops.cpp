#include "ops.hpp"

#include "compat.hpp"
#include "module.hpp"

#include <cstring>

namespace frame {

namespace {

Str items_name{"items"};
Str import_name{"__import__"};

// The most arguments a body passes in one call.  The argument arrays live on
// the C stack of every call, so they are no larger than that.
constexpr std::size_t kMaxArgs = 5;

[[noreturn]] void too_many_arguments() {
    PyErr_SetString(PyExc_SystemError, "more arguments than the frame passes in one call");
    raise_pending();
}

// Calls through the callee's vectorcall entry directly, so that the frame's
// own recursion and result checks (and their messages) apply.
PyObject* invoke(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    vectorcallfunc entry = PyVectorcall_Function(callable);
    if (entry == nullptr) {
        return PyObject_Vectorcall(callable, args, nargsf, kwnames);
    }
    PyThreadState* tstate = compat::thread_state();
    if (compat::enter_native_call(tstate, " while calling a Python object")) {
        return nullptr;
    }
    PyObject* result = entry(callable, args, nargsf, kwnames);
    compat::leave_native_call(tstate);
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

Py_ssize_t positional_count(Args args, PyObject* kwnames) noexcept {
    Py_ssize_t count = static_cast<Py_ssize_t>(args.size());
    return kwnames == nullptr ? count : count - PyTuple_GET_SIZE(kwnames);
}

// Calls builtins.__import__ as an `import` statement does (so an override of
// builtins.__import__ is honoured), at level 0 with the module namespace as globals.
PyObject* importer() {
    PyObject* found = PyDict_GetItemWithError(module_builtins(), import_name.get());
    if (found == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "__import__ not found");
        }
        raise_pending();
    }
    return found;
}

// builtins.__import__ as the interpreter made it, not a replacement.
bool is_builtin_import(PyObject* function) noexcept {
    if (!PyCFunction_Check(function)) {
        return false;
    }
    PyObject* owner = PyCFunction_GET_SELF(function);
    return owner != nullptr && PyModule_Check(owner) && PyModule_GetDict(owner) == module_builtins() &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(function)->m_ml->ml_name, "__import__") == 0;
}

Ref import(const Str& name, PyObject* fromlist) {
    PyObject* function = importer();
    Ref locals = take(PyDict_New());
    Ref level = take(PyLong_FromLong(0));
    return call(function, {name, module_globals(), locals, fromlist, level});
}

// The module sys.modules holds under `name`, or nullptr.  A None entry blocks
// the import; __import__ raises for it, so it does not count as loaded.
PyObject* loaded_module(const Str& name) {
    PyObject* module = PyDict_GetItemWithError(PyImport_GetModuleDict(), name.get());
    if (module == nullptr && PyErr_Occurred()) {
        raise_pending();
    }
    return module == Py_None ? nullptr : module;
}

// getattr(module, name), falling back to sys.modules["module.name"] for a
// submodule that is not an attribute yet.
Ref imported_name(Arg module, const Str& module_name, const Str& name) {
    PyObject* value = PyObject_GetAttr(module.get(), name.get());
    if (value != nullptr) {
        return Ref::steal(value);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        raise_pending();
    }
    PyErr_Clear();
    Ref full_name = take(PyUnicode_FromFormat("%U.%U", module_name.get(), name.get()));
    PyObject* submodule = PyDict_GetItemWithError(PyImport_GetModuleDict(), full_name.get());
    if (submodule != nullptr) {
        return Ref::borrow(submodule);
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
    }
    raise_pending();
}

Ref module_for_from_import(const Str& module, std::initializer_list<const Str*> names) {
    PyObject* loaded = loaded_module(module);
    if (loaded != nullptr) {
        bool has_all = true;
        for (const Str* name : names) {
            has_all = has_all && PyObject_HasAttr(loaded, name->get());
        }
        if (has_all) {
            return Ref::borrow(loaded);
        }
    }
    Ref fromlist = take(PyList_New(0));
    for (const Str* name : names) {
        ok(PyList_Append(fromlist.get(), name->get()));
    }
    return import(module, fromlist.get());
}

}  // namespace

Ref global(Str& name) {
    PyObject* globals = module_globals();
    PyObject* builtins = module_builtins();
    const auto globals_tag = compat::dict_version(globals);
    const auto builtins_tag = compat::dict_version(builtins);
    if (name.cached_value != nullptr && name.globals_tag == globals_tag &&
        name.builtins_tag == builtins_tag) {
        return Ref::borrow(name.cached_value);
    }
    PyObject* value = PyDict_GetItemWithError(globals, name.get());
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(builtins, name.get());
    }
    if (value == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        }
        raise_pending();
    }
    // Borrowed on purpose: while neither tag changes, the dicts keep it alive.
    name.cached_value = value;
    name.globals_tag = globals_tag;
    name.builtins_tag = builtins_tag;
    return Ref::borrow(value);
}

void set_global(const Str& name, Arg value) {
    ok(PyDict_SetItem(module_globals(), name.get(), value.get()));
}

void import_bind(const Str& full_name, const Str& top) {
    Ref package;
    if (loaded_module(full_name) != nullptr) {
        if (PyObject* loaded_top = loaded_module(top)) {
            package = Ref::borrow(loaded_top);
        }
    }
    if (!package) {
        package = import(full_name, Py_None);
    }
    set_global(top, package);
}

void from_import_bind(const Str& module, std::initializer_list<const Str*> names) {
    Ref source = module_for_from_import(module, names);
    for (const Str* name : names) {
        set_global(*name, imported_name(source, module, *name));
    }
}

Ref import_module(const Str& name) {
    PyObject* function = importer();
    if (is_builtin_import(function)) {
        // What the interpreter's own import statement does in a function
        // when __import__ is not replaced.
        return take(PyImport_ImportModuleLevelObject(name.get(), module_globals(), Py_None, Py_None, 0));
    }
    Ref level = take(PyLong_FromLong(0));
    return call(function, {name, module_globals(), Py_None, Py_None, level});
}

Ref from_import(const Str& module, const Str& name) {
    Ref source = module_for_from_import(module, {&name});
    return imported_name(source, module, name);
}

Str get_method_name{"get"};

Ref attr_lookup(Arg obj, const Str& name) {
    Ref value = take(PyObject_GetAttr(obj.get(), name.get()));
    compat::remember_inline_slot(obj.get(), name.get(), value.get(), name.inline_slot);
    return value;
}

void set_attr(Arg obj, const Str& name, Arg value) {
    ok(PyObject_SetAttr(obj.get(), name.get(), value.get()));
}

Ref call(Arg callable, Args args, Arg kwnames) {
    // Slot 0 stays free so a bound-method callee can put `self` there; the
    // slots past the arguments are never read, so they are left as they are.
    if (args.size() > kMaxArgs) {
        too_many_arguments();
    }
    PyObject* stack[kMaxArgs + 1];
    stack[0] = nullptr;
    Py_ssize_t count = 0;
    for (const Arg& arg : args) {
        stack[1 + count++] = arg.get();
    }
    const size_t nargsf = static_cast<size_t>(positional_count(args, kwnames.get())) |
                          PY_VECTORCALL_ARGUMENTS_OFFSET;
    return take(invoke(callable.get(), stack + 1, nargsf, kwnames.get()));
}

// d.get(key[, default]) for an exact dict: the hashing, lookup and errors of
// dict.get itself, without finding the method and calling it.
Ref exact_dict_get(PyObject* dict, Args args) {
    const Arg* arg = args.begin();
    PyObject* value = PyDict_GetItemWithError(dict, arg[0].get());
    if (value == nullptr) {
        if (PyErr_Occurred()) {
            raise_pending();
        }
        value = args.size() == 2 ? arg[1].get() : Py_None;
    }
    return Ref::borrow(value);
}

namespace {

// The general method call, inlined into its two callers: one C frame less
// under every Python method a body calls (see run_body in function.cpp).
[[gnu::always_inline]] inline PyObject* vectorcall_method(Arg obj, const Str& name, Args args, Arg kwnames) {
    // Slot 0 is the spare slot the offset flag promises; the receiver is 1.
    if (args.size() > kMaxArgs) {
        too_many_arguments();
    }
    PyObject* stack[kMaxArgs + 2];
    stack[0] = nullptr;
    stack[1] = obj.get();
    Py_ssize_t count = 0;
    for (const Arg& arg : args) {
        stack[2 + count++] = arg.get();
    }
    const size_t nargsf = static_cast<size_t>(1 + positional_count(args, kwnames.get())) |
                          PY_VECTORCALL_ARGUMENTS_OFFSET;
    return PyObject_VectorcallMethod(name.get(), stack + 1, nargsf, kwnames.get());
}

}  // namespace

Ref call_method_lookup(Arg obj, const Str& name, Args args, Arg kwnames) {
    return take(vectorcall_method(obj, name, args, kwnames));
}

Ref call_method_or_fail(Arg obj, const Str& name, Args args, Arg kwnames) {
    return Ref::steal(vectorcall_method(obj, name, args, kwnames));
}

Method::Method(Arg obj, const Str& name) {
    PyObject* found = nullptr;
    const bool unbound = compat::get_method(obj.get(), name.get(), &found) == 1;
    callable_ = take(found);
    if (unbound) {
        self_ = Ref::borrow(obj.get());
    }
}

// What PyObject_VectorcallMethod does once it has found the method.
PyObject* Method::vectorcall(Args args, PyObject* kwnames) const {
    // Slot 0 is the spare slot the offset flag promises; the receiver, when
    // there is one, is slot 1.
    if (args.size() > kMaxArgs) {
        too_many_arguments();
    }
    PyObject* stack[kMaxArgs + 2];
    stack[0] = nullptr;
    stack[1] = self_.get();
    Py_ssize_t count = 0;
    for (const Arg& arg : args) {
        stack[2 + count++] = arg.get();
    }
    const Py_ssize_t receiver = self_ ? 1 : 0;
    const size_t nargsf = static_cast<size_t>(receiver + positional_count(args, kwnames)) |
                          PY_VECTORCALL_ARGUMENTS_OFFSET;
    return PyObject_Vectorcall(callable_.get(), stack + 2 - receiver, nargsf, kwnames);
}

Ref Method::operator()(Args args, Arg kwnames) const {
    return take(vectorcall(args, kwnames.get()));
}

Ref Method::call_or_fail(Args args, Arg kwnames) const {
    return Ref::steal(vectorcall(args, kwnames.get()));
}

bool truth(Arg obj) {
    PyObject* value = obj.get();
    if (value == Py_True) {
        return true;
    }
    if (value == Py_False || value == Py_None) {
        return false;
    }
    return ok(PyObject_IsTrue(value)) != 0;
}

Ref not_equal(Arg left, Arg right) {
    return take(PyObject_RichCompare(left.get(), right.get(), Py_NE));
}

bool contains(Arg container, Arg item) {
    return ok(PySequence_Contains(container.get(), item.get())) != 0;
}

// Equal interned strings are one object, so an interned text that is not the
// constant differs from it; only a text made at run time is compared by content.
bool str_equals(Arg text, const Str& constant) noexcept {
    PyObject* value = text.get();
    if (value == constant.get()) {
        return true;
    }
    if (PyUnicode_CHECK_INTERNED(value)) {
        return false;
    }
    return PyUnicode_Compare(value, constant.get()) == 0;
}

namespace {

// What JSON decodes to: the interpreter's own immutable types, none of which
// defines a __class__ of its own, so their instances report their own type.
bool reports_own_type(PyTypeObject* type) noexcept {
    return type == &PyUnicode_Type || type == &PyDict_Type || type == &PyList_Type || type == &PyLong_Type ||
           type == &PyFloat_Type || type == &PyBool_Type || type == Py_TYPE(Py_None) || type == &PyTuple_Type;
}

}  // namespace

bool is_instance(Arg obj, PyTypeObject* type) {
    PyTypeObject* actual = Py_TYPE(obj.get());
    if (actual == type) {
        return true;
    }
    if (reports_own_type(actual)) {
        return PyType_IsSubtype(actual, type) != 0;
    }
    // The built-in classes have no __instancecheck__ of their own, so this
    // is the subclass test and then the __class__ lookup, as isinstance does.
    return ok(PyObject_IsInstance(obj.get(), reinterpret_cast<PyObject*>(type))) != 0;
}

Ref get_item(Arg obj, Arg key) {
    return take(PyObject_GetItem(obj.get(), key.get()));
}

void set_item(Arg obj, Arg key, Arg value) {
    // What an exact dict's own subscript assignment does, without the dispatch.
    if (PyDict_CheckExact(obj.get())) {
        ok(PyDict_SetItem(obj.get(), key.get(), value.get()));
        return;
    }
    ok(PyObject_SetItem(obj.get(), key.get(), value.get()));
}

void del_item(Arg obj, Arg key) {
    ok(PyObject_DelItem(obj.get(), key.get()));
}

Ref new_dict() {
    return take(PyDict_New());
}

Ref bool_value(bool value) noexcept {
    return Ref::borrow(value ? Py_True : Py_False);
}

Ref format_value(Arg value) {
    if (PyUnicode_CheckExact(value.get())) {
        return Ref::borrow(value.get());
    }
    return take(PyObject_Format(value.get(), nullptr));
}

Ref concat(Arg left, Arg right) {
    return take(PyUnicode_Concat(left.get(), right.get()));
}

Ref true_divide(Arg left, Arg right) {
    return take(PyNumber_TrueDivide(left.get(), right.get()));
}

Ref bit_or(Arg left, Arg right) {
    return take(PyNumber_Or(left.get(), right.get()));
}

Ref expect_dict_or_none(Ref value) {
    if (value.get() == Py_None || PyDict_CheckExact(value.get())) {
        return value;
    }
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(value.get())->tp_name);
    raise_pending();
}

ItemWalk::ItemWalk(Arg mapping) {
    if (mapping.get() == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
        raise_pending();
    }
    if (PyDict_CheckExact(mapping.get())) {
        dict_ = Ref::borrow(mapping.get());
        size_ = PyDict_GET_SIZE(mapping.get());
        return;
    }
    Ref items = call_method(mapping, items_name);
    if (PyList_CheckExact(items.get()) || PyTuple_CheckExact(items.get())) {
        sequence_ = std::move(items);
    } else {
        iterator_ = take(PyObject_GetIter(items.get()));
    }
}

namespace {

[[noreturn]] void raise_too_few(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    raise_pending();
}

[[noreturn]] void raise_too_many() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    raise_pending();
}

}  // namespace

bool ItemWalk::next() {
    if (dict_) {
        if (PyDict_GET_SIZE(dict_.get()) != size_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            raise_pending();
        }
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (!PyDict_Next(dict_.get(), &pos_, &key, &value)) {
            return false;
        }
        key_ = Ref::borrow(key);
        value_ = Ref::borrow(value);
        return true;
    }
    Ref item;
    if (sequence_) {
        PyObject* items = sequence_.get();
        const Py_ssize_t size = PyList_CheckExact(items) ? PyList_GET_SIZE(items) : PyTuple_GET_SIZE(items);
        if (index_ >= size) {
            return false;
        }
        item = Ref::borrow(PyList_CheckExact(items) ? PyList_GET_ITEM(items, index_) : PyTuple_GET_ITEM(items, index_));
        ++index_;
    } else {
        item = Ref::steal(PyIter_Next(iterator_.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                raise_pending();
            }
            return false;
        }
    }
    // Unpack into exactly two values, as `for key, value in ...` does.
    PyObject* pair = item.get();
    if (PyTuple_CheckExact(pair) || PyList_CheckExact(pair)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(pair);
        if (size > 2) {
            raise_too_many();
        }
        if (size < 2) {
            raise_too_few(size);
        }
        key_ = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 0));
        value_ = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 1));
        return true;
    }
    Ref values = take(PyObject_GetIter(pair));
    Ref first = Ref::steal(PyIter_Next(values.get()));
    Ref second = first ? Ref::steal(PyIter_Next(values.get())) : Ref();
    if (!second) {
        if (PyErr_Occurred()) {
            raise_pending();
        }
        raise_too_few(first ? 1 : 0);
    }
    Ref extra = Ref::steal(PyIter_Next(values.get()));
    if (extra) {
        raise_too_many();
    }
    if (PyErr_Occurred()) {
        raise_pending();
    }
    key_ = std::move(first);
    value_ = std::move(second);
    return true;
}

}  // namespace frame
