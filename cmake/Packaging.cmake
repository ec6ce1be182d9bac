# What a Debian system gets: both programs, the man pages, the desktop entry and icon (installed
# with the window, src/app), and the simulators in /usr/lib/tolvane, out of the users' PATH but
# at hand for rehearsals. `cpack -G DEB` in the build directory makes the package.

# Man pages go in gzip-compressed, as Debian keeps them; -n leaves the time out, so the same
# page gives the same bytes.
set(TOLVANE_MAN_PAGES tolvane-cli lu-sim console-sim)
if(TARGET tolvane)
  list(APPEND TOLVANE_MAN_PAGES tolvane)
endif()
set(TOLVANE_MAN_OUTPUTS)
foreach(page ${TOLVANE_MAN_PAGES})
  set(out ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/man/${page}.1 > ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/man/${page}.1
    COMMENT "Compressing the man page ${page}.1"
    VERBATIM)
  list(APPEND TOLVANE_MAN_OUTPUTS ${out})
endforeach()
add_custom_target(tolvane_man ALL DEPENDS ${TOLVANE_MAN_OUTPUTS})
install(FILES ${TOLVANE_MAN_OUTPUTS} DESTINATION share/man/man1)
install(TARGETS lu-sim console-sim RUNTIME DESTINATION lib/tolvane)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VENDOR ZARN)
set(CPACK_PACKAGE_CONTACT "Tolvane developers <tolvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tool for the NVRAM of lift units")
set(CPACK_PACKAGE_DESCRIPTION
    "Tolvane reads, edits and writes back the 32-word NVRAM of a lift unit, directly over the V7 \
device link or through the dispatcher console program. The package holds the window (tolvane), \
the command-line tool (tolvane-cli) and, in /usr/lib/tolvane, simulators of the lift unit and \
of the console program.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are read from the programs' shared libraries by dpkg-shlibdeps (dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

# The package made, unpacked and run; needs everything built, as scripts/test.sh does.
if(TOLVANE_BUILD_TESTS)
  add_test(NAME package.deb COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/package-test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(package.deb PROPERTIES LABELS package TIMEOUT 300)
endif()
