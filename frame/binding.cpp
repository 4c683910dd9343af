#include "binding.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace frame {

namespace {

// Appended after the closing parenthesis when the value is of a subclass.
Str subclass_note{
    ". Subclasses of built-in types are not accepted here: pass an exact instance of the built-in type."};

// Binding failures are ordinary outcomes (a caller passing the wrong type),
// so this file reports them by return value: a C++ throw costs far more than
// the call it refuses.  Each helper returns false with the TypeError set.

bool fail_count(const MethodDef& def, const char* bound, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", def.name, bound,
                 expected, expected == 1 ? "" : "s", given);
    return false;
}

bool fail_missing_keyword_only(const MethodDef& def, const Param& param) {
    PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", def.name, param.name);
    return false;
}

// Keyword names are interned by the compiler, so a pointer comparison finds
// nearly every match; content comparison covers names built at run time, and
// str subclasses compare with their own ==.  1, 0, or -1 with an error set.
int same_name(PyObject* keyword, PyObject* parameter) {
    if (keyword == parameter) {
        return 1;
    }
    if (PyUnicode_CheckExact(keyword)) {
        return PyUnicode_Compare(keyword, parameter) == 0;
    }
    return PyObject_RichCompareBool(keyword, parameter, Py_EQ);
}

const Param& param_at(const MethodDef& def, Py_ssize_t index) noexcept {
    const auto positional = static_cast<Py_ssize_t>(def.params.size());
    return index < positional ? def.params[index] : def.kwonly[index - positional];
}

// The parameter index of `keyword`, -1 when none matches, -2 with an error set.
Py_ssize_t find_parameter(PyObject* const* names, Py_ssize_t total, PyObject* keyword) {
    for (Py_ssize_t index = 0; index < total; ++index) {
        if (keyword == names[index]) {
            return index;
        }
    }
    for (Py_ssize_t index = 0; index < total; ++index) {
        const int same = same_name(keyword, names[index]);
        if (same != 0) {
            return same > 0 ? index : -2;
        }
    }
    return -1;
}

bool bind_keywords(const MethodDef& def, PyObject* const* names, PyObject* const* values, Py_ssize_t nargs,
                   PyObject* kwnames, BoundArgs& bound) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
            return false;
        }
        const Py_ssize_t index = find_parameter(names, bound.count, keyword);
        if (index == -2) {
            return false;
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, keyword);
            return false;
        }
        if (index < nargs || bound.values[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, keyword);
            return false;
        }
        bound.values[index] = values[nargs + k];
    }
    return true;
}

// How many bytes at the end of text[0:length] are a multibyte character
// begun but not finished, which a stateful UTF-8 decoder keeps back for more
// input.  The decoder itself judges it, on the last few bytes only: a name
// that ends in ASCII, nearly every name, costs one compare.
std::size_t unfinished_character(const char* text, std::size_t length) noexcept {
    const auto byte = [text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    if (length == 0 || byte(length - 1) < 0x80) {
        return 0;
    }
    std::size_t start = length - 1;
    while (start > 0 && length - start < 4 && (byte(start) & 0xC0) == 0x80) {
        --start;
    }
    Py_ssize_t consumed = 0;
    Ref tail = Ref::steal(PyUnicode_DecodeUTF8Stateful(text + start, static_cast<Py_ssize_t>(length - start),
                                                       "replace", &consumed));
    if (!tail) {
        // Out of memory: the whole message's decode meets it again.
        PyErr_Clear();
        return 0;
    }
    return length - start - static_cast<std::size_t>(consumed);
}

// The text PyErr_Format makes of "...%.200s..." pieces, built by hand: the
// general formatter costs more than the whole refused call otherwise would.
// Each piece is cut at 200 bytes as %.200s cuts it, and the whole is decoded
// as UTF-8 with "replace", as %s decodes each piece; where the interpreter
// decodes a piece statefully, a character the cut splits is left out, as
// it is there, rather than becoming U+FFFD.
class Message {
public:
    // A literal of the format itself.
    template <std::size_t N>
    Message& literal(const char (&text)[N]) noexcept {
        return append(text, N - 1);
    }
    // A %.200s piece.
    Message& piece(const char* text) noexcept {
        std::size_t length = strnlen(text, 200);
        if (compat::kFormatKeepsBackCutCharacter) {
            length -= unfinished_character(text, length);
        }
        return append(text, length);
    }
    Ref text() const {
        return Ref::steal(PyUnicode_DecodeUTF8(buffer_, static_cast<Py_ssize_t>(used_), "replace"));
    }

private:
    Message& append(const char* text, std::size_t length) noexcept {
        length = std::min(length, sizeof(buffer_) - used_);
        std::memcpy(buffer_ + used_, text, length);
        used_ += length;
        return *this;
    }

    char buffer_[1024];
    std::size_t used_ = 0;
};

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U"
Ref incorrect_type_text(const Param& param, const char* expected, PyTypeObject* expected_type,
                        PyObject* value) {
    Message message;
    message.literal("Argument '").piece(param.name).literal("' has incorrect type (expected ").piece(expected);
    message.literal(", got ").piece(Py_TYPE(value)->tp_name).literal(")");
    Ref text = message.text();
    if (text && PyObject_TypeCheck(value, expected_type)) {
        text = Ref::steal(PyUnicode_Concat(text.get(), subclass_note.get()));
    }
    return text;
}

// The text of the last refusal, with the parameter and the type it names:
// code that passes a wrong type tends to do so again, the same way.  The type
// is held so its address cannot be reused, and its name is compared by
// content because assigning __name__ replaces it.  Lives for the process.
struct LastRefusal {
    const Param* param = nullptr;
    PyObject* type = nullptr;
    std::string type_name;
    PyObject* text = nullptr;
};
LastRefusal* last_refusal = nullptr;

[[gnu::noinline, gnu::cold]] bool fail_incorrect_type(const Param& param, const char* expected,
                                                      PyTypeObject* expected_type, PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    LastRefusal* last = last_refusal;
    if (last != nullptr && last->param == &param && last->type == reinterpret_cast<PyObject*>(type) &&
        last->type_name == type->tp_name) {
        PyErr_SetObject(PyExc_TypeError, last->text);
        return false;
    }
    Ref text = incorrect_type_text(param, expected, expected_type, value);
    if (!text) {
        return false;
    }
    PyErr_SetObject(PyExc_TypeError, text.get());
    try {
        if (last == nullptr) {
            last = last_refusal = new LastRefusal();
        }
        last->type_name = type->tp_name;
    } catch (const std::bad_alloc&) {
        return false;  // nothing is cached; the refusal itself stands
    }
    last->param = &param;
    Py_XSETREF(last->type, Py_NewRef(reinterpret_cast<PyObject*>(type)));
    Py_XSETREF(last->text, text.release());
    return false;
}

bool convert_int(const Param& param, BoundArgs& bound, Py_ssize_t index) {
    PyObject* value = bound.values[index];
    if (PyLong_CheckExact(value)) {
        return true;
    }
    if (!PyNumber_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     param.name, "int", Py_TYPE(value)->tp_name);
        return false;
    }
    bound.converted[index] = Ref::steal(PyNumber_Long(value));
    bound.values[index] = bound.converted[index].get();
    return bound.values[index] != nullptr;
}

inline bool check_value(const Param& param, PyObject* value) {
    if (passes_check(param.check, value)) {
        return true;
    }
    return param.check == Check::ExactDict ? fail_incorrect_type(param, "dict", &PyDict_Type, value)
                                           : fail_incorrect_type(param, "str", &PyUnicode_Type, value);
}

// int conversions run first, then the other checks in parameter order.
bool check_arguments(const MethodDef& def, BoundArgs& bound) {
    for (Py_ssize_t index = 0; index < bound.count; ++index) {
        const Param& param = param_at(def, index);
        if (param.check == Check::Int && !convert_int(param, bound, index)) {
            return false;
        }
    }
    for (Py_ssize_t index = 0; index < bound.count; ++index) {
        if (!check_value(param_at(def, index), bound.values[index])) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool takes_arguments_as_passed(const MethodDef& def) noexcept {
    for (const Param& param : def.params) {
        if (param.check == Check::Int) {
            return false;
        }
    }
    for (const Param& param : def.kwonly) {
        if (param.check == Check::Int) {
            return false;
        }
    }
    return true;
}

CheckList checks_of(const MethodDef& def) noexcept {
    CheckList checks;
    const auto total = static_cast<Py_ssize_t>(def.params.size() + def.kwonly.size());
    for (Py_ssize_t index = 0; index < total && index < kMaxParams; ++index) {
        const Param& param = param_at(def, index);
        if (param.check != Check::Any) {
            checks.entries[checks.count++] = {&param, index};
        }
    }
    return checks;
}

bool check_in_order(const CheckList& checks, PyObject* const* args) {
    for (int entry = 0; entry < checks.count; ++entry) {
        const CheckList::Entry& checked = checks.entries[entry];
        if (!check_value(*checked.param, args[checked.index])) {
            return false;
        }
    }
    return true;
}

// Out of line, so that what binding needs on the stack is gone before the
// body runs.
[[gnu::noinline]] bool bind_arguments(const MethodDef& def, PyObject* const* names, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames, BoundArgs& bound) {
    const auto positional = static_cast<Py_ssize_t>(def.params.size());
    const auto keyword_only = static_cast<Py_ssize_t>(def.kwonly.size());
    const Py_ssize_t required = positional - def.defaults;
    const char* exact_or_least = required == positional ? "exactly" : "at least";
    const char* exact_or_most = required == positional ? "exactly" : "at most";
    bound.count = positional + keyword_only;

    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        if (keyword_only > 0) {
            if (nargs == positional) {
                return fail_missing_keyword_only(def, def.kwonly[0]);
            }
            return fail_count(def, "exactly", positional, nargs);
        }
        if (nargs < required) {
            return fail_count(def, exact_or_least, required, nargs);
        }
        if (nargs > positional) {
            return fail_count(def, exact_or_most, positional, nargs);
        }
    } else {
        if (nargs > positional) {
            return fail_count(def, exact_or_most, positional, nargs);
        }
        if (!bind_keywords(def, names, args, nargs, kwnames, bound)) {
            return false;
        }
    }
    for (Py_ssize_t index = 0; index < nargs; ++index) {
        bound.values[index] = args[index];
    }
    // The count reported is the position of the first missing parameter, the
    // instance counted as position 0.
    for (Py_ssize_t index = nargs; index < required; ++index) {
        if (bound.values[index] == nullptr) {
            return fail_count(def, exact_or_least, required, index);
        }
    }
    for (Py_ssize_t index = positional; index < bound.count; ++index) {
        if (bound.values[index] == nullptr) {
            return fail_missing_keyword_only(def, def.kwonly[index - positional]);
        }
    }
    for (Py_ssize_t index = required; index < positional; ++index) {
        if (bound.values[index] == nullptr) {
            bound.values[index] = Py_None;
        }
    }
    return check_arguments(def, bound);
}

}  // namespace frame
