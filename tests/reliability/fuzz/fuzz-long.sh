#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Fuzzes every target for a while instead of the CTest run's fixed count:
#   tests/reliability/fuzz/fuzz-long.sh [SECONDS-PER-TARGET]   (default 600)
# Builds the linux-fuzz preset first. Inputs that add coverage collect in
# build/linux-fuzz/tests/reliability/fuzz/grown/<target>; an input that breaks
# a property or trips a sanitizer lands in .../artifacts/ and the script stops
# with its name. Copy such an input into findings/<target>/ next to this
# script: from then on every build replays it.
set -eu
cd "$(dirname "$0")/../../.."
seconds=${1:-600}

cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz -j2

here=tests/reliability/fuzz
out=build/linux-fuzz/$here
for target in PrintLog ConvertPort ShowBytes ReadTrace; do
    mkdir -p "$out/grown/$target" "$out/artifacts"
    set -- "$out/grown/$target" "$here/corpus/$target"
    [ -d "$here/findings/$target" ] && set -- "$@" "$here/findings/$target"
    echo "=== $target: $seconds s"
    "$out/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/$target-" "$@" 2>&1 |
        grep -E '^(Done|stat::number_of_executed_units|==[0-9]+==ERROR|property broken|SUMMARY)' || true
done
