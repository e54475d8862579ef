// The guard for native recursion over user data: every call of a native
// function passes through one, and so does a walk over nested lists that
// recurses without a call. Too deep a nesting raises RecursionError, as the
// same Python code would, instead of running off the C stack. One depth
// counter per thread serves both.
#pragma once

#include "errors.hpp"
#include "ref.hpp"

namespace tavrix {

class nesting_guard {
public:
    // `where` completes the message, as for Py_EnterRecursiveCall
    // (" while redacting a list").
    explicit nesting_guard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw_error();
        // The interpreter's C-level limit can be far deeper than native frames
        // can afford on newer versions; the Python limit bounds them too.
        if (++depth() > Py_GetRecursionLimit()) {
            --depth();
            Py_LeaveRecursiveCall();
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            throw_error();
        }
    }
    ~nesting_guard() {
        --depth();
        Py_LeaveRecursiveCall();
    }
    nesting_guard(const nesting_guard&) = delete;
    nesting_guard& operator=(const nesting_guard&) = delete;

private:
    static int& depth() noexcept {
        // Initial-exec: the modules are loaded once per process, and the
        // general TLS model costs a call into the dynamic loader per use.
        [[gnu::tls_model("initial-exec")]] thread_local int levels = 0;
        return levels;
    }
};

}  // namespace tavrix
