#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs cases of the end-to-end program under Wine with zkpos-simulator on the
# far end:
#   run-with-simulator.sh SIMULATOR PROGRAM.exe KIND FILTER [SIMULATOR OPTIONS...]
# KIND says where the device stands:
#   serial  its pseudo-terminal is COM200 of the Wine prefix (a dosdevices link),
#           and also a device path too long for the port's lock name
#           (ZKLINK_TEST_LONG_PORT)
#   usb     its pseudo-terminal is the device path \\.\zkusb (a dosdevices link)
#   tcp     it listens on 127.0.0.1:9100 (run this inside private-run.sh)
#   silent-dns  no simulator; the only name server is one on 127.0.0.1 that
#           never answers, and ZKLINK_TEST_PORT a host name only it could
#           resolve (run this inside private-run.sh)
#   none    no simulator at all
# The program finds the port's name in ZKLINK_TEST_PORT. These suites change
# the prefix's dosdevices, so they have a prefix of their own.
set -euo pipefail

if [ $# -lt 4 ]; then
    echo "usage: $0 SIMULATOR PROGRAM.exe serial|usb|tcp|silent-dns|none FILTER [SIMULATOR OPTIONS...]" >&2
    exit 2
fi
simulator=$1
program=$2
kind=$3
filter=$4
shift 4

here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../support/wine-run.sh
build_dir=$(cd "$(dirname "$program")" && pwd)
while [ "$build_dir" != / ] && [ ! -f "$build_dir/CMakeCache.txt" ]; do
    build_dir=$(dirname "$build_dir")
done
tree_key=$(printf '%s' "$build_dir" | cksum | cut -d' ' -f1)
export ZKPOS_WINE_ROOT=${TMPDIR:-/tmp}/zkpos-wine-$(id -u)-$tree_key-zklink
dosdevices=$ZKPOS_WINE_ROOT/prefix/dosdevices

# Wine makes its sockets in the Wine server, so the server must live in the
# network namespace of the case: cases that use the network end any server
# that an earlier case left lingering, before and after they run.
end_wine_server() {
    WINEPREFIX=$ZKPOS_WINE_ROOT/prefix timeout 60 wineserver -k >/dev/null 2>&1 || true
}
case "$kind" in
    tcp | silent-dns | none) end_wine_server ;;
esac

# The first run makes the prefix; only then is there a dosdevices folder.
"$wine_run" "$program" --gtest_list_tests >/dev/null

. "$here/../support/simulator-session.sh"
make_scratch
links=()
on_exit 'rm -f "${links[@]}"'
case "$kind" in
    tcp | silent-dns | none) on_exit end_wine_server ;;
esac
require_private() {
    if [ "${ZKPOS_PRIVATE_RUN:-}" != 1 ]; then
        echo "run-with-simulator: $kind cases change the network; run them inside private-run.sh" >&2
        exit 2
    fi
}

case "$kind" in
    serial)
        start_simulator "$simulator" 240 --no-tcp "$@"
        links+=("$dosdevices/com200")
        ln -sfn "$simulator_pty" "$dosdevices/com200"
        export ZKLINK_TEST_PORT=COM200
        # 240 characters: a path Windows opens, but the lock name made of it
        # is longer than kernel object names may be.
        long_name=zklong$(printf '%0234d' 0)
        links+=("$dosdevices/$long_name")
        ln -sfn "$simulator_pty" "$dosdevices/$long_name"
        export ZKLINK_TEST_LONG_PORT="\\\\.\\$long_name"
        ;;
    usb)
        start_simulator "$simulator" 240 --no-tcp "$@"
        links+=("$dosdevices/zkusb")
        ln -sfn "$simulator_pty" "$dosdevices/zkusb"
        export ZKLINK_TEST_PORT='\\.\zkusb'
        ;;
    tcp)
        require_private
        start_simulator "$simulator" 240 --no-pty --port 9100 "$@"
        export ZKLINK_TEST_PORT=127.0.0.1:9100
        ;;
    silent-dns)
        require_private
        "$(dirname "$simulator")/zkpos-silent-name-server" 240 >"$scratch/name-server.out" 2>&1 &
        name_server_pid=$!
        on_exit 'kill "$name_server_pid" 2>/dev/null || true; wait "$name_server_pid" 2>/dev/null || true'
        for _ in $(seq 100); do
            grep -q listening "$scratch/name-server.out" && break
            kill -0 "$name_server_pid" 2>/dev/null || break
            sleep 0.1
        done
        if ! grep -q listening "$scratch/name-server.out"; then
            cat "$scratch/name-server.out" >&2
            exit 1
        fi
        # The private mount namespace keeps this from the machine's own.
        printf 'nameserver 127.0.0.1\noptions timeout:5 attempts:2\n' >"$scratch/resolv.conf"
        mount --bind "$scratch/resolv.conf" /etc/resolv.conf
        export ZKLINK_TEST_PORT=printer.zkpos-silent.test
        ;;
    none)
        export ZKLINK_TEST_PORT=
        ;;
    *)
        echo "run-with-simulator: unknown kind '$kind'" >&2
        exit 2
        ;;
esac

status=0
"$wine_run" "$program" --gtest_filter="$filter" || status=$?
if [ "$status" -ne 0 ] && [ -n "$simulator_pid" ]; then
    echo "--- simulator events:" >&2
    cat "$scratch/simulator.err" >&2
fi
exit "$status"
