# What `cmake --install` adds to the program, and the Debian package that
# `cpack -G DEB` makes of the same files.

# The snippets and units name the program (and the responder's socket) by
# their installed paths, so they are written at install time, once the
# prefix is known: one given to `cmake --install --prefix`, or /usr when
# CPack stages the package. Under /usr they go where Debian keeps them.
set(PAGESTAMP_SOCKET /run/pagestamp.sock)
install(CODE "set(PAGESTAMP_TEMPLATES \"${CMAKE_CURRENT_SOURCE_DIR}/packaging\")
              set(PAGESTAMP_SOCKET \"${PAGESTAMP_SOCKET}\")")
install(CODE [[
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(etc "/etc")
    set(units "/lib/systemd/system")
  else()
    set(etc "${CMAKE_INSTALL_PREFIX}/etc")
    set(units "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  endif()
  set(PAGESTAMP_CGI "${CMAKE_INSTALL_PREFIX}/lib/cgi-bin/pagestamp")
  # template (under packaging/) and the directory it goes to
  set(pagestamp_files
    apache2/pagestamp.conf "${etc}/apache2/conf-available"
    apache2/pagestamp-fcgid.conf "${etc}/apache2/conf-available"
    apache2/pagestamp-proxy-fcgi.conf "${etc}/apache2/conf-available"
    nginx/pagestamp.conf "${etc}/nginx/snippets"
    nginx/pagestamp-http.conf "${etc}/nginx/snippets"
    systemd/pagestamp.socket "${units}"
    systemd/pagestamp.service "${units}")
  while(pagestamp_files)
    list(POP_FRONT pagestamp_files template dir)
    get_filename_component(name "${template}" NAME)
    set(installed "$ENV{DESTDIR}${dir}/${name}")
    message(STATUS "Installing: ${installed}")
    configure_file("${PAGESTAMP_TEMPLATES}/${template}.in" "${installed}" @ONLY)
    file(CHMOD "${installed}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${installed}")
  endwhile()
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
# A webmaster's edits to the snippets survive upgrades.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/conffiles
  "/etc/apache2/conf-available/pagestamp.conf\n"
  "/etc/apache2/conf-available/pagestamp-fcgid.conf\n"
  "/etc/apache2/conf-available/pagestamp-proxy-fcgi.conf\n"
  "/etc/nginx/snippets/pagestamp-http.conf\n"
  "/etc/nginx/snippets/pagestamp.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/packaging/conffiles)
include(CPack)
