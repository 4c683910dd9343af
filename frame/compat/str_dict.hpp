// Lookups of an exact str in an exact dict whose keys are all exact str,
// inline where the frameless forms make them (once per element of a scan).
// The keys object is opaque in the public headers; its layout (pycore_dict.h)
// is the same from 3.11 to 3.15 in builds with the lock, and is mirrored
// here.  Every version's source file checks the mirror against its own
// internal headers field by field (compat/common.hpp).  Included by
// compat.hpp after the version's header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace frame::compat {

// struct _dictkeysobject, up to the hash table that starts its variable part.
struct StrDictKeys {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[];
};

// PyDictUnicodeEntry: the entries of a table of str keys, which keep no hash
// (each key's own cached hash serves).
struct StrDictEntry {
    PyObject* key;
    PyObject* value;
};

constexpr std::uint8_t kGeneralKeys = 0;  // DICT_KEYS_GENERAL: some key may not be an exact str
constexpr Py_ssize_t kEmptySlot = -1;     // DKIX_EMPTY: the probe ends here, key absent
constexpr int kPerturbShift = 5;          // dictobject.c's PERTURB_SHIFT

// The entry index in a slot of the hash table: one, two, four or eight
// bytes per slot by the table's size.
inline Py_ssize_t str_dict_index(const StrDictKeys* keys, std::size_t slot) noexcept {
    const int log2_size = keys->log2_size;
    if (log2_size < 8) {
        return reinterpret_cast<const std::int8_t*>(keys->indices)[slot];
    }
    if (log2_size < 16) {
        return reinterpret_cast<const std::int16_t*>(keys->indices)[slot];
    }
    if (log2_size >= 32) {
        return reinterpret_cast<const std::int64_t*>(keys->indices)[slot];
    }
    return reinterpret_cast<const std::int32_t*>(keys->indices)[slot];
}

// Two str of the same hash that are not the same object: equal by text, as
// the interpreter's unicode_eq compares them.
[[gnu::noinline]] inline bool same_text(PyObject* a, PyObject* b) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    return length == PyUnicode_GET_LENGTH(b) && kind == static_cast<int>(PyUnicode_KIND(b)) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * kind) == 0;
}

// A lookup of an exact str `key` in an exact dict: -1 when the dict holds a
// key that is not an exact str (whose __eq__ a lookup may call); otherwise
// 0, with *value the value (borrowed) or nullptr when the key is absent.
// Runs no code, allocates nothing, raises nothing.  Always inline: a scan
// makes one per element, and the call would cost a third of the probe.
//
// A table of str keys (kind DICT_KEYS_UNICODE or DICT_KEYS_SPLIT; the
// interpreter makes it general as soon as another key goes in) compares
// keys by identity, then by cached hash and text: never by a __eq__ of their
// own.  The probe is the interpreter's (dictobject.c,
// unicodekeys_lookup_unicode), where PyDict_GetItemWithError costs a call,
// a type test, a hash read and a dispatch on the kind before the same walk.
[[gnu::always_inline]] inline int lookup_str(PyObject* dict, PyObject* key, PyObject** value) noexcept {
    auto* mp = reinterpret_cast<PyDictObject*>(dict);
    const auto* keys = reinterpret_cast<const StrDictKeys*>(mp->ma_keys);
    if (keys->kind == kGeneralKeys) {
        return -1;
    }
    const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (hash == -1 || mp->ma_values != nullptr) [[unlikely]] {
        // A text not hashed yet, or a split table (values apart from the
        // keys): the interpreter's own lookup, which for these keys runs no
        // code either.
        *value = PyDict_GetItemWithError(dict, key);
        return 0;
    }
    const auto* entries =
        reinterpret_cast<const StrDictEntry*>(keys->indices + (std::size_t{1} << keys->log2_index_bytes));
    const std::size_t mask = (std::size_t{1} << keys->log2_size) - 1;
    std::size_t perturb = static_cast<std::size_t>(hash);
    std::size_t slot = perturb & mask;
    while (true) {
        const Py_ssize_t index = str_dict_index(keys, slot);
        if (index >= 0) {
            PyObject* candidate = entries[index].key;
            if (candidate == key ||
                (reinterpret_cast<PyASCIIObject*>(candidate)->hash == hash && same_text(candidate, key))) {
                *value = entries[index].value;
                return 0;
            }
        } else if (index == kEmptySlot) {
            *value = nullptr;
            return 0;
        }
        // A deleted entry's slot (DKIX_DUMMY) goes on probing, as a collision.
        perturb >>= kPerturbShift;
        slot = mask & (slot * 5 + perturb + 1);
    }
}

}  // namespace frame::compat
