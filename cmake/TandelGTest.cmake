# GoogleTest for the test suite. Natively the installed package is used;
# a cross build compiles Debian's GoogleTest sources with the target
# toolchain, since the sysroot carries no target build of it.
if(CMAKE_CROSSCOMPILING)
  set(TANDEL_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
  if(NOT EXISTS ${TANDEL_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${TANDEL_GTEST_SOURCE_DIR} (package googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${TANDEL_GTEST_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
