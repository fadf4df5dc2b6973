# Install layout: the library with its soname links, the stand-in
# tracer, the header, jobtool, and both a CMake package and a pkg-config
# file, so that a C program finds the library either way.
include(CMakePackageConfigHelpers)

set(TANDEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TandelCntrl)
install(TARGETS TandelCntrl LogTracer EXPORT TandelCntrlTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/TandelCntrl.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS jobtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/doc/jobtool.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/doc/libTandelCntrl.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3)
install(FILES ${PROJECT_SOURCE_DIR}/doc/jobtool.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME jobtool)
install(EXPORT TandelCntrlTargets NAMESPACE TandelCntrl:: DESTINATION ${TANDEL_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TandelCntrlConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TandelCntrlConfig.cmake INSTALL_DESTINATION ${TANDEL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TandelCntrlConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TandelCntrlConfig.cmake ${PROJECT_BINARY_DIR}/TandelCntrlConfigVersion.cmake
  DESTINATION ${TANDEL_CMAKE_DIR})

# The prefix is found from the file's own place, so the tree can be
# installed with --prefix anywhere.
file(RELATIVE_PATH TANDEL_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${CMAKE_CURRENT_LIST_DIR}/TandelCntrl.pc.in ${PROJECT_BINARY_DIR}/TandelCntrl.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/TandelCntrl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The installed library finds libLogTracer.so beside it wherever the tree
# is installed, so no program needs LD_LIBRARY_PATH for the tracer; the
# program itself finds libTandelCntrl.so through the loader's paths or
# its own RUNPATH (jobtool: $ORIGIN/../lib).
set_target_properties(TandelCntrl PROPERTIES INSTALL_RPATH "$ORIGIN")
