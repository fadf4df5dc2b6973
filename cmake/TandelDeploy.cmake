# Makes libTandelCntrl.so deployable on the controller as it is built here:
# 64-bit time (unless TANDEL_TIME64 is OFF) and file offsets for everything
# the project compiles, only the header's TANDEL_API names exported, and
# the C++ runtime linked in with its symbols hidden, so the controller
# needs no libstdc++.

# Everything, library and tests alike, sees the same time_t and off_t:
# set for the whole directory, GoogleTest compiled from source included,
# and nowhere else. The public records use fixed-width fields only, so
# callers built with 32-bit time still see the same interface.
add_compile_definitions(_FILE_OFFSET_BITS=64)
if(TANDEL_TIME64)
  add_compile_definitions(_TIME_BITS=64)
endif()

# The oldest glibc the ARM library must load on: no import may carry a
# newer version (tests/check_library.sh). 64-bit time on 32-bit ARM came
# with 2.34; the build against an older C library has fcntl64 (2.28).
if(NOT TANDEL_TIME64)
  set(TANDEL_GLIBC_FLOOR 2.28)
else()
  set(TANDEL_GLIBC_FLOOR 2.34)
endif()

# The export list comes from the header itself, so the two cannot drift:
# every line starting with TANDEL_API declares one exported name.
set(_tandel_header ${PROJECT_SOURCE_DIR}/include/TandelCntrl.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_tandel_header})
file(STRINGS ${_tandel_header} _tandel_api_lines REGEX "^TANDEL_API ")
set(_tandel_map "{\n  global:\n")
foreach(_line IN LISTS _tandel_api_lines)
  string(REGEX REPLACE "[[(].*" "" _decl "${_line}")
  string(REGEX MATCH "[A-Za-z_][A-Za-z0-9_]*$" _name "${_decl}")
  if(_name)
    string(APPEND _tandel_map "    ${_name};\n")
  endif()
endforeach()
string(APPEND _tandel_map "  local:\n    *;\n};\n")
set(TANDEL_VERSION_SCRIPT ${PROJECT_BINARY_DIR}/TandelCntrl.map)
file(CONFIGURE OUTPUT ${TANDEL_VERSION_SCRIPT} CONTENT "${_tandel_map}" @ONLY)

target_link_options(TandelCntrl PRIVATE "LINKER:--version-script=${TANDEL_VERSION_SCRIPT}")
set_property(TARGET TandelCntrl APPEND PROPERTY LINK_DEPENDS ${TANDEL_VERSION_SCRIPT})

# The sanitizer runtimes want the shared C++ runtime and leave symbols
# for the executable to resolve; only the plain build is the deployed one.
# Dropping unused sections also drops what the static C++ runtime would
# otherwise pull in (its random_device needs a newer glibc).
if(NOT TANDEL_SANITIZE)
  target_compile_options(TandelCntrl PRIVATE -ffunction-sections -fdata-sections)
  target_compile_options(tandel_internal PRIVATE -ffunction-sections -fdata-sections)
  target_link_options(TandelCntrl PRIVATE
    -static-libstdc++ -static-libgcc "LINKER:--exclude-libs,ALL" "LINKER:--gc-sections"
    "LINKER:--no-undefined" "LINKER:--as-needed")
endif()
