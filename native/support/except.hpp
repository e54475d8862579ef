// `try: body() except Exception as exc: handler(exc)`.
#pragma once

#include "compat.hpp"
#include "ref.hpp"

namespace tavrix {

// Runs `body`; when it raises an exception derived from Exception, the
// exception is taken out of the thread state and handed to `handler`
// (which owns it). Other exceptions (KeyboardInterrupt, SystemExit) keep
// propagating. Returns true when the body ran to the end.
template <class Body, class Handler>
bool catch_exception(Body&& body, Handler&& handler) {
    if (run_except_exception(body)) return true;
    handler(compat::take_exception());
    return false;
}

}  // namespace tavrix
