#!/usr/bin/env bash
# Builds the native and the 32-bit Windows trees and runs every test: natively with
# AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows programs under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

jobs=$(nproc)
native="$root/build/native-test"
export KTL_WIN_BUILD="$root/build/win32"
source scripts/wine-env.sh

echo "== native build (sanitizers)"
cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Debug -DKTL_SANITIZE=ON >/dev/null
cmake --build "$native" -j "$jobs"

echo "== Windows build"
ktl_wine_prepare
cmake -S . -B "$KTL_WIN_BUILD" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$KTL_WIN_BUILD" -j "$jobs"

status=0
echo "== native tests"
ctest --test-dir "$native" --output-on-failure -j "$jobs" || status=1

echo "== Windows tests under Wine"
wineserver -k >/dev/null 2>&1 || true
ktl_display_start
trap 'ktl_wine_server_stop; ktl_display_stop' EXIT
ktl_wine_server_start
ctest --test-dir "$KTL_WIN_BUILD" --output-on-failure || status=1

exit $status
