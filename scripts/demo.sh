#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job: sets up, builds what it runs (the demo preset: the library,
# the jars, the console and the simulator; the output goes to build/demo.log),
# starts the device simulator and talks to it through the library: the Java
# example SendMessage over TCP, then the console scripted once over TCP and
# once over the simulator's pseudo-terminal, and one open that fails, to show
# how the console explains it. Shows the lines the library wrote to its trace
# log and stops everything it started.
#
# As root the talking part runs in private mount and network namespaces: a
# fresh /var/log (so the trace file is the demo's own and the machine's
# /var/log is never written) and a loopback of its own (so 127.0.0.1:9100 is
# free). Without root it runs in the open and shows no trace.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$PWD
build=$root_dir/build/demo

if [ "${1:-}" != --talk ]; then
    scripts/setup.sh demo
    log=$root_dir/build/demo.log
    mkdir -p "$root_dir/build"
    echo "demo: building the library, the jars, the console and the simulator (output in build/demo.log)"
    started=$(date +%s)
    if ! { cmake --preset demo && cmake --build --preset demo -j"$(nproc)"; } >"$log" 2>&1; then
        echo "demo: the build failed; its last lines:" >&2
        tail -n 25 "$log" >&2
        exit 1
    fi
    echo "demo: built in $(($(date +%s) - started)) s"
    if [ "$(id -u)" -ne 0 ]; then
        why="not root, so no private namespaces"
    elif refusal=$(unshare --mount --net --propagation private true 2>&1); then
        exec unshare --mount --net --propagation private -- "$0" --talk private
    else
        # A chroot whose / is no mount point, or a container without the right, refuses.
        why="unshare refused the private namespaces (${refusal:-no reason given})"
    fi
    echo
    echo "demo: $why: the simulator needs 127.0.0.1:9100 free,"
    echo "demo: and the trace part is skipped, so that the real /var/log is left alone."
    exec "$0" --talk open
fi

private=$([ "${2:-}" = private ] && echo yes || echo no)
if [ "$private" = yes ]; then
    mount -t tmpfs -o mode=0755 zkpos-demo-log /var/log
    ip link set dev lo up
fi

work=$(mktemp -d)
simulator_pid=
stop_all() {
    if [ -n "$simulator_pid" ]; then
        kill "$simulator_pid" 2>/dev/null || true
        wait "$simulator_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap stop_all EXIT
trap 'exit 130' INT TERM

step() { printf '\n=== %s\n' "$*"; }

step "device simulator: TCP 127.0.0.1:9100 and a pseudo-terminal"
"$build/tools/simulator/zkpos-simulator" --seconds 120 >"$work/simulator.out" 2>"$work/simulator.log" &
simulator_pid=$!
for _ in $(seq 100); do
    grep -q '^tcp ' "$work/simulator.out" 2>/dev/null && break
    sleep 0.05
done
if ! grep -q '^tcp ' "$work/simulator.out"; then
    echo "demo: the simulator did not start:" >&2
    cat "$work/simulator.log" >&2
    exit 1
fi
cat "$work/simulator.out"
pty=$(sed -n 's/^pty //p' "$work/simulator.out")

step "Java example: SendMessage 127.0.0.1 (LinPortComm over TCP)"
java -Dzkpos.library="$build/linux/libZkPosSo64.so" \
    -cp "$build/java/zkpos.jar:$build/java/zkpos-example.jar" SendMessage 127.0.0.1 "Hello from Java"

console=$build/tools/console/zkpos-console
# Outside the private namespaces the console leaves the real /var/log alone.
trace_tcp="--trace 3" trace_serial="--trace 3"
if [ "$private" = no ]; then
    trace_tcp= trace_serial=
fi
step "console over TCP: zkpos-console -"
"$console" - <<SCRIPT
open tcp 127.0.0.1 --read-timeout 2 $trace_tcp
send <STX>Hello over TCP<ETX>
read
SCRIPT

step "console over the pseudo-terminal $pty (as a serial line)"
"$console" - <<SCRIPT
open serial $pty 9600 --read-timeout 2 $trace_serial
send <STX>Hello over the serial line<ETX>
read --until-quiet
SCRIPT

step "an open that fails: nothing listens on 127.0.0.2, and the console says why"
"$console" -e 'open tcp 127.0.0.2 --write-timeout 2' || true

if [ "$private" = yes ]; then
    step "from the library's trace /var/log/ZkPosSoLog.txt (a private tmpfs): kind, data sent and read"
    grep -E 'm_iDeviceType|strToSend|strRead \([^)]' /var/log/ZkPosSoLog.txt
fi

step "the simulator's own account of what it received"
grep received "$work/simulator.log"
echo
echo "demo: done; the simulator is stopped. README.md says how to run it and the console yourself."
