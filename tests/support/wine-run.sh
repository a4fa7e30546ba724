#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs one Windows program under Wine: wine-run.sh program.exe [arguments...]
#
# The programs run in a Wine prefix of our own, never the user's ~/.wine: it is
# made once per build tree, in a temporary folder named after that tree, with a
# home folder of its own, so the Windows Documents folder that the trace log
# writes into is a private folder too. Nothing may wait for a display or a
# dialog: DISPLAY is dropped, the Mono and Gecko installers are switched off and
# the first start of the prefix is bounded.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 program.exe [arguments...]" >&2
    exit 2
fi
program=$1
shift

# The build tree is the nearest folder above the program that holds a CMake cache.
build_dir=$(cd "$(dirname "$program")" && pwd)
while [ "$build_dir" != / ] && [ ! -f "$build_dir/CMakeCache.txt" ]; do
    build_dir=$(dirname "$build_dir")
done
tree_key=$(printf '%s' "$build_dir" | cksum | cut -d' ' -f1)
root=${ZKPOS_WINE_ROOT:-${TMPDIR:-/tmp}/zkpos-wine-$(id -u)-$tree_key}

export WINEPREFIX=$root/prefix
export HOME=$root/home
export XDG_CONFIG_HOME=$root/home/.config
export XDG_DATA_HOME=$root/home/.local/share
export XDG_CACHE_HOME=$root/home/.cache
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$root" "$HOME"

# Tests may run side by side: the first one makes the prefix, the others wait for it.
{
    if ! flock -w 600 9; then
        echo "wine-run: timed out waiting for the prefix lock in $root" >&2
        exit 1
    fi
    if [ ! -f "$root/ready" ]; then
        rm -rf "$WINEPREFIX"
        if ! timeout 300 wineboot -i >"$root/wineboot.log" 2>&1; then
            echo "wine-run: the first start of the Wine prefix failed or hung; see $root/wineboot.log" >&2
            exit 1
        fi
        timeout 60 wineserver -w || true
        # Wine links the profile folders to $HOME; real folders keep them apart
        # from one another, so a test that clears Documents touches nothing else.
        for link in "$WINEPREFIX"/drive_c/users/*/*; do
            if [ -L "$link" ]; then
                rm "$link"
                mkdir "$link"
            fi
        done
        touch "$root/ready"
    fi
} 9>"$root/lock"

# The Wine server, and the background services that the first program of a
# server starts, outlive the program. Started here, apart from the program's
# output, they hold no pipe of the caller open, which CTest would wait on after
# every test. The server lingers a few seconds, so tests run back to back share
# one; when it runs already, wineserver ends at once with a non-zero status.
{
    flock -w 600 8 || true
    if wineserver -p10 </dev/null >/dev/null 2>&1 8>&-; then
        timeout 120 wineboot </dev/null >/dev/null 2>&1 8>&- || true
    fi
} 8>"$root/server.lock"

# Programs of one build take turns in the prefix: they share its Documents
# folder, where the trace log goes, and clear and read it. The lock stays with
# flock (-o), not with Wine's background processes, which outlive the program.
exec flock -o -w 900 "$root/run.lock" wine "$program" "$@"
