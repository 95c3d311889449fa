# The program runs as the web server's user on input from every page author,
# so every build hardens it as Debian's hardening=+all would, and more than
# Debian 12's dpkg-buildflags gives: FORTIFY level 3 (level 2 leaves a memcpy
# of unknown size unchecked), stack clash protection and CET. Its flags come
# after a distribution's own CFLAGS on the command line, so they win.
#
# On Debian 12 the linked program shows no CET note all the same: the C
# library's start files are built without one, and the linker keeps the note
# only when every object carries it.

option(PAGESTAMP_HARDEN "Build the program with stack protector, FORTIFY, RELRO, BIND_NOW, PIE and CET" ON)

add_library(pagestamp_hardening INTERFACE)
# The same for code in a shared object (the httpd module): PIC instead of PIE.
add_library(pagestamp_hardening_shared INTERFACE)

if(PAGESTAMP_HARDEN AND CMAKE_C_COMPILER_ID MATCHES "GNU|Clang")
  include(CheckCCompilerFlag)
  set(pagestamp_hardening_flags -fstack-protector-strong)
  foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "HAVE${flag}" have_flag)
    check_c_compiler_flag(${flag} ${have_flag})
    if(${have_flag})
      list(APPEND pagestamp_hardening_flags ${flag})
    endif()
  endforeach()
  # FORTIFY needs an optimising build, and it cannot see through the
  # sanitizers' interceptors: they check the same calls their own way.
  if(NOT PAGESTAMP_SANITIZE)
    list(APPEND pagestamp_hardening_flags $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                                          $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=3>)
  endif()
  target_compile_options(pagestamp_hardening_shared INTERFACE ${pagestamp_hardening_flags})
  target_link_options(pagestamp_hardening_shared INTERFACE LINKER:-z,relro LINKER:-z,now)
  target_compile_options(pagestamp_hardening INTERFACE -fPIE)
  target_link_options(pagestamp_hardening INTERFACE -pie)
  target_link_libraries(pagestamp_hardening INTERFACE pagestamp_hardening_shared)
endif()
