// The module record (one per deliverable and process) and the create / exec
// steps of multi-phase initialisation.
#pragma once

#include "method.hpp"
#include "ref.hpp"

namespace frame {

// PyInit_<name> returns this: PyModuleDef_Init of the frame's static definition.
PyObject* module_init(const ModuleDef& def) noexcept;

// Valid once the exec step has begun.
const ModuleDef& module_def() noexcept;
PyObject* module_globals() noexcept;   // borrowed: the module's __dict__
PyObject* module_builtins() noexcept;  // borrowed: the builtins module's __dict__
PyObject* module_name() noexcept;      // borrowed: the dotted name as a str
PyObject* empty_tuple() noexcept;      // borrowed

// The code object made for a generator expression of the class table.
PyObject* generator_code(const GeneratorDef& def) noexcept;
// "<dotted>.<Class>.<owner>.<name>": the entry a failed creation carries.
const char* generator_create_name(const GeneratorDef& def) noexcept;
// "<Class>.<owner>.<locals>.<name>"
PyObject* generator_qualname(const GeneratorDef& def) noexcept;

}  // namespace frame
