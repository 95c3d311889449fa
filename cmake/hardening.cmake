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

if(PAGESTAMP_HARDEN AND CMAKE_C_COMPILER_ID MATCHES "GNU|Clang")
  include(CheckCCompilerFlag)
  set(pagestamp_hardening_flags -fPIE -fstack-protector-strong)
  foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "HAVE${flag}" have_flag)
    check_c_compiler_flag(${flag} ${have_flag})
    if(${have_flag})
      list(APPEND pagestamp_hardening_flags ${flag})
    endif()
  endforeach()
  target_compile_options(pagestamp_hardening INTERFACE ${pagestamp_hardening_flags})
  # FORTIFY needs an optimising build, and it cannot see through the
  # sanitizers' interceptors: they check the same calls their own way.
  if(NOT PAGESTAMP_SANITIZE)
    target_compile_options(pagestamp_hardening INTERFACE
      $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3>)
  endif()
  target_link_options(pagestamp_hardening INTERFACE -pie LINKER:-z,relro LINKER:-z,now)
endif()
