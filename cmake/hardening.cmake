# SPDX-License-Identifier: MIT
# What the compiler and the linker add to every program and library of the directory that includes
# this file (and of its subdirectories), so that the product is hardened as firmware checkers expect
# and as a distribution builds its own packages:
#   -fstack-protector-strong      a canary in every function with a local array or address taken
#   -D_FORTIFY_SOURCE=2           checked variants of the C library's string and I/O calls, where
#                                 optimising (the checks need it) and the caller set no level
#   -fstack-clash-protection      the stack grows a page at a time, so it cannot jump its guard
#   -fcf-protection               x86_64 only: indirect branches land on marked places
#   -fPIE, -pie                   a position-independent executable, loaded at a random address
#   -z relro -z now               relocations resolved at start and made read-only (full RELRO)
#   -z noexecstack                a stack that holds no code
# Each only where the compiler or linker takes it, so that an older SDK compiler still builds the
# program, with less. QUADVIEW_HARDENING=OFF leaves all of it to the caller's own flags, for SDKs
# that set their own. The simulator, the tests and the benchmark's floors get the same, so that
# whatever is measured beside the program is built as the program is.
#
# Whatever the setting, paths of the source and build folders are written as "." into what the
# compiler makes, so that two builds of the same commit in different folders are the same program.
#
# Included by the top-level CMakeLists.txt and by bench/CMakeLists.txt (for the floors); the checks'
# results are cached, so the second include costs nothing.

include(CheckCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

option(QUADVIEW_HARDENING
  "Harden every program: stack protector, fortified calls, PIE, full RELRO, non-executable stack"
  ON)

get_property(quadview_languages GLOBAL PROPERTY ENABLED_LANGUAGES)
list(REMOVE_ITEM quadview_languages NONE)

# Adds FLAG to the compile options of LANGUAGE when its compiler takes it.
function(quadview_add_compile_flag language flag)
  string(MAKE_C_IDENTIFIER "QUADVIEW_${language}_TAKES${flag}" result)
  check_compiler_flag(${language} "${flag}" ${result})
  if(${result})
    add_compile_options("$<$<COMPILE_LANGUAGE:${language}>:${flag}>")
  endif()
endfunction()

# The repository's folder, whichever project includes this file, then the build folder (a build
# folder inside the repository is mapped as a whole: the later map wins).
cmake_path(GET CMAKE_CURRENT_LIST_DIR PARENT_PATH quadview_source_dir)
foreach(language IN LISTS quadview_languages)
  check_compiler_flag(${language} -ffile-prefix-map=/=. QUADVIEW_${language}_TAKES_FILE_PREFIX_MAP)
  if(QUADVIEW_${language}_TAKES_FILE_PREFIX_MAP)
    add_compile_options(
      "$<$<COMPILE_LANGUAGE:${language}>:-ffile-prefix-map=${quadview_source_dir}=.>"
      "$<$<COMPILE_LANGUAGE:${language}>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=.>")
  endif()
endforeach()

if(QUADVIEW_HARDENING)
  # The last -O of the caller's flags and the build type's decides whether the build optimises;
  # a level of _FORTIFY_SOURCE that the caller set, higher or lower, stays as it is.
  string(TOUPPER "${CMAKE_BUILD_TYPE}" quadview_build_type)
  set(quadview_fortify ON)
  foreach(language IN LISTS quadview_languages)
    set(flags "${CMAKE_${language}_FLAGS} ${CMAKE_${language}_FLAGS_${quadview_build_type}}")
    string(REGEX MATCHALL "(^| )-O[^ ]*" levels "${flags}")
    list(POP_BACK levels level)
    if(NOT level OR level MATCHES "-O0$" OR flags MATCHES "_FORTIFY_SOURCE")
      set(quadview_fortify OFF)
    endif()
  endforeach()
  # The sanitizers check more than the fortified calls do, and would not see into them.
  if(QUADVIEW_SANITIZE OR QUADVIEW_FUZZ)
    set(quadview_fortify OFF)
  endif()
  if(quadview_fortify)
    add_compile_definitions(_FORTIFY_SOURCE=2)
  endif()

  foreach(language IN LISTS quadview_languages)
    quadview_add_compile_flag(${language} -fstack-protector-strong)
    quadview_add_compile_flag(${language} -fstack-clash-protection)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
      quadview_add_compile_flag(${language} -fcf-protection)
    endif()
  endforeach()

  # Executables and the static libraries linked into them are position-independent; shared
  # libraries and modules are already (CMake builds them with -fPIC).
  check_pie_supported(OUTPUT_VARIABLE quadview_pie_message LANGUAGES ${quadview_languages})
  set(quadview_type "$<TARGET_PROPERTY:TYPE>")
  set(quadview_pie_code "$<IN_LIST:${quadview_type},EXECUTABLE$<SEMICOLON>STATIC_LIBRARY>")
  set(quadview_pie_link "$<STREQUAL:${quadview_type},EXECUTABLE>")
  foreach(language IN LISTS quadview_languages)
    if(CMAKE_${language}_LINK_PIE_SUPPORTED)
      # The options are lists ("-fPIE;-pie"), kept whole inside the expressions.
      string(REPLACE ";" "$<SEMICOLON>" code "${CMAKE_${language}_COMPILE_OPTIONS_PIE}")
      string(REPLACE ";" "$<SEMICOLON>" link "${CMAKE_${language}_LINK_OPTIONS_PIE}")
      add_compile_options(
        "$<$<AND:$<COMPILE_LANGUAGE:${language}>,${quadview_pie_code}>:${code}>")
      add_link_options("$<$<AND:$<LINK_LANGUAGE:${language}>,${quadview_pie_link}>:${link}>")
    endif()
  endforeach()

  foreach(option relro now noexecstack)
    string(MAKE_C_IDENTIFIER "QUADVIEW_LINKER_TAKES_${option}" result)
    check_linker_flag(CXX "LINKER:-z,${option}" ${result})
    if(${result})
      add_link_options("LINKER:-z,${option}")
    endif()
  endforeach()
endif()
