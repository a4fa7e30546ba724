#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages with CPack, has lintian check them, installs them
# with dpkg into a scratch root and uses them from there:
#   package-test.sh amd64 VERSION BUILD_DIR SCRATCH_DIR
#     zkpos: contents, version, stripped binaries, Depends, the console from
#     the root against the simulator from the root, the trace file made by
#     postinst and turned over by the logrotate rule (on a 0775 /var/log),
#     removal, and purge, which takes the rule and the trace;
#   package-test.sh i386|arm64|armhf VERSION BUILD_DIR SCRATCH_DIR AMD64_BUILD_DIR
#     zkpos-ARCH beside zkpos (built from AMD64_BUILD_DIR): both install into
#     one root, that machine's JVM (the ARM ones under qemu-user) serves the
#     installed console with the installed library, and purging one leaves the
#     other whole, trace file and logrotate rule included, until the last is
#     purged.
# Runs inside tests/support/private-run.sh (the simulator takes
# 127.0.0.1:9100, the library writes /var/log/ZkPosSoLog.txt) and as root,
# since the packages' files belong to root and the trace file to dialout.
# Exit status 77: a cross build's test found no amd64 build tree to pair with.
set -uo pipefail

mode=$1
version=$2
build=$3
scratch_dir=$4
amd64_build=${5:-}

. "$(dirname "$0")/../support/simulator-session.sh"
require_private_run
if [ "$mode" != amd64 ] && [ ! -f "$amd64_build/CPackConfig.cmake" ]; then
    echo "package-test: no amd64 build tree in $amd64_build to install beside; build the linux-x64 preset first" >&2
    exit 77
fi

make_scratch "$scratch_dir"
fail_label="package $mode"
die() {
    echo "package-test: $*" >&2
    exit 1
}

# make_packages BUILD_DIR OUT_DIR: runs CPack; OUT_DIR then holds the .deb
# and the -dbgsym .ddeb.
make_packages() {
    (cd "$scratch" && timeout 400 cpack -G DEB --config "$1/CPackConfig.cmake" -B "$2" \
        >"$2.log" 2>&1) || {
        cat "$2.log" >&2
        die "cpack failed for $1"
    }
}

# one_file GLOB: the single file that GLOB names.
one_file() {
    local matches=($1)
    [ ${#matches[@]} -eq 1 ] && [ -f "${matches[0]}" ] || die "expected one file for $1, found: ${matches[*]}"
    echo "${matches[0]}"
}

# check_lintian PACKAGE...: lintian has nothing to say about any of them.
check_lintian() {
    local as_root=()
    [ "$(id -u)" -eq 0 ] && as_root=(--allow-root)
    local report
    report=$(timeout 300 lintian "${as_root[@]}" "$@" 2>&1)
    [ -z "$report" ] || fail "lintian reports:"$'\n'"$report"
}

# check_stripped DEB DDEB: every ELF file of DEB has no symbol table, points
# to its debug file, and that debug file, with the symbols, is in DDEB.
check_stripped() {
    local deb=$1 ddeb=$2 tree=$scratch/stripped
    rm -rf "$tree" && mkdir -p "$tree"
    dpkg-deb -x "$deb" "$tree/deb" && dpkg-deb -x "$ddeb" "$tree/ddeb" || die "dpkg-deb -x failed"
    local elves=0 file build_id sections
    while IFS= read -r file; do
        [[ $(file -b "$file") == ELF* ]] || continue
        elves=$((elves + 1))
        sections=$(readelf -S "$file" 2>/dev/null)
        grep -q ' \.symtab ' <<<"$sections" && fail "${file#"$tree/deb"} is not stripped"
        grep -q ' \.gnu_debuglink ' <<<"$sections" || fail "${file#"$tree/deb"} names no debug file"
        build_id=$(readelf -n "$file" 2>/dev/null | sed -n 's/^ *Build ID: *//p')
        local debug=$tree/ddeb/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug
        if [ -z "$build_id" ] || [ ! -f "$debug" ]; then
            fail "the debug file of ${file#"$tree/deb"} (build id '$build_id') is not in $(basename "$ddeb")"
        elif ! grep -q ' \.debug_info ' <<<"$(readelf -S "$debug" 2>/dev/null)"; then
            fail "the debug file of ${file#"$tree/deb"} holds no debug information"
        fi
    done < <(find "$tree/deb" -type f)
    [ "$elves" -gt 0 ] || fail "no ELF file in $(basename "$deb")"
}

# check_version DEB: the package, the file name and the changelog's latest
# entry all carry the project's version.
check_version() {
    local deb=$1 package
    package=$(dpkg-deb -f "$deb" Package)
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] ||
        fail "$package has version $(dpkg-deb -f "$deb" Version), not $version"
    [[ $(basename "$deb") == "${package}_${version}_"* ]] || fail "$(basename "$deb") is not named after $version"
    dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$package/changelog.gz" | gzip -dc \
        >"$scratch/changelog" || fail "$package has no usr/share/doc/$package/changelog.gz"
    [ "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version 2>/dev/null)" = "$version" ] ||
        fail "the changelog of $package starts at $(dpkg-parsechangelog -l "$scratch/changelog" -S Version), not $version"
}

# new_root DIR: an empty system for dpkg --root.
new_root() {
    mkdir -p "$1/var/lib/dpkg/info" "$1/var/lib/dpkg/updates" "$1/var/log"
    : >"$1/var/lib/dpkg/status"
}

# in_root ROOT DPKG-ARGUMENT...: dpkg on the scratch root. The maintainer
# scripts run outside a chroot with DPKG_ROOT set, as for any --root install;
# the packages' dependencies are the host's, not the scratch root's.
in_root() {
    local root=$1
    shift
    timeout 120 dpkg --root="$root" --force-script-chrootless --force-depends "$@" >>"$scratch/dpkg.log" 2>&1
}

# owner_and_mode FILE: "user:group mode".
owner_and_mode() {
    stat -c '%U:%G %a' "$1" 2>/dev/null
}

# echo_check NAME COMMAND...: COMMAND is a console invocation; it must open
# the simulator over TCP and get NAME echoed back.
echo_check() {
    local name=$1
    shift
    timeout 60 "$@" -e 'open tcp 127.0.0.1 --trace 3' -e "send <STX>$name<ETX>" -e read \
        >"$scratch/console.out" 2>&1 </dev/null
    local status=$?
    [ "$status" -eq 0 ] || fail "the console ($*) exited with $status:"$'\n'"$(cat "$scratch/console.out")"
    grep -qF "<ACK><STX>$name<ETX>" "$scratch/console.out" ||
        fail "no echo of $name from the simulator in:"$'\n'"$(cat "$scratch/console.out")"
}

test_amd64() {
    make_packages "$build" "$scratch/out"
    local deb ddeb root=$scratch/root
    deb=$(one_file "$scratch/out/*.deb") || exit 1
    ddeb=$(one_file "$scratch/out/*.ddeb") || exit 1
    echo "package-test: $(basename "$deb") $(basename "$ddeb")"

    check_lintian "$deb" "$ddeb"
    check_version "$deb"
    check_stripped "$deb" "$ddeb"

    [ "$(dpkg-deb -f "$deb" Package)" = zkpos ] || fail "the package is not called zkpos"
    [ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "architecture is not amd64"
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    # The simulator is C++ and needs libstdc++ and libgcc besides libc; the
    # jar needs a Java runtime.
    for needed in 'libc6 (>= ' 'libstdc++6 (>= ' 'libgcc-s1 (>= ' 'java11-runtime-headless'; do
        grep -qF "$needed" <<<"$depends" || fail "Depends lacks $needed: $depends"
    done
    synopsis=$(dpkg-deb -f "$deb" Description)
    [ "$(sed -n 1p <<<"$synopsis" | wc -c)" -le 80 ] || fail "the synopsis is 80 characters or more"

    new_root "$root"
    in_root "$root" --install "$deb" "$ddeb" || die "dpkg --install failed:"$'\n'"$(cat "$scratch/dpkg.log")"

    local file
    for file in usr/lib/jni/libZkPosSo64.so usr/share/java/zkpos-$version.jar usr/share/zkpos/zkpos-console.jar \
        usr/bin/zkpos-console usr/bin/zkpos-simulator usr/share/man/man1/zkpos-console.1.gz \
        usr/share/man/man1/zkpos-simulator.1.gz usr/share/doc/zkpos/copyright usr/share/zkpos/logrotate \
        etc/logrotate.d/zkpos; do
        [ -f "$root/$file" ] || fail "/$file is not installed"
    done
    [ "$(readlink "$root/usr/share/java/zkpos.jar")" = "zkpos-$version.jar" ] ||
        fail "/usr/share/java/zkpos.jar is no link to zkpos-$version.jar"
    [ -x "$root/usr/bin/zkpos-console" ] || fail "the launcher is not executable"
    grep -qx 'License: Apache-2.0' "$root/usr/share/doc/zkpos/copyright" || fail "the copyright names no licence"
    # The manual pages come from the programs' --help and carry the version.
    local page text
    for page in zkpos-console zkpos-simulator; do
        text=$(gzip -dc "$root/usr/share/man/man1/$page.1.gz")
        grep -q "^\.TH .*\"$page $version\"" <<<"$text" ||
            fail "the manual page of $page does not carry $version"
        grep -qF "usage: ${page/-/\\-}" <<<"$text" ||
            fail "the manual page of $page does not show the program's usage"
    done
    grep -qF "/var/log/ZkPosSoLog.txt" "$root/etc/logrotate.d/zkpos" || fail "the logrotate rule names another file"

    # postinst made the trace file, writable by the serial ports' group.
    local log=$root/var/log/ZkPosSoLog.txt
    [ "$(owner_and_mode "$log")" = "root:dialout 664" ] ||
        fail "postinst left $log as '$(owner_and_mode "$log")', not 'root:dialout 664'"

    # The installed console and simulator work from the root, and the console
    # takes the library of its own installation.
    start_simulator "$root/usr/bin/zkpos-simulator" 120 --no-pty
    echo_check installed "$root/usr/bin/zkpos-console"
    grep -qF 'ZkPosSo::openDevice --> m_iDeviceType 2' /var/log/ZkPosSoLog.txt 2>/dev/null ||
        fail "the installed library wrote no trace"
    echo_check by-jar java -Dzkpos.library="$root/usr/lib/jni/libZkPosSo64.so" \
        -jar "$root/usr/share/zkpos/zkpos-console.jar"
    mv "$root/usr/lib/jni/libZkPosSo64.so" "$scratch/moved.so"
    timeout 60 "$root/usr/bin/zkpos-console" -e 'open tcp 127.0.0.1' >"$scratch/console.out" 2>&1 </dev/null
    local status=$?
    [ "$status" -eq 5 ] || fail "without its library the installed console exited with $status, not 5"
    grep -qF "tried the file $root/usr/lib/jni/libZkPosSo64.so" "$scratch/console.out" ||
        fail "the console did not look for $root/usr/lib/jni/libZkPosSo64.so:"$'\n'"$(cat "$scratch/console.out")"
    mv "$scratch/moved.so" "$root/usr/lib/jni/libZkPosSo64.so"

    # The rule turns the trace over: the old lines move to .1, and the new
    # file has the rights postinst gives. This /var/log is the private one,
    # made group-writable as some systems ship it, which logrotate accepts
    # only from a rule with a su line.
    chgrp adm /var/log && chmod 0775 /var/log || die "cannot make the private /var/log 0775 root:adm"
    logrotate --state "$scratch/logrotate.state" --force "$root/etc/logrotate.d/zkpos" \
        >"$scratch/logrotate.out" 2>&1 && [ ! -s "$scratch/logrotate.out" ] ||
        fail "logrotate failed or complained:"$'\n'"$(cat "$scratch/logrotate.out")"
    grep -qF 'm_iDeviceType 2' /var/log/ZkPosSoLog.txt.1 2>/dev/null || fail "logrotate kept no old trace in .1"
    [ "$(owner_and_mode /var/log/ZkPosSoLog.txt)" = "root:dialout 664" ] ||
        fail "after rotation the trace file is '$(owner_and_mode /var/log/ZkPosSoLog.txt)'"
    echo_check rotated "$root/usr/bin/zkpos-console"
    grep -qF 'm_iDeviceType 2' /var/log/ZkPosSoLog.txt || fail "the library did not trace into the new file"

    # Removal keeps the rule and the trace; purge removes both, and the
    # rotated copies.
    echo kept >>"$log"
    in_root "$root" --remove zkpos-dbgsym zkpos || fail "dpkg --remove failed"
    [ -f "$root/etc/logrotate.d/zkpos" ] || fail "removal dropped the logrotate rule"
    [ ! -e "$root/usr/bin/zkpos-console" ] || fail "removal left the console"
    grep -qx kept "$log" 2>/dev/null || fail "removal touched the trace file"
    touch "$log.1" "$log.2.gz"
    in_root "$root" --purge zkpos || fail "dpkg --purge failed"
    local left
    left=$(cd "$root" && find usr etc var/log -mindepth 1 2>/dev/null)
    [ -z "$left" ] || fail "purge left files: $left"

    # Installed again, postinst leaves an existing trace file and its rights
    # as an administrator set them.
    in_root "$root" --install "$deb" || fail "installing again failed"
    chmod 0640 "$log" && echo kept >>"$log"
    in_root "$root" --install "$deb" || fail "installing once more failed"
    [ "$(owner_and_mode "$log")" = "root:dialout 640" ] && grep -qx kept "$log" ||
        fail "postinst changed an existing trace file: '$(owner_and_mode "$log")'"
}

# test_beside: the cross build's package (mode i386, arm64 or armhf).
test_beside() {
    local arch=$mode library java
    case $arch in
    i386) library=usr/lib/jni/libZkPosSo.so java=(/usr/lib/jvm/java-17-openjdk-i386/bin/java) ;;
    arm64)
        library=usr/lib/aarch64-linux-gnu/jni/libZkPosSo64.so
        java=(qemu-aarch64 /usr/lib/jvm/java-17-openjdk-arm64/bin/java)
        ;;
    armhf)
        library=usr/lib/arm-linux-gnueabihf/jni/libZkPosSo.so
        java=(qemu-arm /usr/lib/jvm/java-17-openjdk-armhf/bin/java)
        ;;
    esac
    make_packages "$build" "$scratch/out"
    make_packages "$amd64_build" "$scratch/out-amd64"
    local deb ddeb amd64_deb amd64_ddeb root=$scratch/root
    deb=$(one_file "$scratch/out/*.deb") || exit 1
    ddeb=$(one_file "$scratch/out/*.ddeb") || exit 1
    amd64_deb=$(one_file "$scratch/out-amd64/*.deb") || exit 1
    amd64_ddeb=$(one_file "$scratch/out-amd64/*.ddeb") || exit 1
    echo "package-test: $(basename "$deb") $(basename "$ddeb") beside $(basename "$amd64_deb")"

    check_lintian "$deb" "$ddeb"
    check_version "$deb"
    check_stripped "$deb" "$ddeb"
    [ "$(dpkg-deb -f "$deb" Package)" = "zkpos-$arch" ] || fail "the package is not called zkpos-$arch"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "architecture is not $arch"
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    # Depends must name libc6, which dpkg takes as libc6:ARCH, not the amd64
    # compatibility copy libc6-i386 or a cross compiler's libc6-ARCH-cross.
    grep -qE '(^|, )libc6 \(>= ' <<<"$depends" && ! grep -qE 'libc6-(i386|[a-z0-9]+-cross)' <<<"$depends" ||
        fail "Depends does not name the $arch libc6: $depends"
    grep -qF " ./$library" <<<"$(dpkg-deb -c "$deb")" || fail "/$library is not in the package"

    # Both architectures in one root, with their debug symbols: dpkg refuses
    # this if any file clashes.
    new_root "$root"
    dpkg --root="$root" --add-architecture "$arch" || die "dpkg --add-architecture failed"
    in_root "$root" --install "$amd64_deb" "$amd64_ddeb" "$deb" "$ddeb" ||
        die "installing the $arch and amd64 packages together failed:"$'\n'"$(cat "$scratch/dpkg.log")"
    [ "$(dpkg-query --root="$root" -W -f '${Package}:${Architecture}=${db:Status-Status} ' | tr ' ' '\n' | sort | xargs)" = \
        "$(printf '%s\n' "zkpos-$arch-dbgsym:$arch=installed" "zkpos-$arch:$arch=installed" \
            zkpos-dbgsym:amd64=installed zkpos:amd64=installed | sort | xargs)" ] ||
        fail "not all four packages are installed: $(dpkg --root="$root" -l | tail -n +6)"
    [ "$(owner_and_mode "$root/var/log/ZkPosSoLog.txt")" = "root:dialout 664" ] ||
        fail "the trace file is '$(owner_and_mode "$root/var/log/ZkPosSoLog.txt")'"

    # That machine's JVM runs the installed console with the installed library
    # against the installed simulator.
    [ -x "${java[-1]}" ] || die "no $arch JVM at ${java[-1]} (scripts/setup.sh installs it)"
    start_simulator "$root/usr/bin/zkpos-simulator" 120 --no-pty
    echo_check "$arch" "${java[@]}" -Dzkpos.library="$root/$library" \
        -jar "$root/usr/share/zkpos/zkpos-console.jar"
    grep -qF 'ZkPosSo::openDevice --> m_iDeviceType 2' /var/log/ZkPosSoLog.txt 2>/dev/null ||
        fail "the installed $arch library wrote no trace"

    # Purging the cross build's package leaves the amd64 one whole, rule and log included.
    in_root "$root" --purge "zkpos-$arch-dbgsym" "zkpos-$arch" || fail "dpkg --purge zkpos-$arch failed"
    [ ! -e "$root/$library" ] || fail "purge left /$library"
    for file in usr/lib/jni/libZkPosSo64.so etc/logrotate.d/zkpos var/log/ZkPosSoLog.txt usr/share/doc/zkpos/copyright; do
        [ -e "$root/$file" ] || fail "purging zkpos-$arch took /$file"
    done
    dpkg --root="$root" --audit >"$scratch/audit.out" 2>&1 && [ ! -s "$scratch/audit.out" ] ||
        fail "dpkg --audit: $(cat "$scratch/audit.out")"

    # The other way round: purging zkpos leaves zkpos-$arch its trace file and
    # the rule that rotates it; purging zkpos-$arch then takes both.
    in_root "$root" --install "$deb" || die "installing zkpos-$arch again failed"
    in_root "$root" --purge zkpos-dbgsym zkpos || fail "dpkg --purge zkpos failed"
    for file in etc/logrotate.d/zkpos var/log/ZkPosSoLog.txt "$library"; do
        [ -e "$root/$file" ] || fail "purging zkpos took /$file from zkpos-$arch"
    done
    in_root "$root" --purge "zkpos-$arch" || fail "dpkg --purge zkpos-$arch failed"
    for file in etc/logrotate.d/zkpos var/log/ZkPosSoLog.txt; do
        [ ! -e "$root/$file" ] || fail "purging the last package left /$file"
    done
}

case $mode in
amd64) test_amd64 ;;
i386 | arm64 | armhf) test_beside ;;
*) die "unknown mode $mode" ;;
esac

finish_checks
