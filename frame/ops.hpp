// The Python-level operations method bodies are written with.  Each returns a
// new reference (or a plain value) and throws PyError with the Python
// exception set; none of them adds a traceback entry.
#pragma once

#include "compat.hpp"
#include "constants.hpp"
#include "ref.hpp"

namespace frame {

// --- names -----------------------------------------------------------------

// Module namespace, then builtins; neither: NameError "name '%U' is not defined".
// The value is cached against the dicts' version tags.
Ref global(Str& name);
void set_global(const Str& name, Arg value);

// `import a` / `import a.b`: binds the top-level package under `top`.
void import_bind(const Str& full_name, const Str& top);
// `from module import name, ...`: binds each name, in order.
void from_import_bind(const Str& module, std::initializer_list<const Str*> names);
// `from module import name` whose result a body keeps in a local.
Ref from_import(const Str& module, const Str& name);
// `import name` inside a function: the module, kept in a local.
Ref import_module(const Str& name);

// --- attributes and calls --------------------------------------------------

// The out-of-line halves of attr() and call_method() below.
Ref attr_lookup(Arg obj, const Str& name);
Ref call_method_lookup(Arg obj, const Str& name, Args args, Arg kwnames);
Ref exact_dict_get(PyObject* dict, Args args);
extern Str get_method_name;  // "get"

// obj.name.  An instance that keeps the attribute inline is read where the
// interpreter's own attribute cache reads it (compat.hpp); that test is
// inlined into every body, the lookup is not.
inline Ref attr(Arg obj, const Str& name) {
    if (PyObject* value = compat::inline_value(obj.get(), name.inline_slot)) {
        return Ref::borrow(value);
    }
    return attr_lookup(obj, name);
}

void set_attr(Arg obj, const Str& name, Arg value);

// Vectorcall; when kwnames is given, the last len(kwnames) args are its values.
Ref call(Arg callable, Args args = {}, Arg kwnames = nullptr);
// obj.name(*args) without creating a bound method.  An exact dict's get goes
// straight to the dict: its methods cannot be replaced, and the lookup raises
// what dict.get raises.
inline Ref call_method(Arg obj, const Str& name, Args args = {}, Arg kwnames = nullptr) {
    // Names are interned, so the method is recognised by pointer.
    if (name.get() == get_method_name.get() && PyDict_CheckExact(obj.get()) && kwnames.get() == nullptr &&
        (args.size() == 1 || args.size() == 2)) {
        return exact_dict_get(obj.get(), args);
    }
    return call_method_lookup(obj, name, args, kwnames);
}
// The same call where failing is an everyday outcome that an except clause
// handles: an empty Ref with the exception pending instead of a throw, which
// would cost more than most calls it guards.
Ref call_method_or_fail(Arg obj, const Str& name, Args args = {}, Arg kwnames = nullptr);

// obj.name(...) in the interpreter's order where the arguments can run code
// or fail (global lookups, attribute reads, calls): the method is looked up
// first, as the statement's LOAD_ATTR does, then the body evaluates the
// arguments, then calls.  call_method() above takes arguments already
// evaluated, so it serves only where they are locals and constants.
//     frame::Method get_password(keyring, py::get_password);
//     Ref service = frame::global(...);  ...
//     Ref raw = get_password({service, account});
class Method {
public:
    Method(Arg obj, const Str& name);
    Ref operator()(Args args = {}, Arg kwnames = nullptr) const;
    // As call_method_or_fail: an empty Ref with the exception pending.
    Ref call_or_fail(Args args = {}, Arg kwnames = nullptr) const;

private:
    PyObject* vectorcall(Args args, PyObject* kwnames) const;

    Ref callable_;
    Ref self_;  // the receiver, when callable_ is a function found on its type
};

// --- loops -----------------------------------------------------------------

// What the interpreter does where a loop jumps back: a signal that arrived
// meanwhile has its Python-level handler run now, and what that raises
// (KeyboardInterrupt for Ctrl-C) throws.
inline void check_signals() {
    if (compat::signal_pending() && PyErr_CheckSignals() < 0) {
        raise_pending();
    }
}

// --- values ----------------------------------------------------------------

// True, False and None by identity, anything else by PyObject_IsTrue.
bool truth(Arg obj);
Ref not_equal(Arg left, Arg right);
bool contains(Arg container, Arg item);  // `item in container`
// `text == constant` for an exact str and an interned constant.
bool str_equals(Arg text, const Str& constant) noexcept;
// isinstance(obj, type) for a built-in class: subclasses pass, and so does an
// object whose __class__ reports the class (a proxy); an error raised while
// reading __class__ throws.
bool is_instance(Arg obj, PyTypeObject* type);

Ref get_item(Arg obj, Arg key);
void set_item(Arg obj, Arg key, Arg value);
void del_item(Arg obj, Arg key);

Ref new_dict();
Ref bool_value(bool value) noexcept;

// An f-string replacement field without conversion or format specifier.
Ref format_value(Arg value);
// str + str; OverflowError "strings are too large to concat" past the limit.
Ref concat(Arg left, Arg right);
Ref true_divide(Arg left, Arg right);
Ref bit_or(Arg left, Arg right);

// The typed-value check: an exact dict or None passes, anything else raises
// TypeError "Expected dict, got <type name>".
Ref expect_dict_or_none(Ref value);

// Walks `mapping.items()` as `for key, value in mapping.items()` does, with
// the exact-dict fast path and its size check.
class ItemWalk {
public:
    explicit ItemWalk(Arg mapping);  // AttributeError for None
    // Advances to the next pair; false at the end.
    bool next();
    PyObject* key() const noexcept { return key_.get(); }
    PyObject* value() const noexcept { return value_.get(); }

private:
    Ref dict_;      // exact dict walked directly
    Py_ssize_t pos_ = 0;
    Py_ssize_t size_ = 0;
    Ref sequence_;  // items() result walked by index (list or tuple)
    Py_ssize_t index_ = 0;
    Ref iterator_;  // any other items() result
    Ref key_;
    Ref value_;
};

}  // namespace frame
