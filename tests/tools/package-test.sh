#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the .deb with CPack, unpacks it into a scratch root with dpkg -x and
# runs the console from there against the simulator from there:
#   package-test.sh BUILD_DIR SCRATCH_DIR
# Runs inside tests/support/private-run.sh (the simulator takes 127.0.0.1:9100).
set -uo pipefail

build=$1
scratch=$2

if [ "${ZKPOS_PRIVATE_RUN:-}" != 1 ]; then
    echo "package-test: run me through tests/support/private-run.sh" >&2
    exit 1
fi

rm -rf "$scratch"
mkdir -p "$scratch"
simulator_pid=
cleanup() {
    if [ -n "$simulator_pid" ]; then
        kill "$simulator_pid" 2>/dev/null
        wait "$simulator_pid" 2>/dev/null
    fi
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL [package]: $*" >&2
    failures=$((failures + 1))
}

(cd "$scratch" && timeout 240 cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" \
    >"$scratch/cpack.log" 2>&1) || {
    cat "$scratch/cpack.log" >&2
    echo "package-test: cpack failed" >&2
    exit 1
}
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || {
    echo "package-test: expected one .deb, found: ${debs[*]}" >&2
    exit 1
}
deb=${debs[0]}
echo "package-test: $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "architecture is not amd64"
dpkg-deb -f "$deb" Depends | grep -q 'java11-runtime-headless' || fail "no Java runtime in Depends"
listing=$(dpkg-deb -c "$deb")
contents=$(sed 's/ -> .*//' <<<"$listing" | awk '{print $NF}')  # a link's own name, not its target
for file in ./usr/lib/jni/libZkPosSo64.so ./usr/share/java/zkpos.jar \
    ./usr/share/java/zkpos-console.jar ./usr/bin/zkpos-console ./usr/bin/zkpos-simulator; do
    grep -qxF "$file" <<<"$contents" || fail "$file is not in the package"
done
grep -q '^-rwxr-xr-x .* ./usr/bin/zkpos-console$' <<<"$listing" ||
    fail "the launcher is not executable"

root=$scratch/root
dpkg -x "$deb" "$root" || {
    echo "package-test: dpkg -x failed" >&2
    exit 1
}

"$root/usr/bin/zkpos-simulator" --no-pty --seconds 60 >"$scratch/simulator.out" 2>/dev/null &
simulator_pid=$!
for _ in $(seq 100); do
    grep -q '^tcp ' "$scratch/simulator.out" 2>/dev/null && break
    sleep 0.05
done

console=$root/usr/bin/zkpos-console
timeout 60 "$console" -e 'open tcp 127.0.0.1 --trace 3' -e 'send <STX>installed<ETX>' -e read \
    >"$scratch/console.out" 2>&1 </dev/null
status=$?
[ "$status" -eq 0 ] || fail "the installed console exited with $status"
grep -qF 'received 12 bytes: <ACK><STX>installed<ETX>' "$scratch/console.out" ||
    fail "no echo from the simulator in:"$'\n'"$(cat "$scratch/console.out")"
grep -qF 'ZkPosSo::openDevice --> m_iDeviceType 2' /var/log/ZkPosSoLog.txt 2>/dev/null ||
    fail "the installed library wrote no trace"

# The console uses the library of its own installation, not one of the build tree.
mv "$root/usr/lib/jni/libZkPosSo64.so" "$scratch/moved.so"
timeout 60 "$console" -e 'open tcp 127.0.0.1' >"$scratch/console.out" 2>&1 </dev/null
status=$?
[ "$status" -eq 5 ] || fail "without its library the installed console exited with $status, not 5"
grep -qF "tried the file $root/usr/lib/jni/libZkPosSo64.so" "$scratch/console.out" ||
    fail "the console did not look for $root/usr/lib/jni/libZkPosSo64.so:"$'\n'"$(cat "$scratch/console.out")"

if [ "$failures" -ne 0 ]; then
    echo "[package] $failures check(s) failed" >&2
    exit 1
fi
echo "[package] passed"
