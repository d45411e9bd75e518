#!/usr/bin/env bash
# Builds the native and the Windows trees and runs every test: natively with AddressSanitizer
# and UndefinedBehaviorSanitizer, and the Windows programs under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

jobs=$(nproc)
native="$root/build/native-test"
source scripts/wine-env.sh

echo "== native build (sanitizers)"
cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Debug -DKTL_SANITIZE=ON >/dev/null
cmake --build "$native" -j "$jobs"

echo "== Windows build ($KTL_WIN_ARCH)"
ktl_wine_prepare
cmake -S . -B "$KTL_WIN_BUILD" -DCMAKE_TOOLCHAIN_FILE="$(ktl_win_toolchain)" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$KTL_WIN_BUILD" -j "$jobs"
if [ "$KTL_WIN_ARCH" != win32 ]; then
  # The shipped programs are 32-bit: they must build even where Wine cannot run them.
  echo "== 32-bit Windows programs (built, not run: this kernel cannot start 32-bit programs)"
  cmake -S . -B "$root/build/win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DKTL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$root/build/win32" -j "$jobs" --target KitTailor ktl zor_setup
fi

status=0
if [ "$KTL_WIN_ARCH" != win32 ]; then
  # The programs we ship carry no test seam; the Windows tree's ctest checks its own programs.
  echo "== 32-bit Windows programs: no test seam"
  bash scripts/check_release_seams.sh "$root/build/win32/ktl.exe" "$root/build/win32/KitTailor.exe" \
    "$root/build/win32/ZorSetup.exe" || status=1
fi
echo "== native tests"
ctest --test-dir "$native" --output-on-failure -j "$jobs" || status=1

echo "== Windows tests under Wine ($KTL_WIN_ARCH)"
wineserver -k >/dev/null 2>&1 || true
ktl_display_start
trap 'ktl_wine_server_stop; ktl_display_stop' EXIT
ktl_wine_server_start
ctest --test-dir "$KTL_WIN_BUILD" --output-on-failure || status=1

exit $status
