# 64-bit Arm Linux with Debian's cross compiler (g++-aarch64-linux-gnu).
# The Python headers are the target's own (Python_INCLUDE_DIR, and the
# folder of its per-architecture pyconfig.h with -idirafter in the flags).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
