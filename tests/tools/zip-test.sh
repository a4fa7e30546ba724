#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Windows .zip with CPack and checks that it holds the DLL, its
# communication layer, both jars, the console launcher and README.txt in one
# folder, that the console jar starts from there by its manifest alone, and
# that the launcher, run by Wine's cmd, starts the java.exe of JAVA_HOME:
#   zip-test.sh BUILD_DIR SCRATCH_DIR FAKE_JAVA_EXE
set -uo pipefail

build=$1
scratch=$2
fake_java=$3
wine_run=$(cd "$(dirname "$0")/../support" && pwd)/wine-run.sh
rm -rf "$scratch"
mkdir -p "$scratch"

(cd "$scratch" && timeout 240 cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$scratch/out" \
    >"$scratch/cpack.log" 2>&1) || {
    cat "$scratch/cpack.log" >&2
    echo "zip-test: cpack failed" >&2
    exit 1
}
zips=("$scratch"/out/*.zip)
[ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || {
    echo "zip-test: expected one .zip, found: ${zips[*]}" >&2
    exit 1
}
echo "zip-test: $(basename "${zips[0]}")"

failures=0
fail() {
    echo "FAIL [zip]: $*" >&2
    failures=$((failures + 1))
}

mkdir "$scratch/unpacked"
(cd "$scratch/unpacked" && cmake -E tar xf "${zips[0]}") || fail "the archive does not unpack"
folder=$(find "$scratch/unpacked" -name ZkPosDll64.dll -printf '%h\n')
[ -n "$folder" ] || fail "no ZkPosDll64.dll in the archive"
for file in ZkLink64.dll README.txt zkpos.jar zkpos-console.jar zkpos-console.cmd; do
    [ -f "$folder/$file" ] || fail "$file is not beside ZkPosDll64.dll"
done
[ "$(head -c 2 "$folder/ZkLink64.dll")" = MZ ] || fail "ZkLink64.dll is not a Windows program file"
for topic in ZkLink64.dll 'zkpos.library' 'Documents\Zelkortec\JavaPos\Log' ZkPosDll.log \
    ZkLink.log "device maker" JAVA_HOME readData; do
    grep -qF "$topic" "$folder/README.txt" || fail "README.txt does not speak of $topic"
done
grep -q 'zkpos.library="%~dp0ZkPosDll64.dll"' "$folder/zkpos-console.cmd" ||
    fail "the launcher does not name the DLL beside it"
[ "$(head -c 2 "$folder/ZkPosDll64.dll")" = MZ ] || fail "ZkPosDll64.dll is not a Windows program file"

# The console needs no library for its help: this proves the jar and its manifest.
timeout 60 java -jar "$folder/zkpos-console.jar" --help >"$scratch/help.out" 2>&1 ||
    fail "java -jar zkpos-console.jar --help failed: $(cat "$scratch/help.out")"
grep -q 'Example against the device simulator' "$scratch/help.out" || fail "no help text"

# The launcher under Wine: JAVA_HOME set to a folder whose bin\java.exe only
# prints how it was started.
jdk=$(dirname "$(dirname "$fake_java")")
launched=$(cd "$folder" && JAVA_HOME="Z:$(printf '%s' "$jdk" | tr / '\\')" \
    timeout 300 "$wine_run" cmd /c zkpos-console.cmd --help 2>&1)
grep -q '^fake java: ' <<<"$launched" ||
    fail "zkpos-console.cmd did not start %JAVA_HOME%\\bin\\java.exe: $launched"
grep -q 'zkpos.library=.*\\ZkPosDll64.dll.*ZkPosConsole --help' <<<"$launched" ||
    fail "zkpos-console.cmd did not pass the DLL beside it and the arguments: $launched"

if [ "$failures" -ne 0 ]; then
    echo "[zip] $failures check(s) failed" >&2
    exit 1
fi
echo "[zip] passed"
