# SPDX-License-Identifier: MIT
# The demo's tour through each web server of servers/servers.tsv, as a smoke test of the demo
# itself (tests/e2e/servers_test.cpp checks the servers' answers): it serves the installed program,
# with the simulated camera on a private bus. Skipped when a tool is missing. Each takes a free
# port of its own, so they run side by side. Not for cross builds: the web server would run the
# target's program.
if(NOT CMAKE_CROSSCOMPILING)
  # The servers' names, as scripts/lib.sh reads them from the table.
  execute_process(COMMAND bash -c ". scripts/lib.sh && server_column name"
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE servers COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "[^\n]+" servers "${servers}")
  foreach(server IN LISTS servers)
    add_test(NAME demo_${server}
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/demo --once --server ${server}
              --build-dir ${PROJECT_BINARY_DIR})
    set_tests_properties(demo_${server} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS demo
      ${quadview_takes_a_cpu})
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/servers/servers.tsv)
endif()
