// What lets the modules load on C libraries older than the one they were
// built with, down to glibc 2.28 (the manylinux_2_28 wheels), while they link
// the system's shared C++ runtime, which is the one copy the process has.
//
// Two names that newer headers make the code reference, and that older
// systems do not have, are defined here, local to the module (hidden):
//
// - __libc_single_threaded (glibc 2.32): the C++ runtime's headers (GCC 11
//   and later) read it to count shared_ptr references without atomic
//   operations while the process has one thread. Defined always false: the
//   counts are then always atomic, correct for any number of threads.
// - std::__throw_bad_array_new_length (libstdc++ of GCC 11, GLIBCXX_3.4.29):
//   what the headers' allocators call for a size that overflows. Defined as
//   what the runtime's own does: it throws std::bad_array_new_length.
//
// The pthread functions that moved in glibc 2.34 are bound to their older
// versions where they are called (recursion.cpp). No header of the C or C++
// library is included here, so that nothing declares these names otherwise
// in this file; `objdump -T` on a module shows what it needs of the system.
#if defined(__linux__)

namespace tavrix {
[[noreturn]] void throw_bad_array_new_length();  // errors.cpp
}

extern "C" {
[[gnu::visibility("hidden")]] char __libc_single_threaded = 0;
}

namespace std {
[[noreturn]] [[gnu::visibility("hidden")]] void __throw_bad_array_new_length();
void __throw_bad_array_new_length() { tavrix::throw_bad_array_new_length(); }
}  // namespace std

#endif
