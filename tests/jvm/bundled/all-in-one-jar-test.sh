#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The all-in-one jar on its own: JVMs with an empty java.library.path and no
# -Dzkpos.library run the Java example against the simulator with nothing but
# zkpos-all.jar on the class path, so the library can only come from the jar.
#   all-in-one-jar-test.sh CASE JAVA JAR_TOOL ALL_JAR PLAIN_JAR EXAMPLE_SOURCE SIMULATOR TAMPERED_LIBRARY
# Runs inside tests/support/private-run.sh (the simulator takes 127.0.0.1:9100).
# ZKPOS_EMULATOR, when set, is the qemu-user program that runs JAVA (an ARM JVM).
set -uo pipefail

case_name=$1
java=$2
emulator=${ZKPOS_EMULATOR:-}
jar_tool=$3
all_jar=$4
plain_jar=$5
example=$6
simulator=$7
tampered=$8

. "$(dirname "$0")/../../support/simulator-session.sh"
require_private_run
make_scratch
fail_label=$case_name

# What the jar carries, unpacked for comparison.
mkdir "$scratch/jar"
(cd "$scratch/jar" && "$jar_tool" --extract --file "$all_jar") || {
    echo "all-in-one-jar-test: cannot unpack $all_jar" >&2
    exit 1
}
natives=$scratch/jar/com/zelkor/jpos/services/natives
version=$(sed -n 's/^version=//p' "$natives/index.properties")
[ -n "$version" ] || {
    echo "all-in-one-jar-test: no version in the jar's index" >&2
    exit 1
}

# A cache folder and a temporary folder of this run's own.
export XDG_CACHE_HOME=$scratch/cache
mkdir -p "$scratch/tmp"
jvm=("$java")
[ -z "$emulator" ] || jvm=("$emulator" "$java" -Djdk.lang.Process.launchMechanism=VFORK)
settings=$("${jvm[@]}" -XshowSettings:properties -version 2>&1)
case "$(sed -n 's/^ *os.arch = //p' <<<"$settings")/$(sed -n 's/^ *sun.arch.data.model = //p' <<<"$settings")" in
aarch64/64) platform=linux-aarch64 library=libZkPosSo64.so ;;
arm/32) platform=linux-armhf library=libZkPosSo.so ;;
*/32) platform=linux-x86-32 library=libZkPosSo.so ;;
*) platform=linux-x86-64 library=libZkPosSo64.so ;;
esac
extracted=$XDG_CACHE_HOME/zkpos/$version/$platform/$library

# An emulated JVM would spend most of a minute compiling the example in its
# source launcher: the machine's own javac compiles it once instead.
main=$example
if [ -n "$emulator" ]; then
    mkdir "$scratch/classes"
    "$(dirname "$jar_tool")/javac" -d "$scratch/classes" -cp "$all_jar" "$example" || {
        echo "all-in-one-jar-test: cannot compile $example" >&2
        exit 1
    }
    main=$(basename "$example" .java)
fi

start_simulator "$simulator" 120 --no-pty
as_user=()

# Runs the example with the given class path and message; output in $scratch/out.N.
run_example() {
    local class_path=$1 message=$2 output=$3
    shift 3
    [ "$main" = "$example" ] || class_path=$class_path:$scratch/classes
    timeout 60 "${as_user[@]}" "${jvm[@]}" -Djava.io.tmpdir="$scratch/tmp" -Djava.library.path= "$@" \
        -cp "$class_path" "$main" 127.0.0.1 "$message" >"$output" 2>&1 </dev/null
}

expect_reply() {
    local status=$1 output=$2 message=$3
    [ "$status" -eq 0 ] || fail "the JVM exited with $status:"$'\n'"$(cat "$output")"
    grep -qF "reply $((${#message} + 3)) bytes: <06><02>$message<03>" "$output" ||
        fail "no echo of '$message' in:"$'\n'"$(cat "$output")"
}

expect_extracted_copy() {
    [ -f "$extracted" ] || fail "$extracted was not extracted"
    cmp -s "$extracted" "$natives/$platform/$library" ||
        fail "$extracted is not the jar's $library"
    local folder
    for folder in "$XDG_CACHE_HOME/zkpos" "$XDG_CACHE_HOME/zkpos/$version" \
        "$XDG_CACHE_HOME/zkpos/$version/$platform"; do
        [ "$(stat -c %a "$folder")" = 700 ] || fail "$folder has mode $(stat -c %a "$folder"), not 700"
    done
    if grep -q '\.part$' <<<"$(ls -A "$(dirname "$extracted")")"; then
        fail "a partly written copy was left behind"
    fi
}

case "$case_name" in
alone)
    run_example "$all_jar" "from the jar" "$scratch/out"
    expect_reply $? "$scratch/out" "from the jar"
    expect_extracted_copy
    # The second JVM finds the checked copy and loads it again.
    run_example "$all_jar" "once more" "$scratch/out"
    expect_reply $? "$scratch/out" "once more"
    ;;
concurrent)
    # Rounds of two JVMs started at the same moment on an empty cache.
    for round in 1 2 3; do
        rm -rf "$XDG_CACHE_HOME"
        run_example "$all_jar" "first $round" "$scratch/out.1" &
        first=$!
        run_example "$all_jar" "second $round" "$scratch/out.2" &
        second=$!
        wait "$first"
        expect_reply $? "$scratch/out.1" "first $round"
        wait "$second"
        expect_reply $? "$scratch/out.2" "second $round"
        expect_extracted_copy
    done
    ;;
tampered)
    run_example "$all_jar" "first" "$scratch/out"
    expect_reply $? "$scratch/out" "first"
    # A changed file under the library's name: loading it would end the JVM
    # with status 97.
    chmod u+w "$extracted"
    cp "$tampered" "$extracted"
    run_example "$all_jar" "after tampering" "$scratch/out"
    expect_reply $? "$scratch/out" "after tampering"
    expect_extracted_copy
    # A link in its place, to the same changed library.
    rm -f "$extracted"
    ln -s "$tampered" "$extracted"
    run_example "$all_jar" "after a link" "$scratch/out"
    expect_reply $? "$scratch/out" "after a link"
    [ -L "$extracted" ] && fail "the link was left in place"
    expect_extracted_copy
    ;;
unsafe-folder)
    # A cache folder that others may write is passed over for one of the
    # user's own in the temporary folder; the library there is still loaded.
    mkdir -p "$XDG_CACHE_HOME/zkpos"
    chmod 777 "$XDG_CACHE_HOME/zkpos"
    run_example "$all_jar" "elsewhere" "$scratch/out"
    expect_reply $? "$scratch/out" "elsewhere"
    [ -z "$(ls -A "$XDG_CACHE_HOME/zkpos")" ] || fail "something was extracted into a folder others may write"
    fallback=$scratch/tmp/zkpos-$(id -un)/$version/$platform/$library
    cmp -s "$fallback" "$natives/$platform/$library" || fail "$fallback is not the jar's $library"
    # Another user made the fallback first: a fresh folder serves, and goes.
    chown 65534 "$scratch/tmp/zkpos-$(id -un)"
    rm -f "$fallback"
    run_example "$all_jar" "fresh" "$scratch/out"
    expect_reply $? "$scratch/out" "fresh"
    [ "$(find "$scratch/tmp" -name "$library" | wc -l)" -eq 0 ] || fail "a fresh folder was left behind"
    # With no safe folder at all, the error says so and names what was tried.
    chmod 777 "$scratch/tmp"
    run_example "$all_jar" "nowhere" "$scratch/out"
    status=$?
    [ "$status" -ne 0 ] || fail "a JVM loaded a library from folders others may write"
    grep -qF "on java.library.path ()" "$scratch/out" || fail "java.library.path not named in:"$'\n'"$(cat "$scratch/out")"
    grep -qF "may be written by others" "$scratch/out" || fail "the unsafe folders not named in:"$'\n'"$(cat "$scratch/out")"
    ;;
hostile-parent)
    # A folder above the cache that another user owns, or may write, lets
    # them exchange the checked folder for theirs before the load: the cache
    # is passed over for the temporary folder.
    for owner in 65534:755 0:775; do
        export XDG_CACHE_HOME=$scratch/shared-${owner%:*}/cache
        mkdir -p "$XDG_CACHE_HOME"
        chown "${owner%:*}" "$(dirname "$XDG_CACHE_HOME")"
        chmod "${owner#*:}" "$(dirname "$XDG_CACHE_HOME")"
        run_example "$all_jar" "not below $owner" "$scratch/out"
        expect_reply $? "$scratch/out" "not below $owner"
        [ -z "$(ls -A "$XDG_CACHE_HOME")" ] || fail "extracted below a folder of $owner"
    done
    cmp -s "$scratch/tmp/zkpos-$(id -un)/$version/$platform/$library" "$natives/$platform/$library" ||
        fail "the library was not extracted into the temporary folder"
    ;;
no-passwd-entry)
    # A container's user id that the password file does not know: Java says
    # user.name and user.home are "?".
    uid=54321
    ! getent passwd "$uid" >/dev/null || fail "user id $uid has a password entry here"
    unset XDG_CACHE_HOME
    chmod 755 "$scratch" && chmod 1777 "$scratch/tmp"
    mkdir "$scratch/work" && chown "$uid" "$scratch/work" && cd "$scratch/work" || exit 1
    as_user=(setpriv --reuid="$uid" --regid="$uid" --clear-groups --)
    run_example "$all_jar" "as $uid" "$scratch/out"
    expect_reply $? "$scratch/out" "as $uid"
    [ -z "$(ls -A "$scratch/work")" ] || fail "folders were made in the working directory: $(ls -A "$scratch/work")"
    [ -f "$scratch/tmp/zkpos-uid$uid/$version/$platform/$library" ] || fail "not extracted into zkpos-uid$uid"
    ;;
full-root)
    # A full cache, then one mounted noexec: each time the next root serves.
    mkdir -p "$XDG_CACHE_HOME"
    for options in size=16k noexec; do
        mount -t tmpfs -o "$options" zkpos-cache "$XDG_CACHE_HOME" || fail "cannot mount a $options cache"
        run_example "$all_jar" "past $options" "$scratch/out"
        expect_reply $? "$scratch/out" "past $options"
        umount "$XDG_CACHE_HOME"
    done
    ;;
what-was-tried)
    # The plain jar carries nothing: its error names java.library.path alone.
    run_example "$plain_jar" "plain" "$scratch/out"
    [ $? -ne 0 ] || fail "the plain jar loaded a library from nowhere"
    grep -qF "cannot load the port library ZkPosSo" "$scratch/out" &&
        grep -qF "on java.library.path ()" "$scratch/out" ||
        fail "the error does not name java.library.path:"$'\n'"$(cat "$scratch/out")"
    grep -qiE "copy of|extract|zkpos.library \(|named by" "$scratch/out" &&
        fail "the plain jar's error names what it never tried:"$'\n'"$(cat "$scratch/out")"
    # A named file is the only place tried: the jar's copy does not hide a wrong setting.
    run_example "$all_jar" "named" "$scratch/out" -Dzkpos.library="$scratch/none/$library"
    [ $? -ne 0 ] || fail "a missing -Dzkpos.library file was passed over"
    grep -qF "tried the file $scratch/none/$library named by -Dzkpos.library" "$scratch/out" ||
        fail "the error does not name the file:"$'\n'"$(cat "$scratch/out")"
    grep -qE "java.library.path \(|copy of" "$scratch/out" &&
        fail "the error names places that were not tried:"$'\n'"$(cat "$scratch/out")"
    [ -e "$XDG_CACHE_HOME/zkpos" ] && fail "something was extracted although a file was named"
    ;;
*)
    echo "all-in-one-jar-test: no case $case_name" >&2
    exit 2
    ;;
esac

finish_checks
