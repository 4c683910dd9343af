#include "traceback.hpp"

#include "module.hpp"

#include <frameobject.h>

#include <map>
#include <utility>

namespace frame {

namespace {

// (function name, line) -> empty code object whose first line is that line.
// Keyed by name as well as line: two functions failing on the same line (a
// method and the generator expression inside it) must keep their own names.
// Names are static strings of the module tables, so their addresses are keys.
std::map<std::pair<const char*, int>, PyObject*> code_cache;

PyObject* code_for(const char* function_name, int line) {
    auto found = code_cache.find({function_name, line});
    if (found != code_cache.end()) {
        Py_INCREF(found->second);
        return found->second;
    }
    PyCodeObject* code = PyCode_NewEmpty(module_def().source_path, function_name, line);
    if (code == nullptr) {
        return nullptr;
    }
    if (line != 0) {
        Py_INCREF(code);
        code_cache.emplace(std::make_pair(function_name, line), reinterpret_cast<PyObject*>(code));
    }
    return reinterpret_cast<PyObject*>(code);
}

// Builds the frame of the entry.  PyFrame_New looks up __builtins__ in the
// globals and, with an exception pending, can fail without setting one, so
// the caller keeps the pending exception aside while this runs.
Ref entry_frame(const char* function_name, int line) {
    Ref code = Ref::steal(code_for(function_name, line));
    if (!code || module_globals() == nullptr) {
        return Ref();
    }
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                                       module_globals(), nullptr);
    return Ref::steal(reinterpret_cast<PyObject*>(frame));
}

}  // namespace

void add_traceback(const char* function_name, int line) noexcept {
    Ref frame;
    {
        ErrorStash pending;
        frame = entry_frame(function_name, line);
        PyErr_Clear();
    }
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace frame
