# SPDX-License-Identifier: MIT
# Fails unless PROGRAM needs only GLib/GIO and the C library (its dynamic loader included) at run
# time: no C++ run-time library, no libgcc_s, nothing else. Run with -DPROGRAM=... -DREADELF=...
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
