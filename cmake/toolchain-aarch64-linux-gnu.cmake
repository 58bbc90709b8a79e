# Cross build for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu). Test executables run under qemu-user with the
# cross sysroot, so ctest and test discovery work without binfmt support.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(MIRVO_AARCH64_SYSROOT /usr/aarch64-linux-gnu CACHE PATH "Target libraries for qemu-user")
find_program(MIRVO_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${MIRVO_QEMU_AARCH64} -L ${MIRVO_AARCH64_SYSROOT})

# Libraries and headers of the target only; programs of the host.
set(CMAKE_FIND_ROOT_PATH ${MIRVO_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
