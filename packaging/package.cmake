# The Debian package's test (packaging/package-test.sh): the package made from
# this build's jar and engine, installed on this machine, used as a person
# would, and purged. It needs root or sudo without a password, and is skipped
# (not failed) without.

if(NOT TARGET tambrino_cli_jar)
  return()
endif()
find_program(TAMBRINO_DPKG_DEB dpkg-deb)
find_program(TAMBRINO_LINTIAN lintian)
if(NOT TAMBRINO_DPKG_DEB OR NOT TAMBRINO_LINTIAN)
  message(WARNING "the Debian package's test is skipped: dpkg-deb or lintian is missing (run scripts/install-deps.sh)")
  return()
endif()
add_test(NAME package_install COMMAND ${CMAKE_SOURCE_DIR}/packaging/package-test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(package_install PROPERTIES LABELS package TIMEOUT 1200 SKIP_RETURN_CODE 77)
