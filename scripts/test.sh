#!/usr/bin/env bash
# Builds every tree and runs every test:
# - the native engine, ktl and their tests with AddressSanitizer and UndefinedBehaviorSanitizer;
# - the same at 32 bits (i386), directly or under qemu-i386 (scripts/with-i386.sh chooses);
# - the whole Windows suite on the 64-bit programs under Wine's 64-bit loader;
# - the 32-bit Windows programs: the whole Windows suite under Wine's 32-bit loader where this
#   kernel can start it, or else the shipped i386 programs in a VM (scripts/vm/run-i386.sh).
# KTL_WIN32_VIA_VM=1 takes the VM on any machine; KTL_I386_VIA_QEMU=1 emulates the i386 tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
started=$SECONDS

jobs=$(nproc)
native="$root/build/native-test"
native_i386="$root/build/native-i386"

# Wine's 32-bit loader is a 32-bit Linux program; a kernel built without 32-bit support cannot
# start it.
if [ "${KTL_WIN32_VIA_VM:-0}" != 1 ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  win32_way=wine
else
  win32_way=vm
fi

echo "== native build (sanitizers)"
cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Debug -DKTL_SANITIZE=ON >/dev/null
cmake --build "$native" -j "$jobs"

echo "== native build at 32 bits (i386)"
cmake -S . -B "$native_i386" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386-linux-gnu.cmake" \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$native_i386" -j "$jobs"

# Both Windows trees are configured as scripts/release.sh configures the zips' (Release, the
# same toolchain files), with the tests beside the programs.
for machine in win64 win32; do
  echo "== Windows build ($machine)"
  (
    export KTL_WIN_ARCH=$machine
    unset KTL_WIN_BUILD
    source scripts/wine-env.sh
    cmake -S . -B "$KTL_WIN_BUILD" -DCMAKE_TOOLCHAIN_FILE="$(ktl_win_toolchain)" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$KTL_WIN_BUILD" -j "$jobs"
  )
done

status=0
failed=()
run_suite() {
  local name=$1
  shift
  local begun=$SECONDS
  if "$@"; then
    echo "== $name: passed ($((SECONDS - begun)) s)"
  else
    echo "== $name: FAILED ($((SECONDS - begun)) s)"
    status=1
    failed+=("$name")
  fi
}

# One Windows tree's ctest under Wine, with its own prefix, display and server.
windows_suite() (
  export KTL_WIN_ARCH=$1
  unset KTL_WIN_BUILD
  source scripts/wine-env.sh
  ktl_wine_prepare
  wineserver -k >/dev/null 2>&1 || true
  ktl_display_start
  trap 'ktl_wine_server_stop; ktl_display_stop' EXIT
  ktl_wine_server_start
  ctest --test-dir "$KTL_WIN_BUILD" --output-on-failure
)

echo "== native tests"
run_suite "native tests" ctest --test-dir "$native" --output-on-failure -j "$jobs"

echo "== native tests at 32 bits (i386)"
run_suite "native tests at 32 bits" \
  bash scripts/with-i386.sh ctest --test-dir "$native_i386" --output-on-failure -j "$jobs"

echo "== Windows tests under Wine (win64)"
run_suite "Windows tests (win64)" windows_suite win64

if [ "$win32_way" = wine ]; then
  echo "== Windows tests under Wine (win32)"
  run_suite "Windows tests (win32)" windows_suite win32
else
  if [ "${KTL_WIN32_VIA_VM:-0}" = 1 ]; then
    echo "== the shipped i386 programs under Wine in a VM (KTL_WIN32_VIA_VM=1)"
  else
    echo "== the shipped i386 programs under Wine in a VM (this kernel cannot start Wine's 32-bit loader)"
  fi
  # ZorSetup.exe links no library of ours, and is linked without symbols.
  run_suite "i386 programs: no test seam" bash scripts/check_release_seams.sh \
    --seam "$root/build/win32/ktl_testing.exe" "$root/build/win32/ktl.exe" \
    "$root/build/win32/KitTailor.exe"
  run_suite "i386 programs in the VM" bash scripts/vm/run-i386.sh "$root/build/win32"
fi

echo "== all tests: $((SECONDS - started)) s"
if ((status)); then
  echo "== failed: ${failed[*]}"
fi
exit $status
