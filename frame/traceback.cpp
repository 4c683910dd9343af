#include "traceback.hpp"

#include "module.hpp"

#include <frameobject.h>

#include <map>
#include <utility>

namespace frame {

namespace {

// A traceback only reads its frame (code, globals, line), so one frame per
// (function name, line) serves every entry made there; building one per entry
// would cost a function object and a frame object each time.  Keyed by name as
// well as line: two functions failing on the same line (a method and the
// generator expression inside it) must keep their own names.  Names are
// static strings of the module tables, so their addresses are keys.  The
// globals are kept with the frame because a failed exec drops the module and
// the next import brings a new namespace.
struct CachedFrame {
    PyObject* globals;  // borrowed: the frame holds it
    PyObject* frame;    // owned for the process
};
std::map<std::pair<const char*, int>, CachedFrame> frame_cache;

// Builds the frame of an entry: over an empty code object whose first line is
// `line`, so that PyFrame_GetLineNumber reports it.  PyFrame_New looks up
// __builtins__ in the globals and, with an exception pending, can fail without
// setting one, so the caller keeps the pending exception aside while this runs.
Ref new_entry_frame(const char* function_name, int line, PyObject* globals) {
    Ref code = Ref::steal(
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(module_def().source_path, function_name, line)));
    if (!code) {
        return Ref();
    }
    PyFrameObject* frame =
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr);
    return Ref::steal(reinterpret_cast<PyObject*>(frame));
}

// The frame for an entry (borrowed while cached, else owned by `made`), or
// nullptr when none can be made.
PyObject* entry_frame(const char* function_name, int line, Ref& made) {
    PyObject* globals = module_globals();
    if (globals == nullptr) {
        return nullptr;
    }
    const auto key = std::make_pair(function_name, line);
    auto found = frame_cache.find(key);
    if (found != frame_cache.end() && found->second.globals == globals) {
        return found->second.frame;
    }
    {
        ErrorStash pending;
        made = new_entry_frame(function_name, line, globals);
        PyErr_Clear();
    }
    if (!made || line == 0) {
        return made.get();
    }
    if (found != frame_cache.end()) {
        Py_DECREF(found->second.frame);
        frame_cache.erase(found);
    }
    frame_cache.emplace(key, CachedFrame{globals, made.dup().release()});
    return made.get();
}

}  // namespace

void add_traceback(const char* function_name, int line) {
    Ref made;
    PyObject* frame = entry_frame(function_name, line, made);
    if (frame != nullptr) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
    }
}

}  // namespace frame
