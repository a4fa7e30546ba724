#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# check-layer-tables.sh objdump ZkLink64.dll
#
# Fails when the layer exports anything but its twelve entries under their
# plain names (the port DLL resolves them by name), imports anything but
# Windows system DLLs, or carries no version resource.
set -euo pipefail
objdump=$1
dll=$2

system_dlls=" kernel32.dll ws2_32.dll setupapi.dll msvcrt.dll ucrtbase.dll advapi32.dll "

headers=$("$objdump" -p "$dll")
imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
status=0
if [ -z "$imports" ]; then
    echo "FAIL: no import table found in $dll" >&2
    status=1
fi
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

expected_exports=$(printf '%s\n' CreateCommunicationPort Open Close InitSerialPort \
    SetSerialTimeout SetEthTimeout InitUsbPrinter SetUsbTimeout Write Read InitEthTCP \
    DeleteAllLayerItems | sort)
exports=$(printf '%s\n' "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
if [ "$exports" != "$expected_exports" ]; then
    echo "FAIL: $dll exports" >&2
    printf '  %s\n' $exports >&2
    echo "instead of" >&2
    printf '  %s\n' $expected_exports >&2
    status=1
else
    echo "ok: the twelve entries are exported, undecorated"
fi

if ! printf '%s\n' "$headers" | grep -q 'Resource Directory'; then
    echo "FAIL: $dll has no resource directory (the version resource is missing)" >&2
    status=1
fi
exit $status
