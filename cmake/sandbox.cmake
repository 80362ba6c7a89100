# SPDX-License-Identifier: MIT
# The program confines itself at start (src/cgi/sandbox.cpp): no new privileges, Landlock, and a
# seccomp filter for the target's architecture. The filter is made here, at build time, by
# cmake/seccomp_filter.c with libseccomp on the build machine, and compiled into the program, which
# then needs no libseccomp at run time and spends nothing on making it. A build machine without
# libseccomp (a firmware SDK) builds the program without the filter and says so here.
#
# Sets QUADVIEW_SECCOMP_HEADER to the generated header, or "" when there is no filter.

option(QUADVIEW_SANDBOX "The program confines itself at start (Landlock, seccomp)" ON)
set(QUADVIEW_SECCOMP_HEADER "")
if(NOT QUADVIEW_SANDBOX)
  message(STATUS "Confinement: off (QUADVIEW_SANDBOX=OFF)")
  return()
endif()

# libseccomp's names of the targets a filter is made for.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(quadview_seccomp_arch x86_64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(quadview_seccomp_arch aarch64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(quadview_seccomp_arch arm)
else()
  message(STATUS "Confinement: Landlock only; no seccomp filter for ${CMAKE_SYSTEM_PROCESSOR}")
  return()
endif()

# The filter's maker runs on the build machine, so a cross build compiles it with that machine's
# compiler.
if(CMAKE_CROSSCOMPILING)
  find_program(QUADVIEW_BUILD_CC NAMES cc gcc clang)
else()
  set(QUADVIEW_BUILD_CC ${CMAKE_C_COMPILER} CACHE FILEPATH "The build machine's C compiler")
endif()
set(quadview_seccomp_check ${CMAKE_CURRENT_BINARY_DIR}/seccomp-check)
file(WRITE ${quadview_seccomp_check}.c
  "#include <seccomp.h>\nint main(void) { return seccomp_init(SCMP_ACT_ALLOW) == 0; }\n")
if(QUADVIEW_BUILD_CC)
  execute_process(
    COMMAND ${QUADVIEW_BUILD_CC} ${quadview_seccomp_check}.c -lseccomp -o ${quadview_seccomp_check}
    RESULT_VARIABLE quadview_seccomp_result OUTPUT_QUIET ERROR_QUIET)
endif()
if(NOT QUADVIEW_BUILD_CC OR NOT quadview_seccomp_result EQUAL 0)
  message(WARNING
    "Confinement: Landlock only, without a seccomp filter: the build machine's C compiler "
    "(${QUADVIEW_BUILD_CC}) finds no libseccomp (Debian: libseccomp-dev).")
  return()
endif()

# LeakSanitizer stops the threads with ptrace at exit, which the filter otherwise refuses.
set(quadview_seccomp_options "")
if(QUADVIEW_SANITIZE)
  set(quadview_seccomp_options --leak-checker)
endif()
set(quadview_seccomp_maker ${CMAKE_CURRENT_BINARY_DIR}/seccomp-filter)
set(QUADVIEW_SECCOMP_HEADER ${CMAKE_CURRENT_BINARY_DIR}/generated/seccomp_filter.h)
add_custom_command(
  OUTPUT ${QUADVIEW_SECCOMP_HEADER}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/generated
  COMMAND ${QUADVIEW_BUILD_CC} -Wall -Wextra -Werror ${CMAKE_CURRENT_SOURCE_DIR}/cmake/seccomp_filter.c
          -lseccomp -o ${quadview_seccomp_maker}
  COMMAND ${quadview_seccomp_maker} ${quadview_seccomp_arch} ${QUADVIEW_SECCOMP_HEADER}
          ${quadview_seccomp_options}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/seccomp_filter.c
  COMMENT "Making the seccomp filters for ${quadview_seccomp_arch}"
  VERBATIM)
message(STATUS "Confinement: Landlock and a seccomp filter for ${quadview_seccomp_arch}")
