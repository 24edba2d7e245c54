# Cross build for the router's CPU: 32-bit ARM, ARMv5TE, soft float, glibc
# (Debian's arm-linux-gnueabi toolchain, package g++-arm-linux-gnueabi).
#
#   cmake -S . -B build-arm -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake
#
# Every program is linked statically, so the board needs no C++ runtime of
# the right version; size-conscious flags keep the binaries small. Test
# programs run under qemu-arm (package qemu-user-static) through CTest's
# emulator setting.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(UP_CROSS_TRIPLE arm-linux-gnueabi CACHE STRING "prefix of the cross compiler (TRIPLE-gcc, TRIPLE-g++)")
set(CMAKE_C_COMPILER ${UP_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${UP_CROSS_TRIPLE}-g++)
set(CMAKE_STRIP ${UP_CROSS_TRIPLE}-strip CACHE FILEPATH "strip for the target")

set(CMAKE_FIND_ROOT_PATH /usr/${UP_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# 64-bit file offsets: readdir, scandir and stat then never fail with
# EOVERFLOW on a file system that hands out 64-bit directory offsets or inode
# numbers (ext4 to the 64-bit host process that qemu-arm is; on the board
# sysfs, tmpfs and JFFS2 fit either way).
set(UP_ARM_FLAGS "-march=armv5te -mfloat-abi=soft -marm -ffunction-sections -fdata-sections -D_FILE_OFFSET_BITS=64")
set(CMAKE_C_FLAGS_INIT "${UP_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${UP_ARM_FLAGS}")
# -Os for every optimised build type of the target: flash and RAM are the
# scarce things. (The _INIT variables would only be prepended to CMake's own
# -O2/-O3, so the cache entries are set.)
foreach(lang C CXX)
  set(CMAKE_${lang}_FLAGS_RELEASE "-Os -DNDEBUG" CACHE STRING "")
  set(CMAKE_${lang}_FLAGS_RELWITHDEBINFO "-Os -g -DNDEBUG" CACHE STRING "")
  set(CMAKE_${lang}_FLAGS_MINSIZEREL "-Os -DNDEBUG" CACHE STRING "")
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--gc-sections")

find_program(UP_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(UP_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${UP_QEMU_ARM})
endif()
