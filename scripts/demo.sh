#!/usr/bin/env bash
# The main job: builds what is missing, makes a demo folder holding a ZorSetup.exe (the
# installer stand-in with sample product files) and a sample install script, and opens
# KitTailor under Wine in that folder, so the package field is filled in at start. With no display it opens the dialog on a virtual one, saves a screenshot, and
# carries out the insert through ktl instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

jobs=$(nproc)
native="$root/build/native"
source scripts/wine-env.sh

echo "== building ktl and KitTailor.exe"
cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=Release -DKTL_BUILD_TESTS=OFF >/dev/null
cmake --build "$native" -j "$jobs" --target ktl >/dev/null
ktl_wine_prepare
cmake -S . -B "$KTL_WIN_BUILD" -DCMAKE_TOOLCHAIN_FILE="$(ktl_win_toolchain)" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$KTL_WIN_BUILD" -j "$jobs" --target KitTailor zor_setup >/dev/null
ktl="$native/ktl"

demo="$root/demo"
rm -rf "$demo"
mkdir -p "$demo"
echo "== making a sample package and script in $demo"
# The package's installer is our stand-in: it records a script when asked, and installs
# silently from a package that holds an auto*.ins script.
python3 tools/make_package.py --image "$KTL_WIN_BUILD/ZorSetup.exe" "$demo/ZorSetup.exe"
printf '[Setup]\r\ninstallpath=C:\\Program Files\\Zor\r\ntype=1\r\nSilence=1\r\n' > "$demo/auto1.ins"
echo "wrote $demo/auto1.ins ($(stat -c %s "$demo/auto1.ins") bytes)"

have_display() {
  [ -n "${DISPLAY:-}" ] || return 1
  case "$DISPLAY" in
    :*) [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] || [ -e "/tmp/.X11-unix/X${DISPLAY#:%.*}" ] ;;
    *) return 0 ;;
  esac
}

if have_display; then
  echo "== opening KitTailor on $DISPLAY (close the dialog to finish)"
  wineserver -k >/dev/null 2>&1 || true
  (cd "$demo" && wine "$KTL_WIN_BUILD/KitTailor.exe")
  echo "KitTailor has ended; the demo folder is $demo"
  exit 0
fi

echo "== no display: opening KitTailor on a virtual one"
wineserver -k >/dev/null 2>&1 || true
ktl_display_start
trap 'wineserver -k >/dev/null 2>&1 || true; ktl_display_stop' EXIT
(cd "$demo" && wine "$KTL_WIN_BUILD/KitTailor.exe" >/dev/null 2>&1 &)
shot="$demo/kittailor.png"
for _ in $(seq 60); do
  sleep 1
  # The dialog is up once the screen holds more than the desktop's single colour.
  if import -window root "$shot" 2>/dev/null &&
     [ "$(convert "$shot" -format '%k' info: 2>/dev/null || echo 1)" -gt 8 ]; then
    break
  fi
done
sleep 1
import -window root "$shot"
echo "screenshot of the dialog: $shot"
wineserver -k >/dev/null 2>&1 || true

echo "== ktl insert ZorSetup.exe auto1.ins -o ZorSetup-custom.exe"
"$ktl" insert "$demo/ZorSetup.exe" "$demo/auto1.ins" -o "$demo/ZorSetup-custom.exe"
echo "== ktl verify ZorSetup-custom.exe"
"$ktl" verify "$demo/ZorSetup-custom.exe"
echo "== ktl list ZorSetup-custom.exe"
"$ktl" list "$demo/ZorSetup-custom.exe"
echo "== inserting the same script again is refused"
status=0
"$ktl" insert "$demo/ZorSetup-custom.exe" "$demo/auto1.ins" 2>&1 || status=$?
echo "exit status $status"
