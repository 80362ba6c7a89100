# SPDX-License-Identifier: MIT
# Configures, builds and installs the program alone in WORK, with an absolute install folder for the
# CGI names, DESTDIR set and a prefix other than the configured one, then fails unless exactly the
# expected tree is installed (the program under libexec, the two names relative links to it, the
# data files), each component alone installs its own part, and install_manifest.txt lists
# everything installed, so that removing what it lists leaves no file behind. It is built as an SDK that fortifies at a level of its own builds: with
# warnings as errors, the build must leave that level as it is. It is built without confinement
# (QUADVIEW_SANDBOX=OFF), against which the end-to-end tests' table of refusals (E2E_TESTS) must see
# every try succeed. Run with -DSOURCE_DIR=... -DWORK=... -DGENERATOR=... -DC_COMPILER=...
# -DCXX_COMPILER=... -DE2E_TESTS=...

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
    -DQUADVIEW_CGI_USER=camera-web -DQUADVIEW_WERROR=ON -DCMAKE_CXX_FLAGS=-D_FORTIFY_SOURCE=3
    -DQUADVIEW_SANDBOX=OFF)
run(${CMAKE_COMMAND} --build ${build} --target quadview)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env QUADVIEW_TEST_PROGRAM=${build}/quadview QUADVIEW_TEST_UNCONFINED=1
          ${E2E_TESTS} --gtest_filter=HostileTest.ReachesNothingButTheLayoutFolderAndTheBus
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT output MATCHES "\\[  PASSED  \\] 1 test\\.")
  message(FATAL_ERROR "the table of refusals, unconfined:\n${output}")
endif()

# Every path installed under `root`, a link as "PATH -> TARGET", sorted.
function(installed_tree root result)
  file(GLOB_RECURSE paths LIST_DIRECTORIES false RELATIVE ${root} ${root}/*)
  set(tree "")
  foreach(path IN LISTS paths)
    if(IS_SYMLINK ${root}/${path})
      file(READ_SYMLINK ${root}/${path} target)
      string(APPEND path " -> ${target}")
    endif()
    list(APPEND tree ${path})
  endforeach()
  list(SORT tree)
  set(${result} "${tree}" PARENT_SCOPE)
endfunction()

set(program usr/libexec/quadview/quadview)
set(program_files ${program})
foreach(name getquadview.cgi setquadview.cgi)
  list(APPEND program_files "srv/quadview/cgi-bin/${name} -> ../../../usr/libexec/quadview/quadview")
endforeach()
set(schema_files usr/share/quadview/quadview.xsd)
set(bus-policy_files usr/share/dbus-1/system.d/quadview.conf)
foreach(component program schema bus-policy)
  file(REMOVE_RECURSE ${WORK}/${component})
  run(${CMAKE_COMMAND} -E env DESTDIR=${WORK}/${component}
      ${CMAKE_COMMAND} --install ${build} --prefix /usr --component ${component})
  installed_tree(${WORK}/${component} tree)
  list(SORT ${component}_files)
  if(NOT tree STREQUAL ${component}_files)
    message(FATAL_ERROR "the component ${component} installs\n  ${tree}\nnot\n  ${${component}_files}")
  endif()
  list(APPEND all_files ${${component}_files})
endforeach()

run(${CMAKE_COMMAND} -E env DESTDIR=${stage} ${CMAKE_COMMAND} --install ${build} --prefix /usr)
installed_tree(${stage} tree)
list(SORT all_files)
if(NOT tree STREQUAL all_files)
  message(FATAL_ERROR "the install holds\n  ${tree}\nnot\n  ${all_files}")
endif()
if(IS_SYMLINK ${stage}/${program} OR NOT EXISTS ${stage}/${program})
  message(FATAL_ERROR "the program is not installed as a file")
endif()
# The bus policy is made out to the configured user.
file(READ ${stage}/${bus-policy_files} policy)
if(NOT policy MATCHES "<policy user=\"camera-web\">" OR policy MATCHES "@")
  message(FATAL_ERROR "the bus policy is not made out to the user camera-web:\n${policy}")
endif()

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
