# GoogleTest for the Windows cross build. Debian packages GoogleTest only for
# the host, so it is built here from Debian's sources (package googletest),
# with the targets and the find_package(GTest) answer that a native install
# gives; tests/ works the same in both builds.
set(RILVET_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources built for cross builds")
if(NOT EXISTS "${RILVET_GTEST_SOURCE_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "GoogleTest sources not found in ${RILVET_GTEST_SOURCE_DIR} "
                      "(Debian package googletest)")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
# Win32 threads inside GoogleTest, as in any Windows build of it.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)

# Our warning flags are for our code; GoogleTest keeps its own, and its
# headers count as system headers (SYSTEM).
get_directory_property(_rilvet_compile_options COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
add_subdirectory("${RILVET_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest"
                 EXCLUDE_FROM_ALL SYSTEM)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_rilvet_compile_options}")
unset(_rilvet_compile_options)

# GoogleTest 1.11 and later name its targets GTest::…; older sources do not.
foreach(_lib gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${_lib})
    add_library(GTest::${_lib} ALIAS ${_lib})
  endif()
endforeach()

# find_package(GTest) looks for a package configuration first: this one says
# that the targets above are all there is to find.
set(_rilvet_gtest_config "${CMAKE_BINARY_DIR}/googletest-config")
file(WRITE "${_rilvet_gtest_config}/GTestConfig.cmake"
     "# GoogleTest is built inside this tree (cmake/googletest-cross.cmake).\n")
set(GTest_DIR "${_rilvet_gtest_config}" CACHE PATH "GoogleTest package configuration" FORCE)
unset(_rilvet_gtest_config)
