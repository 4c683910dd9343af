#include "module.hpp"

#include "constants.hpp"
#include "coroutine.hpp"
#include "function.hpp"
#include "ops.hpp"
#include "scope.hpp"
#include "traceback.hpp"

#include <opcode.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace frame {

namespace {

// Process-wide: the interpreter keeps the module, its class and functions for
// the life of the process, so the record is never destroyed (a static
// destructor running after finalisation must not touch Python objects).
struct Record {
    const ModuleDef* def = nullptr;
    PyModuleDef definition{};
    PyModuleDef_Slot slots[3]{};
    PyMethodDef no_functions[1]{};

    std::string init_trace_name;                   // "init <dotted>"
    std::vector<std::string> method_trace_names;   // "<dotted>.<Class>.<method>"
    std::vector<std::string> generator_create_names;

    std::int64_t interpreter_id = -1;
    Ref live;                   // the module, from exec phase 2 on
    PyObject* globals = nullptr;   // the live module's __dict__
    PyObject* builtins = nullptr;  // the builtins module's __dict__
    Ref name;
    Ref empty_tuple;
    Ref empty_bytes;
    Ref empty_str;
    std::vector<Ref> method_codes;
    std::vector<Ref> generator_codes;
    std::vector<Ref> generator_qualnames;
};

Record& record() {
    static Record* const instance = new Record;
    return *instance;
}

std::size_t generator_index(const GeneratorDef& def) {
    const auto& generators = record().def->cls.generators;
    return static_cast<std::size_t>(&def - generators.data());
}

// --- create step -----------------------------------------------------------

// Copies module_spec.<from> to module.<to>; a missing attribute is skipped.
void copy_spec_attribute(PyObject* module_spec, PyObject* module, const char* from, const char* to, bool skip_none) {
    PyObject* value = PyObject_GetAttrString(module_spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            raise_pending();
        }
        PyErr_Clear();
        return;
    }
    Ref owned = Ref::steal(value);
    if (skip_none && value == Py_None) {
        return;
    }
    ok(PyObject_SetAttrString(module, to, value));
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
    Record& r = record();
    const std::int64_t interpreter_id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (interpreter_id == -1) {
        return nullptr;
    }
    if (r.interpreter_id == -1) {
        r.interpreter_id = interpreter_id;
    } else if (r.interpreter_id != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (r.live) {
        return r.live.dup().release();
    }
    try {
        Ref name = take(PyObject_GetAttrString(module_spec, "name"));
        Ref module = take(PyModule_NewObject(name.get()));
        copy_spec_attribute(module_spec, module.get(), "loader", "__loader__", false);
        copy_spec_attribute(module_spec, module.get(), "origin", "__file__", false);
        copy_spec_attribute(module_spec, module.get(), "parent", "__package__", false);
        copy_spec_attribute(module_spec, module.get(), "submodule_search_locations", "__path__", true);
        return module.release();
    } catch (const PyError&) {
        return nullptr;
    }
}

// --- exec step -------------------------------------------------------------

// The bytecode of a function's code object is a placeholder that never runs,
// but its location table is what stack walkers read the current line from:
// faulthandler and the debuggers compute it from the unit the frame points
// at, never from a field a frame object keeps.  So there is one code unit per
// line from the first line to the last, a RESUME and then NOPs, each unit
// mapped to its line; a body shows line n by pointing its frame at unit
// n - first_line (Scope::at).  Where RESUME has inline cache units, every
// line has as many units as the RESUME with its caches: the first line those,
// each other line that many NOPs (kUnitsPerLine).  Should anyone execute the
// code, it runs to the trailing units and raises AssertionError.
struct LineCode {
    Ref bytecode;
    Ref linetable;
};

// One entry of the 3.11 location table: a unit count, no column data, and
// the line as a signed varint delta from the previous entry's line.
void add_location(std::string& table, int units, int line_delta) {
    constexpr int kNoColumns = 13;  // PY_CODE_LOCATION_INFO_NO_COLUMNS
    table.push_back(static_cast<char>(0x80 | (kNoColumns << 3) | (units - 1)));
    unsigned value = line_delta < 0 ? (static_cast<unsigned>(-line_delta) << 1) | 1 : static_cast<unsigned>(line_delta) << 1;
    while (value >= 64) {
        table.push_back(static_cast<char>(64 | (value & 63)));
        value >>= 6;
    }
    table.push_back(static_cast<char>(value));
}

LineCode line_code(int first_line, int last_line) {
    const int span = last_line - first_line;
    std::string bytecode;
    std::string table;
    bytecode += {static_cast<char>(RESUME), 0};
    for (int unit = 1; unit < kUnitsPerLine; ++unit) {
        bytecode += {static_cast<char>(CACHE), 0};
    }
    add_location(table, kUnitsPerLine, 0);
    for (int line = 1; line <= span; ++line) {
        for (int unit = 0; unit < kUnitsPerLine; ++unit) {
            bytecode += {static_cast<char>(NOP), 0};
        }
        add_location(table, kUnitsPerLine, 1);
    }
    bytecode.append(reinterpret_cast<const char*>(compat::kTrailingCode), sizeof(compat::kTrailingCode));
    add_location(table, compat::kTrailingUnits, 0);
    return {take(PyBytes_FromStringAndSize(bytecode.data(), static_cast<Py_ssize_t>(bytecode.size()))),
            take(PyBytes_FromStringAndSize(table.data(), static_cast<Py_ssize_t>(table.size())))};
}

Ref name_tuple(std::initializer_list<std::span<const char* const>> groups) {
    std::vector<Ref> names;
    for (auto group : groups) {
        for (const char* name : group) {
            names.push_back(take(PyUnicode_InternFromString(name)));
        }
    }
    Ref tuple = take(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), names[i].release());
    }
    return tuple;
}

Ref new_code(int argcount, int kwonly, Ref varnames, int flags, const char* name, int first_line, int last_line) {
    Record& r = record();
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames.get()));
    // A method's frame holds every local in a record of fixed size (compat::InterpreterFrame).
    if (nlocals > compat::kMaxFrameLocals || last_line < first_line) {
        PyErr_Format(PyExc_SystemError, "%s() has more locals or lines than its frame can show", name);
        raise_pending();
    }
    Ref filename = take(PyUnicode_FromString(r.def->source_path));
    Ref code_name = take(PyUnicode_InternFromString(name));
    const LineCode lines = line_code(first_line, last_line);
    PyObject* empty = r.empty_tuple.get();
    return take(reinterpret_cast<PyObject*>(compat::new_code(
        argcount, 0, kwonly, nlocals, 2, flags, lines.bytecode.get(), empty, empty, varnames.get(), empty, empty,
        filename.get(), code_name.get(), code_name.get(), first_line, lines.linetable.get(), r.empty_bytes.get())));
}

constexpr int kFunctionFlags = CO_OPTIMIZED | CO_NEWLOCALS;

void create_code_objects() {
    Record& r = record();
    const ClassDef& cls = r.def->cls;
    r.method_codes.clear();
    for (const MethodDef& method : cls.methods) {
        std::vector<const char*> params;
        for (const Param& param : method.params) {
            params.push_back(param.name);
        }
        for (const Param& param : method.kwonly) {
            params.push_back(param.name);
        }
        const int flags = kFunctionFlags | (method.kind == Kind::Coroutine ? CO_COROUTINE : 0);
        r.method_codes.push_back(new_code(static_cast<int>(method.params.size()),
                                          static_cast<int>(method.kwonly.size()), name_tuple({params, method.locals}),
                                          flags, method.name, method.first_line, method.last_line));
    }
    r.generator_codes.clear();
    r.generator_qualnames.clear();
    for (const GeneratorDef& generator : cls.generators) {
        r.generator_codes.push_back(new_code(0, 0, name_tuple({generator.locals}), kFunctionFlags | CO_GENERATOR,
                                             generator.name, generator.first_line, generator.last_line));
        r.generator_qualnames.push_back(
            take(PyUnicode_FromFormat("%s.%s.<locals>.%s", cls.name, generator.owner, generator.name)));
    }
}

PyObject* required_builtin(const char* name) {
    PyObject* value = PyDict_GetItemString(record().builtins, name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        raise_pending();
    }
    return value;
}

void build_class(Scope& scope) {
    Record& r = record();
    const ClassDef& cls = r.def->cls;
    scope.at(cls.line);
    Ref class_name = take(PyUnicode_InternFromString(cls.name));
    Ref class_doc = take(PyUnicode_FromString(cls.doc));
    Ref namespace_dict = new_dict();
    ok(PyDict_SetItemString(namespace_dict.get(), "__module__", r.name.get()));
    ok(PyDict_SetItemString(namespace_dict.get(), "__qualname__", class_name.get()));
    ok(PyDict_SetItemString(namespace_dict.get(), "__doc__", class_doc.get()));
    for (std::size_t i = 0; i < cls.methods.size(); ++i) {
        const MethodDef& method = cls.methods[i];
        scope.at(method.first_line);
        Ref function = new_function(method, r.method_codes[i].get(), r.method_trace_names[i].c_str());
        if (method.kind == Kind::Property) {
            function = call(required_builtin("property"), {function});
        }
        ok(PyDict_SetItemString(namespace_dict.get(), method.name, function.get()));
    }
    scope.at(cls.line);
    Ref type = call(reinterpret_cast<PyObject*>(&PyType_Type), {class_name, r.empty_tuple, namespace_dict});
    ok(PyDict_SetItem(r.globals, class_name.get(), type.get()));
}

// Warns (an error only under a filter that turns warnings into errors) when
// the running interpreter is not the major.minor version this module was
// compiled for.
void check_runtime_version() {
    const unsigned long compiled = PY_VERSION_HEX & 0xFFFF0000UL;
    if (Py_Version - compiled > 0xFFFFUL) {
        ok(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, record().def->dotted_name, "does not match",
                            static_cast<int>(Py_Version >> 24), static_cast<int>((Py_Version >> 16) & 0xFF)));
    }
}

// Refuses the import when an interpreter layout the frame reads is not
// where the running interpreter keeps it: the headers the module was built
// against may be those of an earlier patch release than the interpreter's.
void check_layouts() {
    const char* disagreement = nullptr;
    ok(compat::check_layouts(&disagreement));
    if (disagreement != nullptr) {
        // "3.12.9 (main, ...)": the release is the first word.
        const char* version = Py_GetVersion();
        const std::string running(version, std::strcspn(version, " "));
        PyErr_Format(PyExc_ImportError, "%s was built for CPython %s and cannot run on %s: %s",
                     record().def->dotted_name, PY_VERSION, running.c_str(), disagreement);
        raise_pending();
    }
}

void create_constants() {
    Record& r = record();
    ok(Str::intern_all());
    ok(KwNames::build_all());
    r.empty_tuple = take(PyTuple_New(0));
    r.empty_bytes = take(PyBytes_FromStringAndSize("", 0));
    r.empty_str = take(PyUnicode_FromStringAndSize("", 0));
    r.name = take(PyUnicode_InternFromString(r.def->dotted_name));
}

void register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemWithError(modules, record().name.get());
    if (present == nullptr) {
        if (PyErr_Occurred()) {
            raise_pending();
        }
        ok(PyDict_SetItem(modules, record().name.get(), module));
    }
}

int module_exec(PyObject* module) {
    Record& r = record();
    if (r.live) {
        if (r.live.get() == module) {
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", r.def->name);
        return -1;
    }
    Scope scope(r.def->dotted_name, 0);
    bool traced_phase = false;
    try {
        r.live = Ref::borrow(module);
        r.globals = PyModule_GetDict(module);
        Ref builtins_module = take(PyImport_ImportModule("builtins"));
        r.builtins = PyModule_GetDict(builtins_module.get());
        ok(PyObject_SetAttrString(module, "__builtins__", builtins_module.get()));
        check_runtime_version();
        check_layouts();
        create_constants();
        traced_phase = true;
        register_in_sys_modules(module);
        for (const char* name : r.def->init_builtins) {
            required_builtin(name);
        }
        ok(ready_function_type());
        ok(ready_resumable_types());
        create_code_objects();
        r.def->body(scope);
        build_class(scope);
        Ref test_dict = new_dict();
        ok(PyDict_SetItemString(r.globals, "__test__", test_dict.get()));
        return 0;
    } catch (const PyError&) {
        if (r.live) {
            if (traced_phase && r.globals != nullptr) {
                add_traceback(r.init_trace_name.c_str(), scope.line());
            }
            r.live.reset();
            r.globals = nullptr;
        }
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, r.init_trace_name.c_str());
        }
        return -1;
    }
}

void prepare_record(const ModuleDef& def) {
    Record& r = record();
    r.def = &def;
    const std::string dotted = def.dotted_name;
    const std::string class_prefix = dotted + "." + def.cls.name + ".";
    r.init_trace_name = "init " + dotted;
    for (const MethodDef& method : def.cls.methods) {
        r.method_trace_names.push_back(class_prefix + method.name);
    }
    for (const GeneratorDef& generator : def.cls.generators) {
        r.generator_create_names.push_back(class_prefix + generator.owner + "." + generator.name);
    }
    r.slots[0] = {Py_mod_create, reinterpret_cast<void*>(module_create)};
    r.slots[1] = {Py_mod_exec, reinterpret_cast<void*>(module_exec)};
    r.slots[2] = {0, nullptr};
    r.definition = {
        PyModuleDef_HEAD_INIT, def.name, def.doc, 0, r.no_functions, r.slots, nullptr, nullptr, nullptr,
    };
}

}  // namespace

PyObject* module_init(const ModuleDef& def) noexcept {
    if (record().def == nullptr) {
        prepare_record(def);
    }
    return PyModuleDef_Init(&record().definition);
}

const ModuleDef& module_def() noexcept {
    return *record().def;
}

PyObject* module_globals() noexcept {
    return record().globals;
}

PyObject* module_builtins() noexcept {
    return record().builtins;
}

PyObject* module_name() noexcept {
    return record().name.get();
}

PyObject* empty_tuple() noexcept {
    return record().empty_tuple.get();
}

PyObject* generator_code(const GeneratorDef& def) noexcept {
    return record().generator_codes[generator_index(def)].get();
}

const char* generator_create_name(const GeneratorDef& def) noexcept {
    return record().generator_create_names[generator_index(def)].c_str();
}

PyObject* generator_qualname(const GeneratorDef& def) noexcept {
    return record().generator_qualnames[generator_index(def)].get();
}

}  // namespace frame
