#!/usr/bin/env bash
# Makes the release zip from a clean clone of the committed tree (HEAD; uncommitted changes
# are left out): the 32-bit KitTailor.exe and ktl.exe, the README and their SHA-256 sums,
# KitTailor-<version>-win32.zip. It is checked with tools we did not write (unzip, sha256sum,
# objdump) and copied to build/release/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
commit=$(git rev-parse HEAD)
echo "== cloning $commit"
git clone -q --no-checkout "$root" "$work/src"
git -C "$work/src" checkout -q "$commit"

echo "== building the 32-bit programs and the zip"
cmake -S "$work/src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/i686-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKTL_BUILD_TESTS=OFF >/dev/null
cmake --build "$work/build" --target release -j "$(nproc)" >/dev/null
zip=$(ls "$work"/build/release/KitTailor-*-win32.zip)
name=$(basename "$zip" .zip)

echo "== checking $name.zip"
unzip -t -q "$zip"
unzip -q "$zip" -d "$work/unpacked"
listed=$(cd "$work/unpacked/$name" && find . -type f | sort | tr '\n' ' ')
[ "$listed" = "./KitTailor.exe ./README.md ./SHA256SUMS.txt ./ktl.exe " ] ||
  { echo "unexpected contents: $listed" >&2; exit 1; }
(cd "$work/unpacked/$name" && sha256sum -c SHA256SUMS.txt)
for program in KitTailor.exe ktl.exe; do
  i686-w64-mingw32-objdump -f "$work/unpacked/$name/$program" | grep -q 'file format pei-i386' ||
    { echo "$program is not a 32-bit Windows program" >&2; exit 1; }
done
cmp -s "$work/unpacked/$name/README.md" "$work/src/README.md" ||
  { echo "README.md in the zip differs from the source" >&2; exit 1; }

mkdir -p "$root/build/release"
cp "$zip" "$root/build/release/"
echo "release: $root/build/release/$name.zip"
unzip -l "$root/build/release/$name.zip"
