#include "binding.hpp"

namespace frame {

namespace {

Str subclass_note{
    "Subclasses of built-in types are not accepted here: pass an exact instance of the built-in type."};
Str no_text{""};

[[noreturn]] void raise_count(const MethodDef& def, const char* bound, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name, bound,
                 expected, expected == 1 ? "" : "s", given);
    raise_pending();
}

[[noreturn]] void raise_missing_keyword_only(const MethodDef& def, const Param& param) {
    PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", def.name, param.name);
    raise_pending();
}

// Keyword names are interned by the compiler, so a pointer comparison finds
// nearly every match; content comparison covers names built at run time, and
// str subclasses compare with their own ==.
bool same_name(PyObject* keyword, PyObject* parameter) {
    if (keyword == parameter) {
        return true;
    }
    if (PyUnicode_CheckExact(keyword)) {
        return PyUnicode_Compare(keyword, parameter) == 0;
    }
    return ok(PyObject_RichCompareBool(keyword, parameter, Py_EQ)) != 0;
}

const Param& param_at(const MethodDef& def, Py_ssize_t index) {
    const auto positional = static_cast<Py_ssize_t>(def.params.size());
    return index < positional ? def.params[index] : def.kwonly[index - positional];
}

Py_ssize_t find_parameter(PyObject* const* names, Py_ssize_t total, PyObject* keyword) {
    for (Py_ssize_t index = 0; index < total; ++index) {
        if (keyword == names[index]) {
            return index;
        }
    }
    for (Py_ssize_t index = 0; index < total; ++index) {
        if (same_name(keyword, names[index])) {
            return index;
        }
    }
    return -1;
}

void bind_keywords(const MethodDef& def, PyObject* const* names, PyObject* const* values, Py_ssize_t nargs,
                   PyObject* kwnames, BoundArgs& bound) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
            raise_pending();
        }
        const Py_ssize_t index = find_parameter(names, bound.count, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, keyword);
            raise_pending();
        }
        if (index < nargs || bound.values[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, keyword);
            raise_pending();
        }
        bound.values[index] = values[nargs + k];
    }
}

[[noreturn]] void raise_incorrect_type(const Param& param, const char* expected, PyTypeObject* expected_type,
                                       PyObject* value) {
    const bool subclass = PyObject_TypeCheck(value, expected_type);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
                 param.name, expected, Py_TYPE(value)->tp_name, subclass ? ". " : "",
                 subclass ? subclass_note.get() : no_text.get());
    raise_pending();
}

void convert_int(const Param& param, BoundArgs& bound, Py_ssize_t index) {
    PyObject* value = bound.values[index];
    if (PyLong_CheckExact(value)) {
        return;
    }
    if (!PyNumber_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     param.name, "int", Py_TYPE(value)->tp_name);
        raise_pending();
    }
    bound.converted[index] = take(PyNumber_Long(value));
    bound.values[index] = bound.converted[index].get();
}

void check_value(const Param& param, PyObject* value) {
    switch (param.check) {
        case Check::ExactStrOrNone:
            if (value == Py_None) {
                return;
            }
            [[fallthrough]];
        case Check::ExactStr:
            if (!PyUnicode_CheckExact(value)) {
                raise_incorrect_type(param, "str", &PyUnicode_Type, value);
            }
            return;
        case Check::ExactDict:
            if (!PyDict_CheckExact(value)) {
                raise_incorrect_type(param, "dict", &PyDict_Type, value);
            }
            return;
        case Check::Any:
        case Check::Int:
            return;
    }
}

// int conversions run first, then the other checks in parameter order.
void check_arguments(const MethodDef& def, BoundArgs& bound) {
    for (Py_ssize_t index = 0; index < bound.count; ++index) {
        const Param& param = param_at(def, index);
        if (param.check == Check::Int) {
            convert_int(param, bound, index);
        }
    }
    for (Py_ssize_t index = 0; index < bound.count; ++index) {
        check_value(param_at(def, index), bound.values[index]);
    }
}

}  // namespace

void bind_arguments(const MethodDef& def, PyObject* const* names, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& bound) {
    const auto positional = static_cast<Py_ssize_t>(def.params.size());
    const auto keyword_only = static_cast<Py_ssize_t>(def.kwonly.size());
    const Py_ssize_t required = positional - def.defaults;
    const char* exact_or_least = required == positional ? "exactly" : "at least";
    const char* exact_or_most = required == positional ? "exactly" : "at most";
    bound.count = positional + keyword_only;

    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        if (keyword_only > 0) {
            if (nargs == positional) {
                raise_missing_keyword_only(def, def.kwonly[0]);
            }
            raise_count(def, "exactly", positional, nargs);
        }
        if (nargs < required) {
            raise_count(def, exact_or_least, required, nargs);
        }
        if (nargs > positional) {
            raise_count(def, exact_or_most, positional, nargs);
        }
    } else {
        if (nargs > positional) {
            raise_count(def, exact_or_most, positional, nargs);
        }
        bind_keywords(def, names, args, nargs, kwnames, bound);
    }
    for (Py_ssize_t index = 0; index < nargs; ++index) {
        bound.values[index] = args[index];
    }
    // The count reported is the position of the first missing parameter, the
    // instance counted as position 0.
    for (Py_ssize_t index = nargs; index < required; ++index) {
        if (bound.values[index] == nullptr) {
            raise_count(def, exact_or_least, required, index);
        }
    }
    for (Py_ssize_t index = positional; index < bound.count; ++index) {
        if (bound.values[index] == nullptr) {
            raise_missing_keyword_only(def, def.kwonly[index - positional]);
        }
    }
    for (Py_ssize_t index = required; index < positional; ++index) {
        if (bound.values[index] == nullptr) {
            bound.values[index] = Py_None;
        }
    }
    check_arguments(def, bound);
}

}  // namespace frame
