#include "traceback.hpp"

#include "module.hpp"

#include <frameobject.h>

#include <map>
#include <new>
#include <utility>

namespace frame {

namespace {

// A traceback entry reads code, globals and line from its frame.  A frame
// made over an empty code object whose first line is the entry's line gives
// that line without touching private frame fields, so one code object per
// (function name, line) serves every entry made there.  Keyed by name as well
// as line: two functions failing on the same line (a method and the
// generator expression inside it) must keep their own names.  Names are
// static strings of the module tables, so their addresses are keys.  Each
// entry gets a frame of its own, as each run of a Python function does: a
// debugger may change a frame it finds in one traceback (f_trace, f_locals,
// clear()), and no other traceback may see that.
std::map<std::pair<const char*, int>, PyObject*> code_cache;  // owned for the process

// The empty code object of an entry (a new reference), or nullptr with an
// exception set.
PyCodeObject* entry_code(const char* function_name, int line) {
    const auto key = std::make_pair(function_name, line);
    if (auto found = code_cache.find(key); found != code_cache.end()) {
        return reinterpret_cast<PyCodeObject*>(Py_NewRef(found->second));
    }
    PyCodeObject* code = PyCode_NewEmpty(module_def().source_path, function_name, line);
    if (code == nullptr || line == 0) {
        return code;  // line 0 is never cached; the caller owns the result
    }
    try {
        code_cache.emplace(key, reinterpret_cast<PyObject*>(code));
    } catch (const std::bad_alloc&) {
        return code;  // not cached: the caller owns it
    }
    Py_INCREF(code);  // the cache keeps one reference, the caller gets one
    return code;
}

// Builds the frame of an entry over its code object.  PyFrame_New looks up
// __builtins__ in the globals and, with an exception pending, can fail
// without setting one, so the pending exception is kept aside meanwhile.
Ref new_entry_frame(const char* function_name, int line, PyObject* globals) {
    ErrorStash pending;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(entry_code(function_name, line)));
    Ref frame;
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    }
    PyErr_Clear();
    return frame;
}

}  // namespace

void add_traceback(const char* function_name, int line) {
    PyObject* globals = module_globals();
    if (globals == nullptr) {
        return;
    }
    Ref frame = new_entry_frame(function_name, line, globals);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace frame
