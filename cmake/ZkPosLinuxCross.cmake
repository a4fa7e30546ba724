# SPDX-License-Identifier: Apache-2.0
# What the Linux cross toolchain files share: Debian's cross compiler for the
# triplet in ZKPOS_CROSS_TRIPLET, and its target's libraries and headers from
# /usr/TRIPLET, where Debian's cross packages put them. The toolchain file is
# the one place a target's flags are written, so the preset, the all-in-one
# jar's sub-build and the packages build exactly the same library.
set(CMAKE_SYSTEM_NAME Linux)

find_program(CMAKE_C_COMPILER NAMES ${ZKPOS_CROSS_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZKPOS_CROSS_TRIPLET}-g++ REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${ZKPOS_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
