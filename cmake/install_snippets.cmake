# The snippets and units name the program (and the responder's socket) by
# their installed paths, so they are written at install time, once the
# prefix is known: one given to `cmake --install --prefix`, or /usr when
# debian/rules installs the package into its staging directory. Under /usr
# they go where Debian's Apache, nginx and systemd look for them.
set(PAGESTAMP_SOCKET /run/pagestamp.sock)
install(CODE "set(PAGESTAMP_TEMPLATES \"${CMAKE_CURRENT_SOURCE_DIR}/packaging\")
              set(PAGESTAMP_SOCKET \"${PAGESTAMP_SOCKET}\")
              set(PAGESTAMP_NGINX_MODULE $<TARGET_EXISTS:ngx_http_pagestamp_module>)")
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
  # The module's snippet names its directive: of use only beside the module.
  if(PAGESTAMP_NGINX_MODULE)
    list(APPEND pagestamp_files nginx/pagestamp-module.conf "${etc}/nginx/snippets")
  endif()
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
