# SPDX-License-Identifier: MIT
# The demo's tour through each web server of servers/servers.tsv, as a smoke test of the demo
# itself (tests/e2e/servers_test.cpp checks the servers' answers): it serves the installed program,
# with the simulated camera on a private bus. Skipped when a tool is missing. Each takes a free
# port of its own, so they run side by side. Not for cross builds: the web server would run the
# target's program.
if(NOT CMAKE_CROSSCOMPILING)
  file(STRINGS ${PROJECT_SOURCE_DIR}/servers/servers.tsv rows REGEX "^[^#]")
  # The first row names the columns.
  list(POP_FRONT rows columns)
  string(REPLACE "\t" ";" columns "${columns}")
  list(FIND columns name name_column)
  foreach(row IN LISTS rows)
    string(REPLACE "\t" ";" row "${row}")
    list(GET row ${name_column} server)
    add_test(NAME demo_${server}
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/demo --once --server ${server}
              --build-dir ${PROJECT_BINARY_DIR})
    set_tests_properties(demo_${server} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS demo
      ${quadview_takes_a_cpu})
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/servers/servers.tsv)
endif()
