#!/usr/bin/env bash
# Makes the two release zips from a clean clone of the committed tree (HEAD; uncommitted
# changes are left out): KitTailor-<version>-win64.zip (x86-64) and KitTailor-<version>-win32.zip
# (i386), each with KitTailor.exe, ktl.exe, the README and their SHA-256 sums. Both trees are
# configured as the test script configures its Windows trees (Release, the same toolchain files),
# without the tests. Each zip is checked by scripts/check_release.py (the programs' machine,
# their manifests and version blocks read by the Windows loader under Wine, that they are
# stripped, the sums) and by scripts/check_release_seams.sh, which reads the zipped programs with
# their symbols files from the build tree (ktl.exe.symbols, KitTailor.exe.symbols: never
# zipped), then copied to build/release/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

work=$(mktemp -d)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
commit=$(git rev-parse HEAD)
echo "== cloning $commit"
git clone -q --no-checkout "$root" "$work/src"
git -C "$work/src" checkout -q "$commit"
version=$(sed -n 's/^project(KitTailor VERSION \([0-9.]*\).*/\1/p' "$work/src/CMakeLists.txt")

declare -A toolchain=([win64]=x86_64-w64-mingw32 [win32]=i686-w64-mingw32)
for machine in win64 win32; do
  echo "== building the $machine programs and their zip"
  cmake -S "$work/src" -B "$work/build-$machine" \
    -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/${toolchain[$machine]}.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DKTL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$work/build-$machine" --target release program_resources -j "$(nproc)" >/dev/null
done

# The loader that reads the programs' resources is Wine's 64-bit one, which every machine here
# can start; it reads 32-bit programs as resource images.
export KTL_WIN_ARCH=win64 KTL_WIN_BUILD="$work/build-win64"
source scripts/wine-env.sh
ktl_wine_prepare >/dev/null
mkdir -p "$root/build/release"
for machine in win64 win32; do
  name=KitTailor-$version-$machine
  zip=$work/build-$machine/release/$name.zip
  echo "== checking $name.zip"
  python3 scripts/check_release.py "$zip" --machine "$machine" --version "$version" \
    --readme "$work/src/README.md" --resources "$work/build-win64/program_resources.exe" \
    --runner wine
  unzip -q "$zip" -d "$work/unpacked-$machine"
  cp "$work/build-$machine/ktl.exe.symbols" "$work/build-$machine/KitTailor.exe.symbols" \
    "$work/unpacked-$machine/$name/"
  bash scripts/check_release_seams.sh "$work/unpacked-$machine/$name/ktl.exe" \
    "$work/unpacked-$machine/$name/KitTailor.exe"
  cp "$zip" "$root/build/release/"
done
for machine in win64 win32; do
  zip=$root/build/release/KitTailor-$version-$machine.zip
  echo "release: $zip ($(stat -c %s "$zip") bytes)"
  (cd "$root/build/release" && sha256sum "KitTailor-$version-$machine.zip")
done
