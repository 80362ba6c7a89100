# SPDX-License-Identifier: MIT
# Shared by the cross toolchain files (toolchain-armhf.cmake, toolchain-arm64.cmake), which set
# before including it:
#   CMAKE_SYSTEM_PROCESSOR   the target processor
#   QUADVIEW_CROSS_TRIPLET   Debian's GNU triplet for it, the prefix of the cross compilers and the
#                            name of its multiarch folders
#   QUADVIEW_CROSS_QEMU      the qemu-user program that runs its programs on this machine
#   QUADVIEW_CROSS_NAME      Debian's name of the architecture (armhf, arm64)
# Cross-building with the Debian cross compilers and the target's libraries installed side by side
# with the native ones (multiarch; no sysroot).

set(CMAKE_SYSTEM_NAME Linux)

# Debian's cross compilers; without them, a message naming the package rather than CMake's own.
find_program(QUADVIEW_CROSS_CXX ${QUADVIEW_CROSS_TRIPLET}-g++)
find_program(QUADVIEW_CROSS_CC ${QUADVIEW_CROSS_TRIPLET}-gcc)
if(NOT QUADVIEW_CROSS_CXX OR NOT QUADVIEW_CROSS_CC)
  message(FATAL_ERROR
    "The cross compiler ${QUADVIEW_CROSS_TRIPLET}-g++ is not installed: install Debian's "
    "package g++-${QUADVIEW_CROSS_TRIPLET} (apt-get install g++-${QUADVIEW_CROSS_TRIPLET}), or "
    "run ./scripts/test --target ${QUADVIEW_CROSS_NAME}, which installs it.")
endif()
set(CMAKE_C_COMPILER ${QUADVIEW_CROSS_CC})
set(CMAKE_CXX_COMPILER ${QUADVIEW_CROSS_CXX})

# The multiarch folders: find_library and find_package look in /usr/lib/<triplet> (and its cmake/
# folder, where GoogleTest's package file is) and never in the native one.
set(CMAKE_LIBRARY_ARCHITECTURE ${QUADVIEW_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# On ARM, GCC adds a note to every by-value argument of a type holding a 64-bit member (a vector
# iterator over std::pair<gint64, int>, say) that GCC 7.1 changed how it is passed (on 64-bit ARM,
# GCC 9.1 for some aggregates). Everything here is built by the same compiler, so the notes carry
# nothing and would only bury warnings.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# pkg-config reads only the target's .pc files (the shared ones in /usr/share/pkgconfig too), never
# the native ones, whatever the caller's environment says.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${QUADVIEW_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# Tests run the target's programs through qemu-user (this machine has no binfmt handler for them).
# qemu starts the target's dynamic loader named in each program (/lib/ld-linux-armhf.so.3,
# /lib/ld-linux-aarch64.so.1), which then finds the target's libraries in their multiarch folders.
# No "-L /usr/<triplet>": that would load the cross compiler's own copy of the C library (a
# separate package, meant for linking) beneath the target's GLib, which works only while the two
# packages' versions match.
find_program(QUADVIEW_CROSS_EMULATOR ${QUADVIEW_CROSS_QEMU})
if(QUADVIEW_CROSS_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUADVIEW_CROSS_EMULATOR})
endif()
