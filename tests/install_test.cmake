# SPDX-License-Identifier: MIT
# Configures, builds and installs the program alone in WORK, with an absolute install folder for the
# CGI names and DESTDIR set, then fails unless the program and both names are installed as they
# must be and install_manifest.txt lists everything installed, so that removing what it lists
# leaves no file behind. It is built as an SDK that fortifies at a level of its own builds: with
# warnings as errors, the build must leave that level as it is. Run with -DSOURCE_DIR=... -DWORK=...
# -DGENERATOR=... -DC_COMPILER=... -DCXX_COMPILER=...

cmake_minimum_required(VERSION 3.25)

set(build ${WORK}/build)
set(stage ${WORK}/stage)
set(cgi_dir /srv/quadview/cgi-bin)
file(REMOVE_RECURSE ${WORK})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "${command} failed:\n${output}")
  endif()
endfunction()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build} -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DQUADVIEW_TESTS=OFF -DQUADVIEW_SIM=OFF -DQUADVIEW_CGI_DIR=${cgi_dir}
    -DQUADVIEW_WERROR=ON -DCMAKE_CXX_FLAGS=-D_FORTIFY_SOURCE=3)
run(${CMAKE_COMMAND} --build ${build} --target quadview)
run(${CMAKE_COMMAND} -E env DESTDIR=${stage} ${CMAKE_COMMAND} --install ${build} --prefix /usr)

if(IS_SYMLINK ${stage}${cgi_dir}/quadview OR NOT EXISTS ${stage}${cgi_dir}/quadview)
  message(FATAL_ERROR "the program is not installed as a file in ${stage}${cgi_dir}")
endif()
foreach(name getquadview.cgi setquadview.cgi)
  file(READ_SYMLINK ${stage}${cgi_dir}/${name} target)
  if(NOT target STREQUAL "quadview")
    message(FATAL_ERROR "${cgi_dir}/${name} is not a symbolic link to quadview")
  endif()
endforeach()

# The manifest names what was installed without DESTDIR.
file(STRINGS ${build}/install_manifest.txt listed)
list(TRANSFORM listed PREPEND ${stage})
file(GLOB_RECURSE installed LIST_DIRECTORIES false ${stage}/*)
foreach(path IN LISTS installed)
  if(NOT path IN_LIST listed)
    message(FATAL_ERROR "${path} was installed, but install_manifest.txt does not list it")
  endif()
endforeach()
file(REMOVE ${listed})
file(GLOB_RECURSE left LIST_DIRECTORIES false ${stage}/*)
if(left)
  message(FATAL_ERROR "removing what install_manifest.txt lists leaves ${left}")
endif()
file(REMOVE_RECURSE ${WORK})
