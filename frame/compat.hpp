// Everything the frame takes from outside CPython's stable public API, each
// with the reason it is needed.  Nothing else in frame/ touches private fields.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace frame::compat {

// The dict version tag changes on every modification of any dict and is never
// reused, so a cached global stays valid while the tags of the module
// namespace and the builtins are unchanged.  The field is public in 3.11's
// headers (cpython/dictobject.h) and has no accessor.
inline std::uint64_t dict_version(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

}  // namespace frame::compat
