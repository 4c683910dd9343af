// Identifiers and constant strings of a module, interned once per process.
//
// A module file declares its names at namespace scope:
//     frame::Str get_password{"get_password"};
// Each Str links itself into a list at load time; the exec step interns them
// all before any module code runs, so bodies use them as plain borrowed
// pointers.  A Str used as a global name also carries that name's lookup
// cache (global() in ops.cpp), and one used as an attribute name its attribute
// cache (attr() in ops.cpp).
#pragma once

#include "compat.hpp"
#include "ref.hpp"

#include <cstdint>
#include <initializer_list>

namespace frame {

class Str {
public:
    explicit Str(const char* text) noexcept;
    Str(const Str&) = delete;
    Str& operator=(const Str&) = delete;

    PyObject* get() const noexcept { return obj_; }
    const char* text() const noexcept { return text_; }

    // Interns every registered Str that is not yet interned; -1 on failure.
    static int intern_all();

    // Global-lookup cache: the namespace and builtins version tags seen at the
    // last lookup and the (borrowed) value found then.
    std::uint64_t globals_tag = 0;
    std::uint64_t builtins_tag = 0;
    PyObject* cached_value = nullptr;

    // Attribute cache: where the instances last read through this name keep
    // it (see compat.hpp).  A cache, so it changes through a const Str.
    mutable compat::InlineSlot inline_slot;

private:
    const char* text_;
    PyObject* obj_ = nullptr;  // immortal for the process once interned
    Str* next_;
};

inline Arg::Arg(const Str& str) noexcept : obj_(str.get()) {}

// A tuple of keyword names for a vectorcall, built once at exec time.
class KwNames {
public:
    KwNames(std::initializer_list<const Str*> names) noexcept;
    KwNames(const KwNames&) = delete;
    KwNames& operator=(const KwNames&) = delete;

    PyObject* get() const noexcept { return tuple_; }
    Py_ssize_t size() const noexcept { return count_; }

    static int build_all();

private:
    const Str* names_[4] = {};
    Py_ssize_t count_ = 0;
    PyObject* tuple_ = nullptr;
    KwNames* next_;
};

inline Arg::Arg(const KwNames& names) noexcept : obj_(names.get()) {}

}  // namespace frame
