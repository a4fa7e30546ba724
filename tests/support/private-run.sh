#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs a command in a mount and network namespace of its own:
#  - /var/log is a fresh, empty tmpfs, so the library's trace file
#    /var/log/ZkPosSoLog.txt is private to this run and starts empty, and the
#    machine's real /var/log is never written;
#  - the only network is a loopback that nobody else shares, so suites that
#    listen on or connect to 127.0.0.1:9100 never meet another run, and name
#    lookups fail at once instead of waiting for a DNS server.
# The command finds ZKPOS_PRIVATE_RUN=1 in its environment; suites that write
# the trace file refuse to run without it.
# Needs root (or the right to create namespaces): CI runs as root.
# Usage: private-run.sh COMMAND [ARGUMENT...]
set -eu

if [ "$#" -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGUMENT...]" >&2
    exit 2
fi

# The mount below must only ever happen inside the new namespaces, so the
# second stage is chosen by an argument that only this script passes, never
# by the environment a caller might have inherited.
if [ "$1" != "--inside-private-namespaces" ]; then
    exec unshare --mount --net --propagation private -- "$0" --inside-private-namespaces "$@"
fi
shift

mount -t tmpfs -o mode=0755 zkpos-private-log /var/log
ip link set dev lo up
ZKPOS_PRIVATE_RUN=1
export ZKPOS_PRIVATE_RUN
exec "$@"
