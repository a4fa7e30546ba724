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

. "$(dirname "$0")/../support/pe-tables.sh"
pe_read "$objdump" "$dll"
pe_check_imports " kernel32.dll user32.dll advapi32.dll shell32.dll version.dll msvcrt.dll ucrtbase.dll " ||
    exit 1
pe_check_exports "the six native methods are exported, undecorated" \
    $(printf 'Java_com_zelkor_jpos_services_WinPortComm_%s\n' \
        SetDeviceBuffer SetDeviceTimeout closeDevice openDevice readData writeData)
pe_check_resource
exit $pe_status
