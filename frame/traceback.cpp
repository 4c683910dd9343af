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
// static strings of the module tables, so their addresses are keys.
//
// Each entry has a frame of its own, as each run of a Python function does: a
// debugger may change a frame it finds in one traceback (f_trace, f_locals,
// clear()), and no other traceback may see that.  Making a frame costs more
// than a refused call, so the last frame made at a place is kept, and is
// taken again only once nothing else holds it (compat::recycle_frame): the
// exception of a failed call is usually dropped before the next one.  The
// globals are kept with it because a failed exec drops the module and the
// next import brings a new namespace.
struct Site {
    PyObject* code = nullptr;     // owned for the process
    PyObject* frame = nullptr;    // owned: the last frame made here
    PyObject* globals = nullptr;  // borrowed: the frame holds it
};
std::map<std::pair<const char*, int>, Site> sites;

// A frame object over `code` with `globals` for a traceback entry; no code
// ever runs in it.  PyFrame_New looks up __builtins__ in the globals and
// takes an exception pending meanwhile for its own failure, so a pending one
// is kept aside while it runs.  Empty, with the failure pending in place of
// the kept exception, when no frame can be made.
Ref new_frame(PyObject* code, PyObject* globals) {
    ErrorStash pending;
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr)));
    if (!frame) {
        pending.drop();
    }
    return frame;
}

// Builds the frame of an entry over its code object (the site's, made once).
// The entry's exception stays pending whatever happens here: an entry that
// cannot be made is left out.
Ref new_entry_frame(const char* function_name, int line, PyObject* globals, Site* site) {
    ErrorStash pending;
    Ref code = site != nullptr && site->code != nullptr
                   ? Ref::borrow(site->code)
                   : Ref::steal(reinterpret_cast<PyObject*>(
                         PyCode_NewEmpty(module_def().source_path, function_name, line)));
    if (code && site != nullptr && site->code == nullptr) {
        site->code = code.dup().release();
    }
    Ref frame = code ? new_frame(code.get(), globals) : Ref();
    PyErr_Clear();
    return frame;
}

// The frame for an entry at a cached site: the kept one when nothing else
// holds it, else a new one that is kept in its place.
Ref site_frame(Site& site, const char* function_name, int line, PyObject* globals) {
    if (site.frame != nullptr && site.globals == globals && compat::recycle_frame(site.frame)) {
        return Ref::borrow(site.frame);
    }
    Ref frame = new_entry_frame(function_name, line, globals, &site);
    if (frame) {
        Py_XSETREF(site.frame, frame.dup().release());
        site.globals = globals;
    }
    return frame;
}

}  // namespace

void add_traceback(const char* function_name, int line) {
    PyObject* globals = module_globals();
    if (globals == nullptr) {
        return;
    }
    Ref frame;
    if (line == 0) {
        frame = new_entry_frame(function_name, line, globals, nullptr);  // line 0 is never cached
    } else {
        Site* site = nullptr;
        try {
            site = &sites[std::make_pair(function_name, line)];
        } catch (const std::bad_alloc&) {
        }
        frame = site != nullptr ? site_frame(*site, function_name, line, globals)
                                : new_entry_frame(function_name, line, globals, nullptr);
    }
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace frame
