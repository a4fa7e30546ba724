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

. "$(dirname "$0")/../support/pe-tables.sh"
pe_read "$objdump" "$dll"
pe_check_imports " kernel32.dll ws2_32.dll setupapi.dll msvcrt.dll ucrtbase.dll advapi32.dll " || true
pe_check_exports "the twelve entries are exported, undecorated" CreateCommunicationPort Open Close \
    InitSerialPort SetSerialTimeout SetEthTimeout InitUsbPrinter SetUsbTimeout Write Read InitEthTCP \
    DeleteAllLayerItems
pe_check_resource
exit $pe_status
