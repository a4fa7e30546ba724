#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Times ZkPosDll64.dll with our ZkLink64.dll under Wine against the plain
# Windows calls, and prints the rows:
#   zklink-bench.sh PEER zkpos_bench_zklink.exe ROUNDS PER_ROUND
# Run it inside tests/support/private-run.sh: the peer takes 127.0.0.1:9100.
# The peer's pseudo-terminal becomes COM201 of a Wine prefix of the
# benchmark's own, whose Wine server is started inside this network namespace
# (Wine makes its sockets in the server).
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 PEER PROGRAM.exe ROUNDS PER_ROUND" >&2
    exit 2
fi
peer=$1
program=$2
rounds=$3
per_round=$4
if [ "${ZKPOS_PRIVATE_RUN:-}" != 1 ]; then
    echo "zklink-bench: the peer takes 127.0.0.1:9100; run this inside private-run.sh" >&2
    exit 2
fi

wine_run=$(cd "$(dirname "$0")/../../tests/support" && pwd)/wine-run.sh
tree_key=$(printf '%s' "$(cd "$(dirname "$program")" && pwd)" | cksum | cut -d' ' -f1)
export ZKPOS_WINE_ROOT=${TMPDIR:-/tmp}/zkpos-wine-$(id -u)-$tree_key-bench
end_wine_server() {
    WINEPREFIX=$ZKPOS_WINE_ROOT/prefix timeout 60 wineserver -k >/dev/null 2>&1 || true
}
end_wine_server
# A first run makes the prefix (its usage line only).
"$wine_run" "$program" >/dev/null 2>&1 || true

scratch=$(mktemp -d)
exec 3> >(exec "$peer" >"$scratch/peer.out" 2>"$scratch/peer.err")
cleanup() {
    exec 3>&-
    rm -f "$ZKPOS_WINE_ROOT/prefix/dosdevices/com201"
    end_wine_server
    rm -rf "$scratch"
}
trap cleanup EXIT
for _ in $(seq 100); do
    [ -s "$scratch/peer.out" ] && break
    sleep 0.1
done
terminal=$(head -n 1 "$scratch/peer.out")
if [ -z "$terminal" ]; then
    echo "zklink-bench: the peer did not start: $(cat "$scratch/peer.err")" >&2
    exit 1
fi
ln -sfn "$terminal" "$ZKPOS_WINE_ROOT/prefix/dosdevices/com201"
"$wine_run" "$program" COM201 "$rounds" "$per_round"
