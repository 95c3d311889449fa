# The parts that need more than a compiler (the two modules, the tests) are
# each AUTO, ON or OFF. AUTO, the default, builds a part when what it needs is
# found and otherwise says in one line what it left out, so that a bare
# machine still builds the program. ON makes a missing need an error: the
# test command and the package ask for every part, and nothing drops out of
# them unseen.

# pagestamp_part(VAR DOC): declares VAR and leaves it, in this scope, as
# AUTO, ON or OFF, whichever way the builder spelt it.
function(pagestamp_part var doc)
  set(${var} AUTO CACHE STRING "${doc}: AUTO (when what it needs is found), ON or OFF")
  set_property(CACHE ${var} PROPERTY STRINGS AUTO ON OFF)
  string(TOUPPER "${${var}}" value)
  if(NOT value STREQUAL "AUTO")
    if(value)
      set(value ON)
    else()
      set(value OFF)
    endif()
  endif()
  set(${var} ${value} PARENT_SCOPE)
endfunction()

# pagestamp_part_missing(VAR PART WHAT PACKAGES): PART cannot be built, for
# want of WHAT (a list), which Debian's PACKAGES (a list) bring. The caller
# leaves it out.
function(pagestamp_part_missing var part what packages)
  list(JOIN what ", " what)
  list(REMOVE_DUPLICATES packages)
  list(JOIN packages " " packages)
  if(${var} STREQUAL "ON")
    message(FATAL_ERROR "Cannot build ${part}: no ${what} (apt-get install ${packages}), or -D${var}=OFF")
  endif()
  message(STATUS "Leaving out ${part}: no ${what} (apt-get install ${packages})")
endfunction()

# pagestamp_find_programs(MISSING PACKAGES NAME PACKAGE...): find_program for
# each NAME into its upper-case variable; MISSING and PACKAGES list the names
# not found and the packages that bring them.
function(pagestamp_find_programs missing_var packages_var)
  set(missing)
  set(packages)
  while(ARGN)
    list(POP_FRONT ARGN name package)
    string(TOUPPER ${name} var)
    string(REPLACE "-" "_" var ${var})
    find_program(${var} ${name} PATHS /usr/sbin /usr/local/sbin)
    if(NOT ${var})
      list(APPEND missing ${name})
      list(APPEND packages ${package})
    endif()
  endwhile()
  set(${missing_var} "${missing}" PARENT_SCOPE)
  set(${packages_var} "${packages}" PARENT_SCOPE)
endfunction()
