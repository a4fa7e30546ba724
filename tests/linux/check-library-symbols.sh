#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Checks what the built library shows the dynamic linker: it must export the
# native methods, functions and module variables by their own names and
# nothing else (no helper of ours, nothing of a C++ runtime), and it must need
# no shared library but libc, so that it loads beside any JVM.
# Usage: [NM=nm] [READELF=readelf] check-library-symbols.sh LIBRARY [--any-needed]
# (a cross-built library is read with its target's binutils)
set -eu
nm=${NM:-nm}
readelf=${READELF:-readelf}
library=$1
check_needed=yes
[ "${2:-}" = "--any-needed" ] && check_needed=no

expected="AssignDevice ChangePrintDate ChangeVerbosity CloseLogFile ConvertPort GetVerbosity
InitLog Java_com_zelkor_jpos_services_LinPortComm_SetDeviceBuffer
Java_com_zelkor_jpos_services_LinPortComm_SetDeviceTimeout
Java_com_zelkor_jpos_services_LinPortComm_closeDevice
Java_com_zelkor_jpos_services_LinPortComm_openDevice
Java_com_zelkor_jpos_services_LinPortComm_readData
Java_com_zelkor_jpos_services_LinPortComm_writeData OpenEthernetPort OpenLogFile OpenSerialPort
PrintLog ReadFromEthernetPort ReadFromSerialPort SetEthernetTimeout StopLog WriteLogFile
WriteToEthernetPort WriteToSerialPort m_Input m_TIO m_TextFile m_bDebug m_bPrintDate m_bTxt
m_iDeviceType m_iFD m_iStreamOut m_iVerbosity m_lReadBufferSize m_lReadTimeout
m_lWriteBufferSize m_lWriteTimeout m_strFileName"

status=0
actual=$("$nm" -D --defined-only "$library" | awk '{print $3}' | sort)
wanted=$(printf '%s\n' $expected | sort)
if [ "$actual" != "$wanted" ]; then
    echo "exported names differ from the contract (< missing, > extra):"
    scratch=$(mktemp -d)
    printf '%s\n' "$wanted" >"$scratch/wanted"
    printf '%s\n' "$actual" >"$scratch/actual"
    diff "$scratch/wanted" "$scratch/actual" | grep '^[<>]' || true
    rm -rf "$scratch"
    status=1
fi

# Function symbols must be functions and variables objects: a JVM or a C
# caller that takes m_iFD's address must find data there.
for name in m_iFD m_iDeviceType m_TIO m_Input m_strFileName m_TextFile; do
    if ! "$nm" -D --defined-only "$library" | grep " [BD] $name\$" >/dev/null; then
        echo "$name is not exported as a variable"
        status=1
    fi
done

if [ "$check_needed" = yes ]; then
    needed=$("$readelf" -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    for lib in $needed; do
        case "$lib" in
            libc.so.6) ;;
            *) echo "needs $lib besides libc"; status=1 ;;
        esac
    done
fi

[ "$status" -eq 0 ] && echo "$library: $(echo "$actual" | wc -l) names exported, needs only libc"
exit "$status"
