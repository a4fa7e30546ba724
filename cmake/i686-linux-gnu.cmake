# SPDX-License-Identifier: Apache-2.0
# Linux i386 (libZkPosSo.so) with Debian's cross compiler g++-i686-linux-gnu.
# Its code runs on the x86-64 build machine as it is, so the tests need no
# emulator: the 32-bit libc and JVM come from the i386 side of the archive.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZKPOS_CROSS_TRIPLET i686-linux-gnu)
set(ZKPOS_DEB_ARCHITECTURE i386)
set(ZKPOS_TARGET_JAVA_HOME /usr/lib/jvm/java-17-openjdk-i386)
include(${CMAKE_CURRENT_LIST_DIR}/ZkPosLinuxCross.cmake)
