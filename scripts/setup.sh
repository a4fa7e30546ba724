#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs every Debian package that the build, the tests and the demo need.
# Safe to run again: packages already present are left as they are.
set -euo pipefail

packages=(
    cmake g++ make                      # the Linux x86-64 build
    g++-i686-linux-gnu                  # the i386 build (Debian's cross compiler, not g++-multilib,
                                        # which the other cross compilers remove)
    googletest                          # GoogleTest sources, built with each toolchain
    openjdk-17-jdk-headless             # jni.h, javac and the JVM the tests load the library into
    junit5                              # the JVM test suites
    g++-mingw-w64-x86-64-posix mingw-w64-tools   # the Windows cross build
    wine wine64                         # runs the Windows tests
    util-linux iproute2                 # private namespaces for the tests (unshare, ip)
    clang-format
    libjline3-java                      # the console's line editing, history and completion
    tmux                                # drives the console in a real terminal in the tests
    libjssc-java librxtx-java           # what the benchmark compares the library with
    clang-14 libclang-rt-14-dev         # the fuzz targets (libFuzzer, ASan, UBSan)
    dpkg-dev file lintian help2man logrotate   # the Debian packages and their test
    openjdk-17-jre-headless:i386        # the 32-bit JVM that loads libZkPosSo.so
    g++-aarch64-linux-gnu g++-arm-linux-gnueabihf   # the aarch64 and armhf builds
    qemu-user                           # runs the ARM tests and JVMs
    openjdk-17-jre-headless:arm64 openjdk-17-jre-headless:armhf   # the ARM JVMs the ARM builds are tested in
    maven libmaven-compiler-plugin-java libmaven-resources-plugin-java libexec-maven-plugin-java
                                        # the offline Maven build against the installed artifact
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) || true
    [ "$status" = "install ok installed" ] || missing+=("$p")
done

# Recommended packages come along: the Wine and JDK set-ups the tests were run
# with include them.
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    # The 32-bit and ARM JVMs come from those sides of the archive.
    for arch in i386 arm64 armhf; do
        grep -qx "$arch" <<<"$(dpkg --print-foreign-architectures)" || $sudo dpkg --add-architecture "$arch"
    done
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
