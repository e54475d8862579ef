# Cross-building the modules for Linux on aarch64 with Debian's cross
# toolchain (g++-aarch64-linux-gnu), against the arm64 interpreter's headers
# unpacked under TAVRIX_SYSROOT (.ci/aarch64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries (libpthread.so.0) from the cross toolchain's own C library, never
# the build machine's; programs (the host interpreter) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
