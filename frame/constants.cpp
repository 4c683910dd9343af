#include "constants.hpp"

namespace frame {

namespace {
// Both lists are filled during static initialisation of the shared library,
// before the interpreter calls PyInit_*, and only read afterwards.
Str* registered_strs = nullptr;
KwNames* registered_kwnames = nullptr;
}  // namespace

Str::Str(const char* text) noexcept : text_(text), next_(registered_strs) {
    registered_strs = this;
}

int Str::intern_all() {
    for (Str* str = registered_strs; str != nullptr; str = str->next_) {
        if (str->obj_ == nullptr) {
            str->obj_ = PyUnicode_InternFromString(str->text_);
            if (str->obj_ == nullptr) {
                return -1;
            }
        }
    }
    return 0;
}

KwNames::KwNames(std::initializer_list<const Str*> names) noexcept : next_(registered_kwnames) {
    for (const Str* name : names) {
        names_[count_++] = name;
    }
    registered_kwnames = this;
}

int KwNames::build_all() {
    for (KwNames* kw = registered_kwnames; kw != nullptr; kw = kw->next_) {
        if (kw->tuple_ != nullptr) {
            continue;
        }
        PyObject* tuple = PyTuple_New(kw->count_);
        if (tuple == nullptr) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < kw->count_; ++i) {
            PyObject* name = kw->names_[i]->get();
            Py_INCREF(name);
            PyTuple_SET_ITEM(tuple, i, name);
        }
        kw->tuple_ = tuple;
    }
    return 0;
}

}  // namespace frame
