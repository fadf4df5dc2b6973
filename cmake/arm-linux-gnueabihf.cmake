# Cross build for the controller: 32-bit ARM (hard float) with glibc,
# using Debian's arm-linux-gnueabihf toolchain and its multiarch sysroot.
# Test programs run through qemu-arm with the same sysroot.
#
# TANDEL_SYSROOT names another root to build against instead: an older
# Debian release's C library and C++ runtime unpacked in one folder
# (scripts/arm-oldglibc.sh makes one). The compiler stays the same, but
# it sees only that root's headers and links only its libraries, so the
# result runs on that release's glibc.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TANDEL_TARGET_TRIPLE arm-linux-gnueabihf)
set(TANDEL_TARGET_SYSROOT /usr/${TANDEL_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${TANDEL_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TANDEL_TARGET_TRIPLE}-g++)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TANDEL_SYSROOT)
if(TANDEL_SYSROOT)
  set(_root ${TANDEL_SYSROOT})
  set(_triple ${TANDEL_TARGET_TRIPLE})
  file(GLOB _cxx LIST_DIRECTORIES true ${_root}/usr/include/c++/*)
  list(LENGTH _cxx _n)
  if(NOT _n EQUAL 1)
    message(FATAL_ERROR "TANDEL_SYSROOT ${_root} needs exactly one C++ runtime in usr/include/c++")
  endif()
  get_filename_component(_gxx ${_cxx} NAME)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include OUTPUT_VARIABLE _gccinc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(CMAKE_SYSROOT ${_root})
  set(TANDEL_TARGET_SYSROOT ${_root})
  # The compiler looks in its own glibc (/usr/${_triple}) before any
  # sysroot: hence no standard include directories, the root's named one
  # by one, and the root's start files and libraries searched first.
  set(_c "-nostdinc -isystem ${_gccinc} -isystem ${_root}/usr/include/${_triple} -isystem ${_root}/usr/include")
  set(CMAKE_C_FLAGS_INIT "${_c}")
  set(CMAKE_CXX_FLAGS_INIT "-isystem ${_root}/usr/include/c++/${_gxx} \
-isystem ${_root}/usr/include/${_triple}/c++/${_gxx} -isystem ${_root}/usr/include/c++/${_gxx}/backward ${_c}")
  set(_ld "-B${_root}/usr/lib/${_triple}/ -L${_root}/usr/lib/gcc/${_triple}/${_gxx} \
-L${_root}/lib/${_triple} -L${_root}/usr/lib/${_triple}")
  set(CMAKE_EXE_LINKER_FLAGS_INIT "${_ld}")
  set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_ld}")
  set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_ld}")
endif()

set(CMAKE_FIND_ROOT_PATH ${TANDEL_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(TANDEL_QEMU_ARM qemu-arm)
  if(TANDEL_QEMU_ARM)
    # qemu takes a file the root lacks from this machine, and the
    # loader's cache is this machine's: once armhf packages are
    # installed here (the armhf package build does), it names this
    # machine's armhf libraries beside the root's loader, and threads and
    # forks crash. So the root's library directories are searched first;
    # a root holds all its libraries there (/lib merged with /usr/lib).
    set(_tandel_libdirs)
    foreach(_dir lib/arm-linux-gnueabihf lib)
      if(IS_DIRECTORY ${TANDEL_TARGET_SYSROOT}/${_dir})
        list(APPEND _tandel_libdirs /${_dir})
      endif()
    endforeach()
    list(JOIN _tandel_libdirs ":" _tandel_libdirs)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TANDEL_QEMU_ARM} -L ${TANDEL_TARGET_SYSROOT}
      -E LD_LIBRARY_PATH=${_tandel_libdirs})
  endif()
endif()
