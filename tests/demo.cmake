# The demo run as a test: lighttpd serves the built program through its installed CGI names,
# with the simulated camera on a private bus, and every answer is checked byte for byte.
# Needs lighttpd, curl and mount namespaces (root, or unprivileged user namespaces); it is
# skipped when a tool is missing. Not for cross builds: lighttpd would run the target's program.
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME demo
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/demo --once --build-dir ${PROJECT_BINARY_DIR})
  set_tests_properties(demo PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS demo)
endif()
