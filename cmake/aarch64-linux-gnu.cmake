# Cross-builds for arm64 with Debian's crossbuild-essential-arm64, and runs
# what it builds (tests, test discovery) under qemu's user-mode emulator:
#   cmake -S . -B build-arm64 -G Ninja --toolchain cmake/aarch64-linux-gnu.cmake
# The libraries the tests link (googletest, nss_wrapper) are Debian's arm64
# packages, installed beside the native ones by multiarch
# (bash scripts/install-deps.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The cross compiler's own tree first, then multiarch's arm64 libraries;
# never the native ones.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# What runs takes Debian's own arm64 loader, C library and C++ runtime
# (libc6:arm64, libstdc++6:arm64), not the cross compiler's copies in
# /usr/aarch64-linux-gnu: with qemu's -L there, its loader met multiarch's
# newer libc, and every child that fork() made hung.
find_program(PAGESTAMP_QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PAGESTAMP_QEMU_AARCH64})
