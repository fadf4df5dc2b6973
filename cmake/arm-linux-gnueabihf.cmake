# Cross build for the controller: 32-bit ARM (hard float) with glibc,
# using Debian's arm-linux-gnueabihf toolchain and its multiarch sysroot.
# Test programs run through qemu-arm with the same sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TANDEL_TARGET_TRIPLE arm-linux-gnueabihf)
set(TANDEL_TARGET_SYSROOT /usr/${TANDEL_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${TANDEL_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TANDEL_TARGET_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH ${TANDEL_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(TANDEL_QEMU_ARM qemu-arm)
  if(TANDEL_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TANDEL_QEMU_ARM} -L ${TANDEL_TARGET_SYSROOT})
  endif()
endif()
