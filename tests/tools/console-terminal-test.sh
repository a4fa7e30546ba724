#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The console at a real terminal (a tmux pane): arrow keys, Home, End and the
# other editing keys edit the line and never reach the device, history brings
# a command back for editing, Ctrl-C stops a long read and returns to the
# prompt, Ctrl-D leaves with status 0. The simulator's event log counts every
# byte the device received.
#   console-terminal-test.sh CONSOLE_LAUNCHER SIMULATOR
# Runs inside tests/support/private-run.sh (127.0.0.1:9100 is this run's own).
set -uo pipefail

console=$1
simulator=$2

if [ "${ZKPOS_PRIVATE_RUN:-}" != 1 ]; then
    echo "console-terminal-test: run me through tests/support/private-run.sh" >&2
    exit 1
fi

scratch=$(mktemp -d)
tmux=(tmux -S "$scratch/tmux.socket" -f /dev/null)
pids=()
cleanup() {
    "${tmux[@]}" kill-server 2>/dev/null
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

screen() {
    "${tmux[@]}" capture-pane -p -J -S -5000 -t console
}

# Waits (at most $2 seconds) until the pane shows $1 for the $3-th time (default 1).
wait_for() {
    local want=$1 limit=$2 times=${3:-1}
    for _ in $(seq $((limit * 20))); do
        [ "$(screen | grep -cF -- "$want")" -ge "$times" ] && return 0
        sleep 0.05
    done
    fail "the pane never showed '$want' ($times times) within $limit s:"$'\n'"$(screen | grep -v '^$' | tail -25)"
    return 1
}

# Bytes the simulator of log $1 has received so far.
received() {
    awk '/received [0-9]+ byte/ { sum += $(NF - 1) } END { print sum + 0 }' "$1"
}

keys() {
    "${tmux[@]}" send-keys -t console "$@"
}

start_simulator() {
    local name=$1
    shift
    "$simulator" --seconds 120 "$@" >"$scratch/$name.out" 2>"$scratch/$name.log" &
    pids+=($!)
    for _ in $(seq 100); do
        grep -q '^\(tcp\|pty\) ' "$scratch/$name.out" 2>/dev/null && break
        sleep 0.05
    done
}

# An echoing device on TCP, and a terminal device that answers every frame
# with a megabyte: reading that takes far longer than anyone waits.
start_simulator echo --no-pty
start_simulator flood --no-tcp --large 1048576
flood_pty=$(sed -n 's/^pty //p' "$scratch/flood.out")
grep -q '^tcp 127.0.0.1:9100$' "$scratch/echo.out" && [ -c "$flood_pty" ] || {
    echo "the simulators did not start" >&2
    cat "$scratch"/*.log >&2
    exit 1
}

"${tmux[@]}" new-session -d -s console -x 150 -y 50 \
    "env HOME=$scratch $console; echo \"console exit status \$?\"; sleep 30"
wait_for 'zkpos>' 20 || exit 1

keys 'open tcp 127.0.0.1' Enter
wait_for 'opened 127.0.0.1 on bus Ethernet' 20
keys 'send <STX>one<ETX>' Enter
wait_for 'sent 5 bytes' 10
keys read Enter
wait_for 'received 6 bytes: <ACK><STX>one<ETX>' 10
[ "$(received "$scratch/echo.log")" -eq 5 ] || fail "the device got $(received "$scratch/echo.log") bytes, not 5"

# Cursor keys in the middle of a line move the cursor; only the text goes out.
keys 'send <STX>tw' Left Left Right Right Home End 'o<ETX>' Enter
wait_for 'sent 5 bytes' 10 2
keys read Enter
wait_for 'received 6 bytes: <ACK><STX>two<ETX>' 10
sleep 0.5
[ "$(received "$scratch/echo.log")" -eq 10 ] ||
    fail "cursor keys reached the device: it got $(received "$scratch/echo.log") bytes, not 5 + 5"

# Every other editing key, on a line that is then emptied: nothing reaches the device.
keys Up Down PageUp PageDown Insert Delete F1 F5 F12 BSpace C-u Enter
sleep 1
[ "$(received "$scratch/echo.log")" -eq 10 ] ||
    fail "editing keys reached the device: it got $(received "$scratch/echo.log") bytes, not 10"
[ "$(screen | grep -c '^sent ')" -eq 2 ] || fail "something else was sent:"$'\n'"$(screen | grep -v '^$')"

# History: the first send comes back with Up four times, is edited in the middle, and goes out changed.
keys Up Up Up Up Left Left Left Left Left X Enter
wait_for 'sent 6 bytes' 10
keys read Enter
wait_for 'received 7 bytes: <ACK><STX>oneX<ETX>' 10
sleep 0.5
[ "$(received "$scratch/echo.log")" -eq 16 ] ||
    fail "the device got $(received "$scratch/echo.log") bytes, not 5 + 5 + 6"

# Ctrl-C during a read that would run for a minute: the console stops after the
# read in progress and comes back to the prompt.
keys "open serial $flood_pty" Enter
wait_for "opened $flood_pty on bus RS232" 20
keys 'send <STX>go<ETX>' Enter 'read --until-quiet 2' Enter
wait_for 'received ' 10
sleep 1
keys C-c
wait_for 'stopped by Ctrl-C' 10
wait_for 'quiet: ' 10
keys close Enter
wait_for 'closed' 10
sleep 0.5

# Ctrl-D on an empty line leaves, with status 0.
keys C-d
wait_for 'console exit status 0' 15

grep -qx 'open tcp 127.0.0.1' <(sed 's/^[0-9]*://' "$scratch/.zkpos_console_history" 2>/dev/null) ||
    fail "the history was not kept in \$HOME/.zkpos_console_history"

# Root with another user's $HOME, whose history file links to a file of theirs,
# keeps to the password file's home (user.home stands in for it); a malformed
# history there costs the history, not the console. Then root's own home with
# a linked history file: no history either.
other=$scratch/other root_home=$scratch/root-home own_home=$scratch/own-home
mkdir "$other" "$root_home" "$own_home" && chown 65534 "$other"
echo untouched >"$scratch/victim"
ln -s "$scratch/victim" "$other/.zkpos_console_history"
ln -s "$scratch/victim" "$own_home/.zkpos_console_history"
echo 'no history line' >"$root_home/.zkpos_console_history"
for home in "$other" "$own_home"; do
    # The server ends with its last session: the new one comes first.
    "${tmux[@]}" rename-session -t console done
    "${tmux[@]}" new-session -d -s console -x 150 -y 50 \
        "env HOME=$home JAVA_TOOL_OPTIONS=-Duser.home=$root_home $console; echo \"console exit status \$?\"; sleep 30"
    "${tmux[@]}" kill-session -t done
    if [ "$home" = "$other" ]; then
        wait_for "cannot read the history file $root_home/.zkpos_console_history" 20
    else
        wait_for "the history file $own_home/.zkpos_console_history is a link; going on without history" 20
    fi
    wait_for 'zkpos>' 20 && keys 'timeout 3 3' Enter && wait_for 'time-outs: write 3 s' 10
    keys quit Enter
    wait_for 'console exit status 0' 15
done
[ "$(cat "$scratch/victim")" = untouched ] || fail "root wrote through a linked history file"
[ "$(cat "$root_home/.zkpos_console_history")" = 'no history line' ] || fail "the malformed history was overwritten"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "console at a terminal: passed"
