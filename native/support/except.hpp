// The three forms of `try: body() except Exception: ...`. Like the Python
// clause they catch exactly the exceptions derived from Exception: a C++
// exception counts as the MemoryError or SystemError the entry points
// would raise for it, and KeyboardInterrupt and SystemExit keep
// propagating.
#pragma once

#include "compat.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace tavrix {

// Runs `body` as `try: body() except Exception:` would: returns true when
// it ran to the end, false when it raised an exception derived from
// Exception (which is still set). Other exceptions keep propagating.
template <class Body>
bool run_except_exception(Body&& body) {
    try {
        body();
        return true;
    } catch (const error_already_set&) {
    } catch (...) {
        set_error_from_cpp_exception();
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error();
    return false;
}

// `try: body() except Exception: pass`. Returns true when the body ran to
// the end.
template <class Body>
bool swallow_exceptions(Body&& body) {
    if (run_except_exception(body)) return true;
    PyErr_Clear();
    return false;
}

// `try: body() except Exception as exc: handler(exc)`: the exception is
// taken out of the thread state and handed to `handler` (which owns it).
// Returns true when the body ran to the end.
template <class Body, class Handler>
bool catch_exception(Body&& body, Handler&& handler) {
    if (run_except_exception(body)) return true;
    handler(compat::take_exception());
    return false;
}

}  // namespace tavrix
