#!/bin/sh
# Each repair of emulation/qemu-repair.c works, and each is still needed: with
# all of them, 32-bit Wine starts, handles faults and keeps threads apart;
# with one left out, the program that shows its fault fails.
# Usage: check-repairs.sh WINE_RUN HELLO.exe FAULTS.exe THREADS.exe TLS|none
# Exits 77 (skipped) where 32-bit programs run without emulation.
wine_run=$1 hello=$2 faults=$3 threads=$4 tls=$5

mode=$("$wine_run" --mode)
case $mode in
emulated*) ;;
*) echo "32-bit programs run without qemu here ($mode): nothing to repair"; exit 77 ;;
esac

failures=0
output=$(mktemp)
trap 'rm -f "$output"' EXIT
# expect pass|fail SECONDS REPAIRS WHAT COMMAND...
expect() {
    want=$1 limit=$2 repairs=$3 what=$4
    shift 4
    start=$(date +%s)
    TOLVANE_QEMU_REPAIRS=$repairs timeout -k 5 "$limit" "$@" >"$output" 2>&1
    status=$?
    took=$(($(date +%s) - start))
    got=pass
    [ $status -eq 0 ] || got=fail
    [ $status -eq 124 ] && got="fail (not done in $limit s)"
    if [ "${got%% *}" = "$want" ]; then
        echo "ok: $what: $got in $took s (repairs: ${repairs:-none})"
    else
        echo "FAILED: $what: expected to $want, did $got in $took s (repairs: ${repairs:-none})"
        sed 's/^/    /' "$output"
        failures=$((failures + 1))
    fi
}

all=mmap,trap,tls
expect pass 60 $all "a 32-bit Windows program starts" "$wine_run" "$hello"
expect pass 60 $all "faults are handled as Windows handles them" "$wine_run" "$faults"
expect pass 120 $all "400 threads, 40 faults each, keep their own TEB and TLS slot" \
    "$wine_run" "$threads" 400 40
[ "$tls" = none ] ||
    expect pass 60 $all "400 glibc threads, 40 signals each, keep their own TLS" \
        "$wine_run" --i386 "$tls" 400 40

# Without MAP_FIXED_NOREPLACE's meaning, Wine's start-up takes minutes at least.
expect fail 20 trap,tls "without the mmap repair, start-up is not done" "$wine_run" "$hello"
expect fail 60 mmap,tls "without the trap repair, faults are not handled" "$wine_run" "$faults"
expect fail 60 mmap,trap "without the TLS repair, threads see each other's TEB" \
    "$wine_run" "$threads" 400 40
[ "$tls" = none ] ||
    expect fail 60 mmap,trap "without the TLS repair, glibc threads see each other's TLS" \
        "$wine_run" --i386 "$tls" 400 40

[ $failures -eq 0 ]
