# The Apache snippet names the program by its installed path, so it is
# written at install time, once the prefix is known: one given to
# `cmake --install --prefix`, or /usr when debian/rules installs the package
# into its staging directory. Under /usr it goes where Debian's Apache keeps
# the snippets a2enconf enables.
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
