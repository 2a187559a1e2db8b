# Finds oneTBB without any path set by hand: first in the Python environments on the build
# interpreter's path (the `tbb-devel` wheel puts TBBConfig.cmake under <prefix>/lib/cmake/tbb),
# then wherever CMake looks by default (a system install such as Debian's libtbb-dev).
find_package(Python COMPONENTS Interpreter QUIET)
set(_korvel_tbb_hints "")
if(Python_EXECUTABLE)
  execute_process(
    COMMAND ${Python_EXECUTABLE} -c "import sys, os\nseen = []\nfor p in [sys.prefix, sys.base_prefix] + [os.path.dirname(os.path.dirname(os.path.dirname(s))) for s in sys.path if s.endswith('site-packages')]:\n    if p not in seen: seen.append(p)\nprint(';'.join(seen))"
    OUTPUT_VARIABLE _korvel_prefixes OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  foreach(_prefix IN LISTS _korvel_prefixes)
    if(EXISTS "${_prefix}/lib/cmake/tbb/TBBConfig.cmake")
      list(APPEND _korvel_tbb_hints "${_prefix}/lib/cmake/tbb")
    endif()
  endforeach()
endif()

set(TBB_FIND_RELEASE_ONLY ON)
if(_korvel_tbb_hints)
  find_package(TBB CONFIG COMPONENTS tbb HINTS ${_korvel_tbb_hints} NO_DEFAULT_PATH)
endif()
if(NOT TBB_FOUND)
  find_package(TBB CONFIG REQUIRED COMPONENTS tbb)
endif()
get_target_property(_korvel_tbb_lib TBB::tbb IMPORTED_LOCATION_RELEASE)
if(NOT _korvel_tbb_lib)
  get_target_property(_korvel_tbb_lib TBB::tbb IMPORTED_LOCATION)
endif()
get_filename_component(KORVEL_TBB_LIBRARY_DIR "${_korvel_tbb_lib}" DIRECTORY)
message(STATUS "korvel: oneTBB ${TBB_VERSION} from ${KORVEL_TBB_LIBRARY_DIR}")
