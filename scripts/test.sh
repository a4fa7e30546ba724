#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Sets everything up, then builds and runs every test suite: the Linux x86-64
# library with its JVM and C++ tests, the i386 build, the C++ tests under ASan
# and UBSan, the concurrent-callers suite under TSan, the Windows DLL under
# Wine, and the fuzz targets for a bounded number of executions.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

status=0
for preset in linux-x64 linux-i386 linux-sanitize linux-tsan windows-x64 linux-fuzz; do
    echo "=== $preset"
    cmake --workflow --preset "$preset" --fresh || status=1
done
exit $status
