# SPDX-License-Identifier: Apache-2.0
# Linux armhf (libZkPosSo.so, 32-bit ARM, hard float) with Debian's cross
# compiler g++-arm-linux-gnueabihf, whose defaults are Debian's armhf baseline
# (ARMv7-A, Thumb-2, VFPv3-D16). Tests and the armhf JVM run under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(ZKPOS_CROSS_TRIPLET arm-linux-gnueabihf)
set(ZKPOS_DEB_ARCHITECTURE armhf)
# Where Debian's JVM of this machine looks (its java.library.path), and
# where no other architecture's package puts a file.
set(ZKPOS_JNI_INSTALL_DIR lib/arm-linux-gnueabihf/jni)
set(ZKPOS_TARGET_JAVA_HOME /usr/lib/jvm/java-17-openjdk-armhf)
set(ZKPOS_CROSS_EMULATOR qemu-arm)
# qemu-arm makes the host's 64-bit getdents64 calls, and on ext4 these return
# 64-bit directory offsets that the 32-bit guest cannot hold: listing a folder
# there fails with EOVERFLOW. The tests' working folders are kept on a tmpfs.
set(ZKPOS_TARGET_LISTS_ONLY_TMPFS ON)
include(${CMAKE_CURRENT_LIST_DIR}/ZkPosLinuxCross.cmake)
