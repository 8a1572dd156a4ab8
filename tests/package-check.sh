#!/bin/bash
# The release archives, checked as a game team would take them: each holds
# exactly its listed files, its provider is the one built and exports and
# imports only what it should, SHA256SUMS verifies, and a second run of
# scripts/package gives the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

scripts/package >/dev/null
version=$(sed -n 's/^project(tolvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
first=$(cd dist && sha256sum tolvane-"$version"-*)
scripts/package >/dev/null
second=$(cd dist && sha256sum tolvane-"$version"-*)
fail() { echo "package-check: $*" >&2; exit 1; }
[ "$first" = "$second" ] || fail "two runs gave different archives:"$'\n'"$first"$'\n'"$second"

common="HOST.md LICENSE SHA256SUMS examples/telephone-to-full.toml examples/underwater.toml
examples/warm-to-bright.toml include/tolvane.h tolvane.flt"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for build in win32 win64 linux; do
    case $build in
    linux) name=tolvane-$version-linux-x86_64 archive=$name.tar.gz extra="tolvane tolvane-studio" objdump=objdump ;;
    win32) name=tolvane-$version-win32 archive=$name.zip extra= objdump=i686-w64-mingw32-objdump ;;
    win64) name=tolvane-$version-win64 archive=$name.zip extra= objdump=x86_64-w64-mingw32-objdump ;;
    esac
    [ -f "dist/$archive" ] || fail "no dist/$archive"
    if [ "$build" = linux ]; then
        listed=$(tar -tzf "dist/$archive" | grep -v '/$')
        tar -xzf "dist/$archive" -C "$work"
    else
        listed=$(unzip -Z1 "dist/$archive")
        unzip -q "dist/$archive" -d "$work"
    fi
    want=$(printf '%s\n' $common $extra | sed "s|^|$name/|" | sort)
    [ "$(sort <<<"$listed")" = "$want" ] ||
        fail "$archive holds"$'\n'"$listed"$'\n'"instead of"$'\n'"$want"
    cmp "$work/$name/tolvane.flt" "build/$build/tolvane.flt" ||
        fail "$archive: tolvane.flt is not the one built in build/$build"
    tests/check-exports.sh "$build" "$objdump" "$work/$name/tolvane.flt"
    (cd "$work/$name" && sha256sum --quiet -c SHA256SUMS) || fail "$archive: SHA256SUMS does not verify"
    text=$("$objdump" -h "$work/$name/tolvane.flt" | awk '$2 == ".text" { print $3 }')
    echo "package-check: $archive: $(wc -l <<<"$listed") files, provider as built" \
        "($(stat -c %s "$work/$name/tolvane.flt") bytes, $((16#$text)) of code), checksums verify"
done
echo "package-check: two runs gave the same bytes"
