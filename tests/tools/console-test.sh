#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The console scripted against the simulator, one case per run:
#   console-test.sh CASE CONSOLE_LAUNCHER SIMULATOR
# Runs inside tests/support/private-run.sh: the simulator takes 127.0.0.1:9100
# and the library's trace goes to a private /var/log.
set -uo pipefail

case_name=$1
console=$2
simulator=$3

. "$(dirname "$0")/../support/simulator-session.sh"
require_private_run
make_scratch
fail_label=$case_name

# Runs the console with the given arguments (at most 60 s); sets status, out, err.
run_console() {
    timeout 60 "$console" "$@" >"$scratch/out" 2>"$scratch/err" </dev/null
    status=$?
    out=$(cat "$scratch/out")
    err=$(cat "$scratch/err")
}

expect_status() {
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1 (stderr: $err)"
}

expect_out() {
    grep -qF -- "$1" "$scratch/out" || fail "no line '$1' in the output:"$'\n'"$out"
}

expect_one_error_line() {
    local lines
    lines=$(wc -l <"$scratch/err")
    [ "$lines" -eq 1 ] && grep -q "^error: $1" "$scratch/err" ||
        fail "expected one line 'error: $1...' on stderr, got:"$'\n'"$err"
}

# A refusal: status 2 and one error line that says why.
expect_refused() {
    expect_status 2
    expect_one_error_line "$1"
}

# A failed open: status 3, the reason on the error line, then the facts, indented.
expect_open_failed() {
    expect_status 3
    grep -q "^error: open failed: $1" "$scratch/err" ||
        fail "expected 'error: open failed: $1...' on stderr, got:"$'\n'"$err"
    grep -q '^  - ' "$scratch/err" || fail "no facts under the reason:"$'\n'"$err"
}

expect_err() {
    grep -qF -- "$1" "$scratch/err" || fail "no line '$1' on stderr:"$'\n'"$err"
}

expect_trace() {
    grep -qF -- "$1" /var/log/ZkPosSoLog.txt 2>/dev/null ||
        fail "no trace line with '$1' in /var/log/ZkPosSoLog.txt"
}

case "$case_name" in
tcp-echo)
    start_simulator "$simulator" 60 --no-pty
    run_console -e 'open tcp 127.0.0.1 --trace 5' -e 'send <STX>Hello<ETX>' -e read -e close
    expect_status 0
    expect_out 'opened 127.0.0.1 on bus Ethernet'
    expect_out 'sent 7 bytes'
    expect_out 'received 8 bytes: <ACK><STX>Hello<ETX>'
    expect_out '0000  06 02 48 65 6c 6c 6f 03'
    expect_out '|..Hello.|'
    expect_trace 'ZkPosSo::openDevice --> m_iDeviceType 2'
    expect_trace 'ZkPosSo::WriteToEthernetPort --> strToSend (|0x02|Hello|0x03|)'
    ;;
pty-echo)
    start_simulator "$simulator" 60
    [ -c "$simulator_pty" ] || fail "the simulator named no terminal: '$simulator_pty'"
    # Each answer is complete before the read, so each comes in one piece.
    run_console -e "open serial $simulator_pty 9600 --trace 3" -e 'send --hex 02 41 80 ff 0d 0a 03' \
        -e 'sleep 0.3' -e 'read --until-quiet' -e 'send noise' -e 'read --until-quiet' \
        -e 'send <STX>A\x7f\\\<ETX> ok<ETX>' -e 'sleep 0.3' -e 'read --until-quiet'
    expect_status 0
    expect_out "opened $simulator_pty on bus RS232"
    expect_out 'received 8 bytes: <ACK><STX>A\x80\xff<CR><LF><ETX>'
    expect_out '06 02 41 80 ff 0d 0a 03'
    expect_out 'quiet: 8 bytes in 1 read'
    # Bytes outside a frame are line noise to the device: no answer at all.
    expect_out 'quiet: 0 bytes in 0 reads'
    # Escapes read back as they were written: DEL, a backslash, a literal "<ETX>".
    expect_out 'received 14 bytes: <ACK><STX>A\x7f\\\<ETX> ok<ETX>'
    expect_out '06 02 41 7f 5c 3c 45 54 58 3e 20 6f 6b 03'
    expect_trace 'ZkPosSo::openDevice --> m_iDeviceType 1'
    expect_trace "ZkPosSo::ConvertPort --> strPort $simulator_pty"
    ;;
enq-status)
    start_simulator "$simulator" 60 --no-pty --status 0x21
    run_console -e 'open tcp 127.0.0.1' -e 'send <enq>' -e read
    expect_status 0
    expect_out 'received 1 byte: !'
    expect_out '0000  21 '
    ;;
large-block)
    start_simulator "$simulator" 60 --no-pty --large 1500
    run_console -e 'open tcp 127.0.0.1' -e 'send <STX>x<ETX>' -e 'sleep 0.3' -e 'read --until-quiet'
    expect_status 0
    # The library hands over at most 1024 bytes per read; the rest comes next.
    expect_out 'received 1024 bytes: <ACK><STX>ABCDEFGHIJKLMNOPQRSTUVWXYZABC'
    expect_out 'received 479 bytes: '
    expect_out 'quiet: 1503 bytes in 2 reads'
    ;;
slow-device)
    start_simulator "$simulator" 60 --no-pty --delay 2500
    run_console -e 'open tcp 127.0.0.1 --read-timeout 1' -e 'send <STX>slow<ETX>' -e read \
        -e 'timeout 5 5' -e read
    expect_status 0
    # The first read gives up after one second, the second one waits for the answer.
    expect_out 'nothing received'
    expect_out 'received 7 bytes: <ACK><STX>slow<ETX>'
    ;;
silent-device)
    start_simulator "$simulator" 60 --no-pty --silent
    started=$(date +%s)
    run_console -e 'open tcp 127.0.0.1 --read-timeout 1' -e 'send <STX>anyone?<ETX>' \
        -e 'read --until-quiet 1'
    expect_status 0
    expect_out 'quiet: 0 bytes in 0 reads'
    [ $(($(date +%s) - started)) -le 20 ] || fail "a silent device held the console too long"
    ;;
script-file-and-stdin)
    start_simulator "$simulator" 60 --no-pty
    printf '%s\n' '# a comment, then a blank line' '' 'open tcp 127.0.0.1' \
        'send <STX>from a file<ETX>' 'read' 'quit' 'send never sent' >"$scratch/script"
    run_console "$scratch/script"
    expect_status 0
    expect_out 'received 14 bytes: <ACK><STX>from a file<ETX>'
    grep -q 'never sent' "$scratch/out" && fail "commands after quit ran"
    timeout 60 "$console" - >"$scratch/out" 2>"$scratch/err" <<'SCRIPT'
open tcp 127.0.0.1
send --hex 02 73 74 64 69 6e 03
read
SCRIPT
    status=$? out=$(cat "$scratch/out") err=$(cat "$scratch/err")
    expect_status 0
    expect_out 'received 8 bytes: <ACK><STX>stdin<ETX>'
    ;;
bad-arguments)
    for arguments in "--bogus" "-e frobnicate" "-e open" "-e open_tcp_127.0.0.1_--trace_9" \
        "-e open_tcp_127.0.0.1_9600_extra" "-e open_tcp_127.0.0.1_--read-timeout_-1" \
        "-e open_tcp_127.0.0.1_fast" "-e send_\\q" "-e send_\\x4" "-e send_--hex_0g" \
        "-e read_--forever" "-e sleep_100" "-e timeout_1"; do
        read -r -a words <<<"$arguments"
        words=("${words[@]//_/ }")
        run_console "${words[@]}"
        expect_status 2
        expect_one_error_line ''
    done
    run_console -e 'open tcp 127.0.0.1 --trace 9'
    expect_one_error_line '--trace: .9. is not a whole number from 0 to 5'
    # A bad command in a script stops it there.
    start_simulator "$simulator" 60 --no-pty
    run_console -e 'open tcp 127.0.0.1' -e 'send <STX>one<ETX>' -e 'frobnicate' -e 'send <STX>two<ETX>'
    expect_status 2
    expect_out 'sent 5 bytes'
    grep -q 'two' "$scratch/out" && fail "the script went on after a bad command"
    ;;
failed-open)
    # Nothing listens on 127.0.0.1:9100 in this private network.
    run_console -e 'open tcp 127.0.0.1 --write-timeout 2 --trace 1'
    expect_open_failed 'The connection to 127.0.0.1 port 9100 was refused.'
    expect_trace 'ZkPosSo::OpenEthernetPort --> Error in connection()'
    grep -q 'add --trace' "$scratch/err" && fail "the old advice is still given: $err"
    run_console -e 'open serial /dev/zkpos-no-such-port'
    expect_open_failed 'The serial port /dev/zkpos-no-such-port does not exist on this machine.'
    expect_err '  - serial devices here: '
    run_console -e 'open tcp zkpos-no-such-host.invalid'
    expect_open_failed 'The host name "zkpos-no-such-host.invalid" does not resolve'
    ;;
mistakes-refused)
    # Each of these used to pass silently and do something else than asked.
    run_console -e 'open tcpp 127.0.0.1'
    expect_refused "open: unknown bus 'tcpp'; the buses are serial (RS232) and tcp (Ethernet)"
    run_console -e 'open serial /dev/zkpos-port 115200'
    expect_refused "open: baud rate '115200' is not one the library sets; use 9600, 19200, 38400 or 57600"
    run_console -e 'open tcp 127.0.0.1 9101'
    expect_refused "open: a TCP device takes no baud rate ('9101'); the Linux library always connects to TCP port 9100"
    run_console -e 'open tcp 127.0.0.1:9101'
    expect_refused "open: the Linux library takes no port in the address ('127.0.0.1:9101'): it always connects to TCP port 9100, so write open tcp 127.0.0.1"
    run_console -e 'send <EXT>'
    expect_refused 'unknown name <EXT>; the names are <NUL> <SOH> <STX> <ETX>'
    run_console -e 'send <STX >12.50<ETX>'
    expect_refused '<STX > has blanks in it; write <STX> for the control byte'
    run_console -e 'send -hex 1b 40'
    expect_refused "send: '-hex' looks like an option, and the only one is --hex"
    run_console -e 'open tcp 127.0.0.1 --read-timeout 0'
    expect_refused 'open: on TCP a time-out of 0 means no limit: a read waits for ever'
    # A literal angle bracket still goes through, escaped.
    start_simulator "$simulator" 60 --no-pty
    run_console -e 'open tcp 127.0.0.1' -e 'send <STX>\<EXT> a<b<ETX>' -e read -e 'timeout 0 0'
    expect_status 2
    expect_out 'received 12 bytes: <ACK><STX>\<EXT> a<b<ETX>'
    expect_one_error_line 'timeout: on TCP a time-out of 0 means no limit'
    # A leading blank is sent, and said; a leading dash goes out escaped.
    run_console -e 'open tcp 127.0.0.1' -e 'send  <STX>\-5<ETX>' -e read
    expect_status 0
    expect_out 'sent 5 bytes'
    expect_out 'received 5 bytes: <ACK><STX>-5<ETX>'
    expect_err 'warning: the text starts with 1 blank, which is sent too'
    # Confirmed, the time-out of 0 is taken, and on serial it needs no confirmation at all.
    run_console -e 'open tcp 127.0.0.1' -e 'timeout 5 0 --forever' -e 'open tcp 127.0.0.1 --forever'
    expect_status 0
    expect_out 'time-outs: write 5 s, read 0 s'
    expect_out 'opened 127.0.0.1 on bus Ethernet'
    ;;
not-a-terminal)
    # Written as a serial line, a file is overwritten from its first byte.
    printf 'keep me' >"$scratch/file"
    mkfifo "$scratch/fifo"
    for kind in "$scratch/file:a regular file" "$scratch/fifo:a FIFO (named pipe)" \
        "/dev/null:a character device that is no terminal"; do
        run_console -e "open serial ${kind%%:*}" -e 'send XYZW'
        expect_refused "open: ${kind%%:*} is ${kind#*:}, not a serial device"
    done
    [ "$(cat "$scratch/file")" = 'keep me' ] || fail "the file was written: $(cat "$scratch/file")"
    cd "$scratch" || exit 1
    run_console -e 'open serial com1'
    expect_refused "open: 'com1' is no port name (COM1 to COM4 are written in capitals)"
    [ ! -e "$scratch/com1" ] || fail "./com1 was made"
    ;;
system-console)
    # This run's mount namespace gets a console list that names the simulator's terminal.
    start_simulator "$simulator" 60
    consoles=/sys/class/tty/console/active
    [ -e "$consoles" ] || consoles=/proc/consoles
    printf '%s\n' "${simulator_pty#/dev/}" >"$scratch/consoles"
    mount --bind "$scratch/consoles" "$consoles" || fail "cannot stand in for $consoles"
    run_console -e "open serial $simulator_pty"
    expect_refused "open: $simulator_pty is the system console of this machine"
    expect_err 'Add --force if the device really is there'
    run_console -e "open serial $simulator_pty --force" -e 'send <STX>x<ETX>' -e 'sleep 0.3' -e 'read --until-quiet'
    expect_status 0
    expect_out "opened $simulator_pty on bus RS232"
    expect_out 'received 4 bytes: <ACK><STX>x<ETX>'
    run_console -e ports
    expect_status 0
    # What is listed depends on the machine; every line must say who may use the device.
    grep -qvE '^(/dev/[^ ]+  [^ :]+:[^ ]+ [-c][-rwxsStT]{9}  (read/write|no access) for root(  WARNING: the system console)?|no serial devices here .*|> ports)$' \
        "$scratch/out" && fail "a ports line of another shape:"$'\n'"$out"
    ;;
trace-not-writable)
    # A service account may not write /var/log: the console says so instead of promising a trace.
    start_simulator "$simulator" 60 --no-pty
    # The build tree may be closed to nobody (a checkout under /root): nobody runs
    # copies of the library and the jars the launcher names, in a directory open to all.
    copies=$scratch/for-nobody
    mkdir -m 755 "$copies"
    chmod 711 "$scratch"
    cp "$(sed -n 's/.*-Dzkpos.library="\([^"]*\)".*/\1/p' "$console")" "$copies/library.so"
    class_path=
    IFS=: read -r -a jars <<<"$(sed -n 's/.*-cp "\([^"]*\)".*/\1/p' "$console")"
    for jar in "${jars[@]}"; do
        cp "$jar" "$copies/" && class_path+=${class_path:+:}$copies/$(basename "$jar")
    done
    chmod 644 "$copies"/*
    timeout 60 setpriv --reuid=65534 --regid=65534 --clear-groups java -Dzkpos.library="$copies/library.so" \
        -cp "$class_path" com.zelkor.jpos.console.ZkPosConsole \
        -e 'open tcp 127.0.0.1 --trace 5' -e close >"$scratch/out" 2>"$scratch/err" </dev/null
    status=$? out=$(cat "$scratch/out") err=$(cat "$scratch/err")
    expect_status 0
    expect_out 'warning: Tracing is on, but the user nobody cannot write /var/log/ZkPosSoLog.txt'
    grep -q 'trace level 5 in' "$scratch/out" && fail "the console still claims a trace: $out"
    ;;
version)
    run_console --version
    expect_status 0
    simulator_version=$("$simulator" --version)
    [[ "$out" =~ ^zkpos-console\ [0-9]+(\.[0-9]+)+$ ]] || fail "not a version line: '$out'"
    [ "${out#zkpos-console }" = "${simulator_version#zkpos-simulator }" ] ||
        fail "console '$out' and simulator '$simulator_version' disagree"
    ;;
failed-write)
    run_console -e 'send <STX>x<ETX>'
    expect_status 4
    expect_one_error_line 'send: no port is open'
    # The device hangs up as soon as it is connected: the first sends may still
    # be taken by the kernel, a later one finds the connection gone.
    start_simulator "$simulator" 60 --no-pty --close-after 0
    script=(-e 'open tcp 127.0.0.1')
    for _ in 1 2 3 4 5; do
        script+=(-e 'sleep 0.2' -e 'send <STX>anyone there?<ETX>')
    done
    run_console "${script[@]}"
    expect_status 4
    expect_one_error_line 'write failed: the port took none of the 15 bytes'
    ;;
missing-library)
    # The launcher names the library explicitly; without it the console says what it tried.
    launcher="$scratch/zkpos-console"
    sed 's|-Dzkpos.library="[^"]*"|-Dzkpos.library="/nonexistent/libZkPosSo64.so"|' "$console" >"$launcher"
    chmod +x "$launcher"
    grep -q /nonexistent "$launcher" || fail "could not point the launcher elsewhere"
    console=$launcher run_console -e 'open tcp 127.0.0.1'
    expect_status 5
    expect_one_error_line 'cannot load the port library ZkPosSo64: tried the file /nonexistent/libZkPosSo64.so'
    # help needs no library at all.
    run_console -e help
    expect_status 0
    expect_out 'Example against the device simulator'
    ;;
*)
    echo "console-test: unknown case '$case_name'" >&2
    exit 2
    ;;
esac

finish_checks
