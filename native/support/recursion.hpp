// The guard for native recursion over user data: every call of a native
// function by native code passes through one (but a leaf's, which nothing
// can recurse through), and so does a walk over nested lists that recurses
// without a call; a call from the interpreter, whose frames the interpreter
// counts, only has the stack's headroom checked. Too deep a nesting raises RecursionError, as the
// same Python code would, instead of running off the C stack.
//
// Two bounds apply. The interpreter's limits count frames (one depth
// counter per thread serves calls and walks), but a native frame is larger
// than an interpreter frame and a thread's stack can be far smaller than
// the main thread's (threading.stack_size), so the guard also measures the
// stack itself: below `stack_margin` bytes of headroom on the current
// thread's stack, it refuses to go deeper.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compat.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace tavrix {

namespace stack {

// The headroom a guard requires. It covers the deepest chain of native
// frames between two guards (a walk's frames, the calls back into the
// interpreter for a str's redaction or a mapping's get, and the
// interpreter's own frames under them) with room to spare: one level of
// the redaction walk takes about 0.7 KiB, 2 KiB in the sanitizer build.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t margin = 96 * 1024;
#else
inline constexpr std::size_t margin = 48 * 1024;
#endif

// The lowest usable address of the current thread's stack, or 0 when it
// cannot be known here; read once per thread (recursion.cpp).
[[nodiscard]] std::uintptr_t read_lowest_address() noexcept;

// The lowest usable address of the current thread's stack (0: unknown),
// read on a thread's first use and kept for the thread.
TAVRIX_ALWAYS_INLINE inline std::uintptr_t lowest_address() noexcept {
    struct bound {
        std::uintptr_t lowest = 0;
        bool known = false;
    };
    // Initial-exec: the modules are loaded once per process (one copy serves
    // every interpreter), and the general TLS model costs a call into the
    // dynamic loader per use.
    TAVRIX_TLS_INITIAL_EXEC thread_local bound thread_stack;
    if (!thread_stack.known) [[unlikely]] {
        thread_stack.lowest = read_lowest_address();
        thread_stack.known = true;
    }
    return thread_stack.lowest;
}

// Whether the current frame is within `margin` bytes of the end of its
// thread's stack.
TAVRIX_ALWAYS_INLINE inline bool nearly_exhausted() noexcept {
    const std::uintptr_t here = compat::frame_address();
    // Unsigned: a frame outside this thread's stack (a coroutine library's
    // own stack, or bounds that could not be read) wraps around or lies far
    // above, and is never refused.
    return here - lowest_address() < margin;
}

}  // namespace stack

// RecursionError "maximum recursion depth exceeded<where>".
[[noreturn]] TAVRIX_COLD TAVRIX_NOINLINE void raise_recursion_depth(const char* where);

class nesting_guard {
public:
    // `where` completes the message, as for Py_EnterRecursiveCall
    // (" while redacting a list").
    explicit nesting_guard(const char* where) {
        if (stack::nearly_exhausted()) [[unlikely]] raise_recursion_depth(where);
        if (Py_EnterRecursiveCall(where)) throw_error();
        // The interpreter's C-level limit can be far deeper than native frames
        // can afford on newer versions; the Python limit bounds them too.
        if (++depth() > Py_GetRecursionLimit()) {
            --depth();
            Py_LeaveRecursiveCall();
            raise_recursion_depth(where);
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
        TAVRIX_TLS_INITIAL_EXEC thread_local int levels = 0;
        return levels;
    }
};

}  // namespace tavrix
