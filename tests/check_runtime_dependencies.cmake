# Fails unless PROGRAM needs only GLib/GIO and the C library at run time: no C++ run-time library,
# no libgcc_s, nothing else. Run with -DPROGRAM=... -DREADELF=...
execute_process(
  COMMAND ${READELF} -d ${PROGRAM}
  OUTPUT_VARIABLE dynamic
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${READELF} -d ${PROGRAM} failed")
endif()

string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[([^]]+)\\]" entries "${dynamic}")
set(allowed "^(libgio-2\\.0|libgobject-2\\.0|libglib-2\\.0)\\.so\\.0$|^libc\\.so\\.6$")
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
