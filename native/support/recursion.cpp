#include "recursion.hpp"

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif

#if defined(__GLIBC__)
// The wheels must load on C libraries as old as glibc 2.28 (manylinux_2_28),
// but glibc 2.34 moved the pthread functions into libc.so.6 and gave the two
// below new default versions there (pthread_attr_getstack@GLIBC_2.34,
// pthread_getattr_np@GLIBC_2.32), which a module built on a newer system
// would require. Their original versions are still exported, with the same
// code, for programs linked before the move, so the module binds those: on
// glibc 2.34 and later libc.so.6 has them, on older ones libpthread.so.0 does
// (the build names it as a needed library, CMakeLists.txt). Binding old
// versions keeps the one call that reads the bounds exactly, where reading
// them another way (/proc/self/maps, the resource limit) would be a second
// implementation of what the C library already knows, and would differ from
// it for the main thread. Architectures not listed bind the default versions,
// so their wheels need the C library they were built with.
#if defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif
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
