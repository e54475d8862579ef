#include "recursion.hpp"

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace tavrix {

namespace stack {

std::uintptr_t read_lowest_address() noexcept {
#if defined(__linux__)
    // For a thread the library created, its stack block without the guard
    // page. For the main thread, whose stack the kernel grows on demand, the
    // C library reports the bound that growth may reach (the stack size
    // limit, cut short by the mapping below), not the part mapped so far.
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
    void* lowest = nullptr;
    std::size_t size = 0;
    const int status = pthread_attr_getstack(&attributes, &lowest, &size);
    pthread_attr_destroy(&attributes);
    if (status != 0) return 0;
    return reinterpret_cast<std::uintptr_t>(lowest);
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    const auto highest = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    return highest - pthread_get_stacksize_np(self);
#else
    // Unknown here: only the interpreter's limits apply.
    return 0;
#endif
}

}  // namespace stack

void raise_recursion_depth(const char* where) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    throw_error();
}

}  // namespace tavrix
