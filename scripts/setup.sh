#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages that one or more purposes need:
#
#   scripts/setup.sh demo      what scripts/demo.sh builds and runs
#   scripts/setup.sh test      every test suite (and so everything below)
#   scripts/setup.sh bench     the benchmark
#   scripts/setup.sh package   the Debian packages and the Windows archive
#
# With no purpose it installs them all. Safe to run again: packages already
# present are left as they are. apt's own output goes to build/setup.log; the
# terminal gets one line per step, and the log's last lines when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."

# One list per purpose, each package with its reason.
demo_packages=(
    cmake g++ make                      # the Linux x86-64 build
    openjdk-17-jdk-headless             # jni.h, javac and the JVM that loads the library
    libjline3-java                      # the console's line editing, history and completion
    util-linux mount iproute2           # private namespaces (unshare, mount, ip) for the trace and port 9100
)
bench_packages=(
    libjssc-java librxtx-java           # what the benchmark compares the library with
    g++-mingw-w64-x86-64-posix wine wine64   # the Windows rows, timed under Wine
)
package_packages=(
    dpkg-dev file lintian help2man      # the Debian packages, their manual pages and checks
    g++-mingw-w64-x86-64-posix mingw-w64-tools   # the Windows DLLs in the all-in-one jar and the .zip
)
test_packages=(
    g++-i686-linux-gnu                  # the i386 build (Debian's cross compiler, not g++-multilib,
                                        # which the other cross compilers remove)
    g++-aarch64-linux-gnu g++-arm-linux-gnueabihf   # the aarch64 and armhf builds
    qemu-user                           # runs the ARM tests and JVMs
    openjdk-17-jre-headless:arm64 openjdk-17-jre-headless:armhf   # the ARM JVMs the ARM builds are tested in
    googletest                          # GoogleTest sources, built with each toolchain
    junit5                              # the JVM test suites
    wine wine64                         # runs the Windows tests
    clang-format                        # the format check
    tmux                                # drives the console in a real terminal in the tests
    clang-14 libclang-rt-14-dev         # the fuzz targets (libFuzzer, ASan, UBSan)
    logrotate                           # the package test checks the rotation rule
    openjdk-17-jre-headless:i386        # the 32-bit JVM that loads libZkPosSo.so
    maven libmaven-compiler-plugin-java libmaven-resources-plugin-java libexec-maven-plugin-java
                                        # the offline Maven build against the installed artifact
    mmdebstrap                          # the demo's check on a fresh Debian root
)

purposes=("$@")
[ ${#purposes[@]} -gt 0 ] || purposes=(demo test bench package)
wanted=()
for purpose in "${purposes[@]}"; do
    case "$purpose" in
        demo) wanted+=("${demo_packages[@]}") ;;
        bench) wanted+=("${demo_packages[@]}" "${bench_packages[@]}") ;;
        package) wanted+=("${demo_packages[@]}" "${package_packages[@]}") ;;
        # The tests build and run everything, the benchmark's quick pass and the packages too.
        test) wanted+=("${demo_packages[@]}" "${bench_packages[@]}" "${package_packages[@]}"
                       "${test_packages[@]}") ;;
        *) echo "setup: unknown purpose '$purpose' (demo, test, bench or package)" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) || true
    if [ "$status" != "install ok installed" ] && [[ " ${missing[*]} " != *" $p "* ]]; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -gt 0 ] || exit 0

mkdir -p build
log=$PWD/build/setup.log
: >"$log"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# Runs one step with its output in the log; on failure shows the log's end.
step() {
    local what=$1
    shift
    echo "setup: $what"
    if ! "$@" >>"$log" 2>&1; then
        echo "setup: that failed; the last lines of $log:" >&2
        tail -n 20 "$log" >&2
        exit 1
    fi
}

# The 32-bit and ARM JVMs come from those sides of the archive.
for arch in i386 arm64 armhf; do
    if [[ " ${missing[*]} " == *":$arch "* ]] &&
        ! grep -qx "$arch" <<<"$(dpkg --print-foreign-architectures)"; then
        step "adding the $arch architecture" $sudo dpkg --add-architecture "$arch"
    fi
done
step "reading the package lists (apt-get update; output in build/setup.log)" $sudo apt-get update
# Recommended packages come along: the Wine and JDK set-ups the tests were
# run with include them.
names=" (${missing[*]})"
[ ${#missing[@]} -le 10 ] || names=" (their names are in the log)"
echo "setup: to install for ${purposes[*]}: ${missing[*]}" >>"$log"
step "installing ${#missing[@]} packages for ${purposes[*]}$names" \
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
