# SPDX-License-Identifier: MIT
# What the program needs of the compiler, the C library and GLib, checked when configuring so that
# a toolchain that cannot build it stops here with a plain message, not half-way through the build
# or on the camera.

# The compiler: GCC 7 or Clang 5, the first versions with all of C++17. Both have the cleanup
# attribute that g_autoptr and g_autofree are made of; other compilers may lack it.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(quadview_compiler_minimum 7)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(quadview_compiler_minimum 5)
else()
  message(FATAL_ERROR
    "quadview needs GCC (7 or newer) or Clang (5 or newer), for C++17 and for the cleanup "
    "attribute behind g_autoptr; ${CMAKE_CXX_COMPILER} is ${CMAKE_CXX_COMPILER_ID}.")
endif()
if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS quadview_compiler_minimum)
  message(FATAL_ERROR
    "quadview needs ${CMAKE_CXX_COMPILER_ID} ${quadview_compiler_minimum} or newer for C++17; "
    "${CMAKE_CXX_COMPILER} is ${CMAKE_CXX_COMPILER_VERSION}.")
endif()

# Large files on every target: where off_t has 32 bits (32-bit ARM), stat() fails with EOVERFLOW on
# a file whose size or inode number needs more (overlayfs and XFS give such inode numbers), so
# the C library's 64-bit calls are taken. tests/check_runtime_dependencies.cmake checks the imports.
include(CheckTypeSize)
set(CMAKE_EXTRA_INCLUDE_FILES sys/types.h)
check_type_size(off_t QUADVIEW_SIZEOF_OFF_T LANGUAGE CXX)
unset(CMAKE_EXTRA_INCLUDE_FILES)
if(QUADVIEW_SIZEOF_OFF_T EQUAL 4)
  add_compile_definitions(_FILE_OFFSET_BITS=64)
endif()

# The C library: the calls and constants beyond ISO C that the program's code uses itself (what
# GLib uses was checked when GLib was built). Each entry is NAME:HEADER.
include(CheckCXXSymbolExists)
set(quadview_libc_missing "")
foreach(entry
    syslog:syslog.h
    open:fcntl.h
    fcntl:fcntl.h
    poll:poll.h
    read:unistd.h
    write:unistd.h
    close:unistd.h
    fsync:unistd.h
    fchown:unistd.h
    fstat:sys/stat.h
    stat:sys/stat.h
    fchmod:sys/stat.h
    listxattr:sys/xattr.h
    getxattr:sys/xattr.h
    fsetxattr:sys/xattr.h
    fremovexattr:sys/xattr.h
    shutdown:sys/socket.h
    dup2:unistd.h
    geteuid:unistd.h
    linkat:unistd.h
    unlinkat:unistd.h
    fstatat:sys/stat.h
    flock:sys/file.h
    realpath:stdlib.h
    sigaction:signal.h
    F_GETFD:fcntl.h
    O_CLOEXEC:fcntl.h
    O_NONBLOCK:fcntl.h
    O_NOCTTY:fcntl.h
    O_DIRECTORY:fcntl.h
    O_TMPFILE:fcntl.h
    AT_FDCWD:fcntl.h
    AT_SYMLINK_FOLLOW:fcntl.h
    AT_EMPTY_PATH:fcntl.h
    SIGPIPE:signal.h
    SIGHUP:signal.h)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 symbol)
  list(GET entry 1 header)
  check_cxx_symbol_exists(${symbol} ${header} QUADVIEW_LIBC_HAS_${symbol})
  if(NOT QUADVIEW_LIBC_HAS_${symbol})
    list(APPEND quadview_libc_missing "${symbol} (${header})")
  endif()
endforeach()
if(quadview_libc_missing)
  list(JOIN quadview_libc_missing ", " quadview_libc_missing)
  message(FATAL_ERROR "The C library lacks what the program calls: ${quadview_libc_missing}.")
endif()

# GLib: the oldest release whose API the program may use. Every compile of the program's own code
# sees it as GLIB_VERSION_MIN_REQUIRED and GLIB_VERSION_MAX_ALLOWED, so that anything newer is a
# warning (an error with QUADVIEW_WERROR). g_autoptr came with 2.44.
set(QUADVIEW_GLIB_FLOOR "2.44" CACHE STRING "Oldest GLib the program may use the API of (2.44 or newer)")
if(NOT QUADVIEW_GLIB_FLOOR MATCHES "^2\\.([0-9]+)$")
  message(FATAL_ERROR "QUADVIEW_GLIB_FLOOR is '${QUADVIEW_GLIB_FLOOR}'; give a GLib version such as 2.44.")
endif()
set(quadview_glib_minor ${CMAKE_MATCH_1})
math(EXPR quadview_glib_odd "${quadview_glib_minor} % 2")
if(quadview_glib_minor LESS 44 OR quadview_glib_odd)
  message(FATAL_ERROR
    "QUADVIEW_GLIB_FLOOR is ${QUADVIEW_GLIB_FLOOR}; it must be a stable GLib (an even minor "
    "number) no older than 2.44, which brought g_autoptr.")
endif()
set(QUADVIEW_GLIB_FLOOR_DEFINITIONS
  GLIB_VERSION_MIN_REQUIRED=GLIB_VERSION_2_${quadview_glib_minor}
  GLIB_VERSION_MAX_ALLOWED=GLIB_VERSION_2_${quadview_glib_minor})

# Called once pkg-config has found gio-2.0: its glibconfig.h must describe the target. A toolchain
# file that sets only the compilers leaves pkg-config finding this machine's GLib, and the build
# would fail half-way (a narrowing conversion to gint64, say) or make a broken program.
function(quadview_check_glib_target)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_INCLUDES ${GIO_INCLUDE_DIRS})
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles("
#include <glib.h>
static_assert(GLIB_SIZEOF_VOID_P == sizeof(void*), \"pointer size\");
static_assert(GLIB_SIZEOF_LONG == sizeof(long), \"long size\");
int main() { return 0; }" QUADVIEW_GLIB_FITS_TARGET)
  if(NOT QUADVIEW_GLIB_FITS_TARGET)
    unset(QUADVIEW_GLIB_FITS_TARGET CACHE)
    message(FATAL_ERROR
      "The GLib that pkg-config found (gio-2.0 ${GIO_VERSION}, headers in ${GIO_INCLUDE_DIRS}) is "
      "not built for the target: the sizes of a pointer and a long in its glibconfig.h "
      "(GLIB_SIZEOF_VOID_P, GLIB_SIZEOF_LONG) differ from ${CMAKE_CXX_COMPILER}'s. Point "
      "pkg-config at the SDK's sysroot, in the environment or the toolchain file: "
      "PKG_CONFIG_LIBDIR=<sysroot>/usr/lib/pkgconfig:<sysroot>/usr/share/pkgconfig and "
      "PKG_CONFIG_SYSROOT_DIR=<sysroot>, then configure a new build folder.")
  endif()
endfunction()
