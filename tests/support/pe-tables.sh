# SPDX-License-Identifier: Apache-2.0
# Reading a Windows DLL's tables with mingw's objdump; sourced by the scripts
# that check what a DLL of ours imports, exports and carries:
#   pe_read OBJDUMP DLL           reads the headers; sets pe_dll
#   pe_check_imports SYSTEM_DLLS  every import is a Windows system DLL (named
#                                 in " a.dll b.dll ", or the api-ms-win-crt
#                                 family); returns 2 with no import table
#   pe_check_exports OK_LINE NAME...  the exports are exactly NAME...
#   pe_check_resource             there is a resource directory
# Each failed check prints a FAIL line and sets pe_status to 1.

pe_status=0
pe_headers=
pe_dll=

pe_read() {
    pe_dll=$2
    pe_headers=$("$1" -p "$pe_dll")
}

pe_check_imports() {
    local system_dlls=$1 imports name
    imports=$(printf '%s\n' "$pe_headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
    if [ -z "$imports" ]; then
        echo "FAIL: no import table found in $pe_dll" >&2
        pe_status=1
        return 2
    fi
    for name in $imports; do
        case "$system_dlls" in
            *" $name "*) echo "ok: $name" ;;
            *)
                case "$name" in
                    api-ms-win-crt-*.dll) echo "ok: $name" ;;
                    *) echo "FAIL: $pe_dll imports $name, which is not a Windows system DLL" >&2; pe_status=1 ;;
                esac
                ;;
        esac
    done
    return 0
}

pe_check_exports() {
    local ok_line=$1 expected exports
    shift
    expected=$(printf '%s\n' "$@" | sort)
    exports=$(printf '%s\n' "$pe_headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | sort)
    if [ "$exports" != "$expected" ]; then
        echo "FAIL: $pe_dll exports" >&2
        printf '  %s\n' $exports >&2
        echo "instead of" >&2
        printf '  %s\n' $expected >&2
        pe_status=1
    else
        echo "ok: $ok_line"
    fi
}

pe_check_resource() {
    if ! grep -q 'Resource Directory' <<<"$pe_headers"; then
        echo "FAIL: $pe_dll has no resource directory (the version resource is missing)" >&2
        pe_status=1
    fi
}
