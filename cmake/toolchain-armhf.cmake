# Cross-building for the camera's processor: 32-bit ARM, hard-float (Debian's armhf), with the
# Debian cross compilers and the armhf libraries installed side by side with the native ones
# (multiarch; no sysroot). Programs built here run on this machine under qemu-arm.
#
#   cmake -S . -B build-armhf --toolchain cmake/toolchain-armhf.cmake
#
# Needs: g++-arm-linux-gnueabihf, libglib2.0-dev:armhf, libgtest-dev:armhf (tests only),
# libstdc++6:armhf (tests only) and qemu-user (tests only); ./scripts/test --target armhf
# installs them.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QUADVIEW_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${QUADVIEW_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUADVIEW_CROSS_TRIPLET}-g++)

# The multiarch folders: find_library and find_package look in /usr/lib/arm-linux-gnueabihf (and
# its cmake/ folder, where GoogleTest's package file is) and never in the native one.
set(CMAKE_LIBRARY_ARCHITECTURE ${QUADVIEW_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# On ARM, GCC adds a note to every by-value argument of a type holding a 64-bit member (a vector
# iterator over std::pair<gint64, int>, say) that GCC 7.1 changed how it is passed. Everything
# here is built by the same compiler, so the notes carry nothing and would only bury warnings.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# pkg-config reads only the armhf .pc files (the shared ones in /usr/share/pkgconfig too), never
# the native ones, whatever the caller's environment says.
set(ENV{PKG_CONFIG_LIBDIR}
    "/usr/lib/${QUADVIEW_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
unset(ENV{PKG_CONFIG_SYSROOT_DIR})

# Tests run the ARM programs through qemu-arm (this machine has no binfmt handler for them).
# qemu-arm starts the ARM dynamic loader named in each program, /lib/ld-linux-armhf.so.3, which
# then finds the armhf libraries in their multiarch folders. No "-L /usr/arm-linux-gnueabihf":
# that would load the cross compiler's own copy of the C library (a separate package, meant for
# linking) beneath the armhf GLib, which works only while the two packages' versions match.
find_program(QUADVIEW_QEMU_ARM qemu-arm)
if(QUADVIEW_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUADVIEW_QEMU_ARM})
endif()
