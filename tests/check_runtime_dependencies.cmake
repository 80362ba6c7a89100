# SPDX-License-Identifier: MIT
# Fails unless PROGRAM needs only GLib/GIO and the C library (its dynamic loader included) at run
# time: no C++ run-time library, no libgcc_s, nothing else. Run with -DPROGRAM=... -DREADELF=...

cmake_minimum_required(VERSION 3.25)

execute_process(
  COMMAND ${READELF} -d ${PROGRAM}
  OUTPUT_VARIABLE dynamic
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${READELF} -d ${PROGRAM} failed")
endif()

string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[([^]]+)\\]" entries "${dynamic}")
# The C library's dynamic loader too: on ARM a stack protector's canary, __stack_chk_guard, is its.
set(allowed
  "^(libgio-2\\.0|libgobject-2\\.0|libglib-2\\.0)\\.so\\.0$|^libc\\.so\\.6$|^ld-linux-[a-z0-9_-]+\\.so\\.[0-9]+$")
set(count 0)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE ".*\\[([^]]+)\\]" "\\1" library "${entry}")
  math(EXPR count "${count} + 1")
  if(NOT library MATCHES "${allowed}")
    message(FATAL_ERROR "${PROGRAM} needs ${library} at run time")
  endif()
  message(STATUS "needs ${library}")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no NEEDED entries found in ${PROGRAM}")
endif()

# Built for a 32-bit target, the program must take the C library's calls with 64-bit file offsets
# and inode numbers (_FILE_OFFSET_BITS=64, cmake/platform.cmake): it imports none of the calls
# that have a 64-bit variant under their plain name.
execute_process(COMMAND ${READELF} -h -W --dyn-syms ${PROGRAM} OUTPUT_VARIABLE symbols)
if(symbols MATCHES "Class:[ ]+ELF32")
  string(REGEX MATCHALL " UND ([A-Za-z_0-9]+)" imports "${symbols}")
  list(TRANSFORM imports REPLACE " UND " "")
  set(large_file_calls open openat creat fopen lseek pread pwrite ftruncate truncate stat fstat lstat
      fstatat statfs fstatfs readdir mkstemp mmap fcntl)
  foreach(call IN LISTS large_file_calls)
    if(call IN_LIST imports)
      message(FATAL_ERROR "${PROGRAM} imports ${call}, which takes 32-bit file offsets: build it "
                          "with _FILE_OFFSET_BITS=64")
    endif()
  endforeach()
  list(FILTER imports INCLUDE REGEX "64$")
  message(STATUS "64-bit file calls: ${imports}")
endif()
