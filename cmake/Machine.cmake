# What this machine has, decided at configure time and decided again at every
# configure: find_* look again by themselves while a result is NOTFOUND, and a
# result whose file has gone since (a package removed) is forgotten here and
# looked for again. So a configure after tools/install-deps picks up what it
# installed, and one after a removal no longer builds against what is gone.
# Each decision is said in one line of the configure output.

# Forgets the cached result VAR when PATH_IN_RESULT (VAR's value followed by
# it) no longer exists, or when the directories searched (SEARCHED) changed.
function(translaters_forget_if_stale var path_in_result searched)
  if(${var} AND NOT EXISTS "${${var}}${path_in_result}")
    unset(${var} CACHE)
  endif()
  if(NOT "${searched}" STREQUAL "${TRANSLATERS_SEARCHED_${var}}")
    unset(${var} CACHE)
  endif()
  set(TRANSLATERS_SEARCHED_${var} "${searched}" CACHE INTERNAL "")
endfunction()

# Finds the program NAME into VAR (a cache path, NOTFOUND if missing) and says
# so: WHAT it is for, and the Debian PACKAGE that brings it. Further arguments
# go to find_program.
function(translaters_find_program var name package what)
  translaters_forget_if_stale(${var} "" "")
  find_program(${var} ${name} ${ARGN})
  if(${var})
    message(STATUS "${what}: ${${var}}")
  else()
    message(STATUS "${what}: ${name} not found; install ${package} (tools/install-deps does)")
  endif()
endfunction()

# The static probes (src/probes.h) need <sys/sdt.h>. TRANSLATERS_SDT_SEARCH_PATH,
# when set, is the only place looked in (the tests use it to hide the header).
set(TRANSLATERS_SDT_SEARCH_PATH "" CACHE PATH
    "The only directory to look for sys/sdt.h in (default: the compiler's own)")
translaters_forget_if_stale(TRANSLATERS_SDT_INCLUDE_DIR /sys/sdt.h "${TRANSLATERS_SDT_SEARCH_PATH}")
if(TRANSLATERS_SDT_SEARCH_PATH)
  find_path(TRANSLATERS_SDT_INCLUDE_DIR sys/sdt.h PATHS "${TRANSLATERS_SDT_SEARCH_PATH}"
            NO_DEFAULT_PATH)
else()
  find_path(TRANSLATERS_SDT_INCLUDE_DIR sys/sdt.h)
endif()
if(NOT TRANSLATERS_PROBES)
  set(TRANSLATERS_PROBES_BUILT OFF)
  message(STATUS "Static probes: off (TRANSLATERS_PROBES=OFF)")
elseif(TRANSLATERS_SDT_INCLUDE_DIR)
  set(TRANSLATERS_PROBES_BUILT ON)
  message(STATUS "Static probes: on (sys/sdt.h in ${TRANSLATERS_SDT_INCLUDE_DIR})")
else()
  set(TRANSLATERS_PROBES_BUILT OFF)
  message(STATUS "Static probes: off, sys/sdt.h not found; install systemtap-sdt-dev "
                 "(tools/install-deps does) and configure again")
endif()
# TRANSLATERS_REQUIRE_PROBES holds for the one configure that was given it, so
# a later plain configure of the same build still works without the header.
if(TRANSLATERS_REQUIRE_PROBES AND NOT TRANSLATERS_PROBES_BUILT)
  unset(TRANSLATERS_REQUIRE_PROBES CACHE)
  message(FATAL_ERROR "The static probes are required (-DTRANSLATERS_REQUIRE_PROBES=ON) but "
                      "cannot be built in: install systemtap-sdt-dev, and leave TRANSLATERS_PROBES ON")
endif()
unset(TRANSLATERS_REQUIRE_PROBES CACHE)

# The benchmarks' library; the bench target exists only where it is found.
find_package(benchmark QUIET)
if(benchmark_FOUND)
  message(STATUS "Benchmarks: on (Google Benchmark ${benchmark_VERSION})")
else()
  message(STATUS "Benchmarks: off, Google Benchmark not found; install libbenchmark-dev")
endif()
