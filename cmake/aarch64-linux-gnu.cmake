# SPDX-License-Identifier: Apache-2.0
# Linux aarch64 (libZkPosSo64.so) with Debian's cross compiler
# g++-aarch64-linux-gnu. Tests and the arm64 JVM run under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZKPOS_CROSS_TRIPLET aarch64-linux-gnu)
set(ZKPOS_DEB_ARCHITECTURE arm64)
# Where Debian's JVM of this machine looks (its java.library.path), and
# where no other architecture's package puts a file.
set(ZKPOS_JNI_INSTALL_DIR lib/aarch64-linux-gnu/jni)
set(ZKPOS_TARGET_JAVA_HOME /usr/lib/jvm/java-17-openjdk-arm64)
set(ZKPOS_CROSS_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/ZkPosLinuxCross.cmake)
