// The constexpr description a module hands to the frame: its class, the
// methods with their parameters, checks, annotation texts, docstrings, local
// names and first lines, and the bodies the frame calls back into.
#pragma once

#include "ref.hpp"

#include <span>

namespace frame {

class Scope;
struct Resumable;

// What the binding wrapper checks before a body runs.
enum class Check : unsigned char {
    Any,             // not checked (Path, Any, unannotated)
    ExactStr,        // type(value) is str
    ExactStrOrNone,  // None, or type(value) is str
    ExactDict,       // type(value) is dict
    Int,             // exact int passes; other numbers become int(value)
};

struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored in __annotations__ as text
    Check check = Check::Any;
};

// A plain body gets one checked value per parameter (instance first, defaults
// filled in) and returns a new reference or throws PyError.
using MethodBody = Ref (*)(Scope& scope, PyObject* const* args);

// A plain body's frameless form (see leaf.hpp): the body's result for the
// arguments and objects it can vouch for, computed without any step that
// could let an observer see the frame it skips; nullptr, with nothing pending
// and nothing changed, for any other, and the call runs the body in its frame.
using LeafBody = PyObject* (*)(PyObject* const* args) noexcept;

// A resumable body runs from co.resume_point() with the value sent in (or
// nullptr when an exception is to be raised at that point).  It returns the
// final result, or suspends through Resumable::await and returns an empty Ref.
using ResumeBody = Ref (*)(Resumable& co, Scope& scope, PyObject* sent);

enum class Kind : unsigned char {
    Method,     // an ordinary function in the class namespace
    Property,   // bound as property(getter)
    Coroutine,  // calling it returns a coroutine running `resume`
};

struct MethodDef {
    const char* name;
    Kind kind;
    std::span<const Param> params;  // positional parameters, instance first
    std::span<const Param> kwonly;  // keyword-only parameters, all required
    int defaults;                   // trailing positional parameters defaulting to None
    const char* returns;            // return annotation text, or nullptr
    const char* doc;                // docstring, or nullptr for None
    std::span<const char* const> locals;  // local names after the parameters
    int first_line;
    int last_line;                  // the last line the body reports
    MethodBody body = nullptr;      // Method, Property
    ResumeBody resume = nullptr;    // Coroutine: its locals start with the parameters
    LeafBody leaf = nullptr;        // Method: the body's frameless form, if it has one
};

// A generator expression inside a method; created by new_generator().
struct GeneratorDef {
    const char* name;                      // "genexpr"
    const char* owner;                     // the enclosing method's name
    std::span<const char* const> locals;   // its locals (no parameters)
    int first_line;
    int last_line;
    ResumeBody resume;
};

struct ClassDef {
    const char* name;
    const char* doc;
    int line;  // the class statement
    std::span<const MethodDef> methods;
    std::span<const GeneratorDef> generators;
};

struct ModuleDef {
    const char* name;         // "login_vault"
    const char* dotted_name;  // "tarnix.auth.storage.login_vault"
    const char* source_path;  // "tarnix/auth/storage/login_vault"
    const char* doc;
    std::span<const char* const> init_builtins;  // builtins looked up before the body runs
    void (*body)(Scope& scope);                  // module-level statements, in order
    ClassDef cls;
};

}  // namespace frame
