#!/usr/bin/env bash
# check-imports.sh objdump ZkPosDll64.dll
#
# Fails when the DLL imports anything but Windows system DLLs (a mingw runtime
# DLL such as libstdc++-6.dll, libgcc_s_seh-1.dll or libwinpthread-1.dll would
# be missing on a real machine, while Wine finds or fakes it) or when it carries
# no version resource.
set -euo pipefail
objdump=$1
dll=$2

system_dlls=" kernel32.dll user32.dll advapi32.dll shell32.dll version.dll msvcrt.dll ucrtbase.dll "

headers=$("$objdump" -p "$dll")
imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
if [ -z "$imports" ]; then
    echo "FAIL: no import table found in $dll" >&2
    exit 1
fi

status=0
for name in $imports; do
    case "$system_dlls" in
        *" $name "*) echo "ok: $name" ;;
        *)
            case "$name" in
                api-ms-win-crt-*.dll) echo "ok: $name" ;;
                *) echo "FAIL: $dll imports $name, which is not a Windows system DLL" >&2; status=1 ;;
            esac
            ;;
    esac
done

if ! printf '%s\n' "$headers" | grep -q 'Resource Directory'; then
    echo "FAIL: $dll has no resource directory (the version resource is missing)" >&2
    status=1
fi
exit $status
