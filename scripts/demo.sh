#!/usr/bin/env bash
# The main job, from the command line: builds ktl, makes a sample install package and a
# sample install script, inserts the script into a new package, and checks the result.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

build="$root/build/native"
echo "== building ktl"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKTL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
ktl="$build/ktl"

demo="$root/demo"
rm -rf "$demo"
mkdir -p "$demo"
echo "== making a sample package and script in $demo"
python3 tools/make_test_package.py "$demo/ZorSetup.exe" --sample
printf '[Setup]\r\ninstallpath=C:\\Program Files\\Zor\r\ntype=1\r\nSilence=1\r\n' > "$demo/auto1.ins"
echo "wrote $demo/auto1.ins ($(stat -c %s "$demo/auto1.ins") bytes)"

echo "== ktl insert ZorSetup.exe auto1.ins -o ZorSetup-custom.exe"
"$ktl" insert "$demo/ZorSetup.exe" "$demo/auto1.ins" -o "$demo/ZorSetup-custom.exe"
echo "== ktl verify ZorSetup-custom.exe"
"$ktl" verify "$demo/ZorSetup-custom.exe"
echo "== ktl list ZorSetup-custom.exe"
"$ktl" list "$demo/ZorSetup-custom.exe"
echo "== inserting the same script again is refused (exit 3)"
set +e
"$ktl" insert "$demo/ZorSetup-custom.exe" "$demo/auto1.ins"
echo "exit status $?"
