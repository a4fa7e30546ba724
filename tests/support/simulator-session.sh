# SPDX-License-Identifier: Apache-2.0
# What the test scripts that drive zkpos-simulator have in common; sourced:
#   session_name=NAME  the script's name, for its messages
#   require_private_run  ends the script (status 1) unless it runs inside
#                      tests/support/private-run.sh
#   make_scratch [DIR] sets scratch: a new folder removed at exit, or DIR
#                      emptied (only a folder named NAME-scratch) and
#                      left for the caller to look into
#   on_exit COMMAND    one more step for the exit cleanup, which stops the
#                      simulator first and removes the scratch folder last
#   start_simulator SIMULATOR SECONDS [OPTIONS...]
#                      starts it for at most SECONDS in the background and
#                      waits (bounded) until it has named what it opened:
#                      sets simulator_pty and simulator_tcp; its lines go to
#                      $scratch/simulator.out and .err. Ends the script
#                      (status 1) when it does not start, or when it listens
#                      anywhere but 127.0.0.1:9100.
#   fail_label=LABEL, fail MESSAGE, finish_checks
#                      counted failures, and the script's last word on them.

session_name=${session_name:-$(basename "$0" .sh)}
scratch=
session_owns_scratch=
simulator_pid=
simulator_pty=
simulator_tcp=
session_exit_steps=()
failures=0

require_private_run() {
    if [ "${ZKPOS_PRIVATE_RUN:-}" != 1 ]; then
        echo "$session_name: run me through tests/support/private-run.sh" >&2
        exit 1
    fi
}

make_scratch() {
    if [ $# -gt 0 ]; then
        case "$1" in
            /?*) ;;
            *)
                echo "$session_name: the scratch folder must be an absolute path, not '$1'" >&2
                exit 1
                ;;
        esac
        # Only a folder named as a scratch folder is emptied: a wrong argument
        # must never wipe anything else.
        case "$(basename "$1")" in
            *-scratch) ;;
            *)
                echo "$session_name: '$1' is not named NAME-scratch; not emptying it" >&2
                exit 1
                ;;
        esac
        scratch=$1
        rm -rf "$scratch"
        mkdir -p "$scratch"
    else
        scratch=$(mktemp -d)
        session_owns_scratch=yes
    fi
}

on_exit() {
    session_exit_steps+=("$1")
}

session_cleanup() {
    if [ -n "$simulator_pid" ]; then
        kill "$simulator_pid" 2>/dev/null || true
        wait "$simulator_pid" 2>/dev/null || true
    fi
    local step
    for step in "${session_exit_steps[@]}"; do
        eval "$step" || true
    done
    if [ -n "$session_owns_scratch" ]; then
        # Tests may leave read-only files and folders behind.
        chmod -R u+w "$scratch" 2>/dev/null || true
        rm -rf "$scratch"
    fi
}
trap session_cleanup EXIT

start_simulator() {
    local simulator=$1 seconds=$2
    shift 2
    # Its first lines name what it opened: "pty /dev/pts/N" before "tcp ADDRESS".
    local awaited=tcp option
    for option in "$@"; do
        if [ "$option" = --no-tcp ]; then
            awaited=pty
        fi
    done
    "$simulator" --seconds "$seconds" "$@" >"$scratch/simulator.out" 2>"$scratch/simulator.err" &
    simulator_pid=$!
    for _ in $(seq 200); do
        grep -q "^$awaited " "$scratch/simulator.out" 2>/dev/null && break
        kill -0 "$simulator_pid" 2>/dev/null || break
        sleep 0.05
    done
    simulator_pty=$(sed -n 's/^pty //p' "$scratch/simulator.out")
    simulator_tcp=$(sed -n 's/^tcp //p' "$scratch/simulator.out")
    if ! grep -q "^$awaited " "$scratch/simulator.out" ||
        { [ "$awaited" = tcp ] && [ "$simulator_tcp" != 127.0.0.1:9100 ]; }; then
        echo "$session_name: the simulator $simulator did not start:" >&2
        cat "$scratch/simulator.out" "$scratch/simulator.err" >&2
        exit 1
    fi
}

fail() {
    echo "FAIL [${fail_label:-$session_name}]: $*" >&2
    failures=$((failures + 1))
}

finish_checks() {
    local label=${fail_label:-$session_name}
    if [ "$failures" -ne 0 ]; then
        echo "[$label] $failures check(s) failed" >&2
        exit 1
    fi
    echo "[$label] passed"
}
