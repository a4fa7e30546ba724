#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Sets everything up, then builds and runs every test suite: the Linux x86-64
# library with its JVM and C++ tests, the i386 build, the aarch64 and armhf
# builds with their tests under qemu-user, the C++ tests under ASan and UBSan, the concurrent-callers suite under TSan, the Windows DLL under
# Wine, and the fuzz targets for a bounded number of executions.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

status=0
# The cross builds' package tests install beside linux-x64's package, so it comes first.
for preset in linux-x64 linux-i386 linux-arm64 linux-armhf linux-sanitize linux-tsan windows-x64 linux-fuzz; do
    echo "=== $preset"
    started=$SECONDS
    cmake --workflow --preset "$preset" --fresh || status=1
    echo "=== $preset: $((SECONDS - started)) s"
done
exit $status
