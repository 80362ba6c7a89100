# SPDX-License-Identifier: MIT
# Run by `cmake --install` (component program) after the program is in place: installs the two
# CGI names as relative symbolic links to it. They are worked out here, not when configuring,
# since `cmake --install --prefix` may change the prefix; QUADVIEW_CGI_DIR and the libexec folder
# are each under that prefix unless absolute. The links are made in the build folder and
# installed with file(INSTALL), which adds DESTDIR and lists them in install_manifest.txt.
# Set before including it: quadview_cgi_dir, quadview_program_dir, quadview_link_dir.

foreach(folder quadview_cgi_dir quadview_program_dir)
  if(IS_ABSOLUTE "${${folder}}")
    set(${folder}_full "${${folder}}")
  else()
    set(${folder}_full "${CMAKE_INSTALL_PREFIX}/${${folder}}")
  endif()
endforeach()
file(RELATIVE_PATH quadview_link_target "${quadview_cgi_dir_full}"
     "${quadview_program_dir_full}/quadview")

# A folder of this install's own: installs from one build folder may run side by side (the demo's
# smoke tests do).
string(RANDOM LENGTH 16 quadview_install_id)
set(quadview_links "${quadview_link_dir}/${quadview_install_id}")
file(MAKE_DIRECTORY "${quadview_links}")
foreach(cgi_name getquadview.cgi setquadview.cgi)
  file(CREATE_LINK "${quadview_link_target}" "${quadview_links}/${cgi_name}" SYMBOLIC)
endforeach()
file(INSTALL DESTINATION "${quadview_cgi_dir_full}" TYPE FILE FILES
     "${quadview_links}/getquadview.cgi" "${quadview_links}/setquadview.cgi")
file(REMOVE_RECURSE "${quadview_links}")
