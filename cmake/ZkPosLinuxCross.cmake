# SPDX-License-Identifier: Apache-2.0
# What the Linux cross toolchain files share: Debian's cross compiler for the
# triplet in ZKPOS_CROSS_TRIPLET, and its target's libraries and headers from
# /usr/TRIPLET, where Debian's cross packages put them. The toolchain file is
# the one place a target is described (compiler, flags, JVM, emulator), so the
# preset, the all-in-one jar's sub-build and the packages build the same
# library. ZKPOS_TARGET_JAVA_HOME names the target's JVM from Debian's
# multiarch packages; ZKPOS_CROSS_EMULATOR, when set, is the qemu-user program
# that runs the target's code (its dynamic loader and libraries come from the
# same multiarch packages, in the machine's own /lib).
set(CMAKE_SYSTEM_NAME Linux)

find_program(CMAKE_C_COMPILER NAMES ${ZKPOS_CROSS_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZKPOS_CROSS_TRIPLET}-g++ REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${ZKPOS_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(ZKPOS_CROSS_EMULATOR)
    find_program(ZKPOS_CROSS_EMULATOR_PROGRAM ${ZKPOS_CROSS_EMULATOR})
    if(NOT ZKPOS_CROSS_EMULATOR_PROGRAM)
        message(FATAL_ERROR "${ZKPOS_CROSS_EMULATOR} not found: install qemu-user (scripts/setup.sh does)")
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ZKPOS_CROSS_EMULATOR_PROGRAM})
endif()
