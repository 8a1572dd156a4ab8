#!/bin/bash
# Reads a provider artifact's export and import tables and fails on anything
# beyond RIB_Main going out and the three broker functions coming in.
#   check-exports.sh BUILD OBJDUMP FILE   (OBJDUMP: the build's own objdump)
set -euo pipefail
build=$1 objdump=$2 file=$3
fail() { echo "$build: $file: $*" >&2; exit 1; }

sorted() { printf '%s\n' "$@" | sort; }

if [ "$build" = linux ]; then
    table=$(readelf --dyn-syms -W "$file")
    exports=$(awk '$5 == "GLOBAL" && $7 != "UND" {print $8}' <<<"$table" | sort -u)
    [ "$exports" = "RIB_Main" ] || fail "exports: $(echo $exports) (want RIB_Main only)"
    # Undefined symbols: the broker's three, unversioned, and the C library's,
    # which carry a GLIBC version. Weak references of the runtime are allowed.
    broker=$(awk '$5 == "GLOBAL" && $7 == "UND" && $8 !~ /@GLIBC_/ {print $8}' <<<"$table" | sort)
    want=$(sorted RIB_alloc_provider_handle RIB_register_interface RIB_unregister_interface)
    [ "$broker" = "$want" ] || fail "unversioned imports: $(echo $broker) (want the three broker functions)"
    needed=$(objdump -p "$file" | awk '$1 == "NEEDED" {print $2}' | sort)
    for lib in $needed; do
        case $lib in
            libc.so.*|libm.so.*) ;;
            *) fail "needs $lib" ;;
        esac
    done
else
    table=$("$objdump" -p "$file")
    exports=$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[ \t]*\[/ {print $NF; next} on {on=0}' <<<"$table")
    want_export=$([ "$build" = win32 ] && echo _RIB_Main@20 || echo RIB_Main)
    [ "$exports" = "$want_export" ] || fail "exports: $(echo $exports) (want $want_export only)"
    dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$table" | sort -u)
    for dll in $dlls; do
        case $dll in
            mss32.dll|kernel32.dll|msvcrt.dll) ;;
            *) fail "imports from $dll" ;;
        esac
    done
    imports=$(awk '/DLL Name:/ {dll=tolower($3); next} /^[ \t]*$/ {dll=""} dll == "mss32.dll" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 {print $3}' <<<"$table" | sort)
    if [ "$build" = win32 ]; then
        want=$(sorted _RIB_alloc_provider_handle@4 _RIB_register_interface@16 _RIB_unregister_interface@16)
    else
        want=$(sorted RIB_alloc_provider_handle RIB_register_interface RIB_unregister_interface)
    fi
    [ "$imports" = "$want" ] || fail "imports from mss32.dll: $(echo $imports) (want $(echo $want))"
fi
echo "$build: $(basename "$file") exports RIB_Main alone and imports only the broker"
