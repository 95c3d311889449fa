# What `cmake --install` adds to the program, and the Debian package that
# `cpack -G DEB` makes of the same files.

# The Apache snippet names the program by its installed path, so it is
# written at install time, once the prefix is known: one given to
# `cmake --install --prefix`, or /usr when CPack stages the package. Under
# /usr it goes where Debian's Apache keeps the snippets a2enconf enables.
install(CODE "set(PAGESTAMP_SNIPPET_TEMPLATE \"${CMAKE_CURRENT_SOURCE_DIR}/packaging/apache2/pagestamp.conf.in\")")
install(CODE [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(pagestamp_conf_dir "/etc/apache2/conf-available")
  else()
    set(pagestamp_conf_dir "${CMAKE_INSTALL_PREFIX}/etc/apache2/conf-available")
  endif()
  set(PAGESTAMP_CGI "${CMAKE_INSTALL_PREFIX}/lib/cgi-bin/pagestamp")
  set(pagestamp_conf "$ENV{DESTDIR}${pagestamp_conf_dir}/pagestamp.conf")
  message(STATUS "Installing: ${pagestamp_conf}")
  configure_file("${PAGESTAMP_SNIPPET_TEMPLATE}" "${pagestamp_conf}" @ONLY)
  file(CHMOD "${pagestamp_conf}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${pagestamp_conf}")
]])

set(CPACK_PACKAGE_NAME pagestamp)
set(CPACK_PACKAGE_VENDOR "pagestamp")
set(CPACK_PACKAGE_CONTACT "pagestamp maintainers <pagestamp@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "A CGI program that Apache runs from a server-side include to print a\n"
  "document's modification date, size or name into the page, formatted by a\n"
  "template such as %WL,+%ML+%DM,+%Y4.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_GENERATOR DEB)
# The snippet's path and contents depend on the prefix seen at install time:
# the package is staged with the real prefix, /usr, under DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "apache2")
# A webmaster's edits to the snippet survive upgrades.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/conffiles "/etc/apache2/conf-available/pagestamp.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/packaging/conffiles)
include(CPack)
