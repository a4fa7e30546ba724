#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# check-dll-tables.sh objdump ZkPosDll64.dll
#
# Fails when the DLL exports anything but the six native methods under their
# plain JNI names (the JVM looks them up undecorated), when it imports anything
# but Windows system DLLs (a mingw runtime DLL such as libstdc++-6.dll,
# libgcc_s_seh-1.dll or libwinpthread-1.dll would be missing on a real machine,
# while Wine finds or fakes it) or when it carries no version resource.
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

expected_exports=$(printf 'Java_com_zelkor_jpos_services_WinPortComm_%s\n' \
    SetDeviceBuffer SetDeviceTimeout closeDevice openDevice readData writeData | sort)
exports=$(printf '%s\n' "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
if [ "$exports" != "$expected_exports" ]; then
    echo "FAIL: $dll exports" >&2
    printf '  %s\n' $exports >&2
    echo "instead of" >&2
    printf '  %s\n' $expected_exports >&2
    status=1
else
    echo "ok: the six native methods are exported, undecorated"
fi

if ! printf '%s\n' "$headers" | grep -q 'Resource Directory'; then
    echo "FAIL: $dll has no resource directory (the version resource is missing)" >&2
    status=1
fi
exit $status
