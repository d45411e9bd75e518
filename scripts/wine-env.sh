# Sourced by the scripts: a Wine prefix of the Windows build tree's own, quiet, and ready.
# Expects $root to name the checkout; KTL_WIN_BUILD names the build tree, chosen below unless
# given.

# Wine's 32-bit loader is a 32-bit Linux program; a kernel built without 32-bit support cannot
# start it ("Exec format error"). Such a machine runs the Windows programs as a 64-bit build
# of the same sources under the 64-bit loader.
ktl_host_runs_win32() {
  /usr/lib/wine/wine --version >/dev/null 2>&1
}

if [ -z "${KTL_WIN_ARCH:-}" ]; then
  if ktl_host_runs_win32; then KTL_WIN_ARCH=win32; else KTL_WIN_ARCH=win64; fi
fi
export KTL_WIN_ARCH
export KTL_WIN_BUILD="${KTL_WIN_BUILD:-$root/build/$KTL_WIN_ARCH}"

# The toolchain file of that Windows build.
ktl_win_toolchain() {
  if [ "$KTL_WIN_ARCH" = win32 ]; then
    echo "$root/cmake/i686-w64-mingw32.cmake"
  else
    echo "$root/cmake/x86_64-w64-mingw32.cmake"
  fi
}

export WINEPREFIX="$KTL_WIN_BUILD/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

if [ "$KTL_WIN_ARCH" = win64 ]; then
  # "wine" for the scripts, the tests and ctest's emulator: the 64-bit loader in a 64-bit prefix.
  export WINEARCH=win64
  export WINELOADER=/usr/lib/wine/wine64
  mkdir -p "$KTL_WIN_BUILD/wine-bin"
  printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$KTL_WIN_BUILD/wine-bin/wine"
  chmod +x "$KTL_WIN_BUILD/wine-bin/wine"
  case ":$PATH:" in
    *":$KTL_WIN_BUILD/wine-bin:"*) ;;
    *) export PATH="$KTL_WIN_BUILD/wine-bin:$PATH" ;;
  esac
fi

ktl_wine_prepare() {
  mkdir -p "$KTL_WIN_BUILD"
  if [ ! -f "$WINEPREFIX/.ktl-ready" ]; then
    echo "wine: initialising the prefix $WINEPREFIX"
    wineboot -u >/dev/null 2>&1 || true
    wineserver -w
    # A crashing test program ends with its backtrace instead of waiting at a dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    # A virtual desktop draws the windows' own frames and captions, which a bare X server
    # without a window manager would leave out of screenshots.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.ktl-ready"
  fi
  if [ ! -f "$WINEPREFIX/.ktl-cjk-fonts" ]; then
    # Wine's fallback for Chinese in captions and message boxes asks for SimSun and PMingLiU;
    # let the installed WenQuanYi Zen Hei answer to those names.
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v SimSun /d 'WenQuanYi Zen Hei' /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v PMingLiU /d 'WenQuanYi Zen Hei' /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.ktl-cjk-fonts"
  fi
  if [ ! -f "$WINEPREFIX/.ktl-wine-fonts" ]; then
    # Debian's Wine 8 looks for the fonts it ships (Marlett, Tahoma, MS Sans Serif: package
    # fonts-wine) at "<data dir>\../fonts", a name with a forward slash that no Windows path
    # lookup opens, so every prefix starts without them: caption buttons and check marks, drawn
    # from Marlett, come out as the letters "0 1 r". Name their folder where Wine also looks,
    # the Path value of its font settings.
    local fonts
    fonts=$(dirname "$(dpkg-query -L fonts-wine 2>/dev/null | grep '/marlett\.ttf$' | head -n 1)")
    [ -f "$fonts/marlett.ttf" ] || fonts=/usr/share/wine/fonts
    wine reg add 'HKCU\Software\Wine\Fonts' /v Path /d "Z:${fonts//\//\\}" /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.ktl-wine-fonts"
  fi
}

# A virtual X display of our own for the Windows programs' windows.
ktl_display_start() {
  local n=91
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do
    n=$((n + 1))
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  KTL_XVFB_PID=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$n" ] && return 0
    sleep 0.1
  done
  echo "Xvfb did not start on :$n" >&2
  return 1
}

ktl_display_stop() {
  [ -n "${KTL_XVFB_PID:-}" ] && kill "$KTL_XVFB_PID" 2>/dev/null || true
}

# One persistent wineserver makes every later Wine process start quickly.
ktl_wine_server_start() {
  # Its output goes nowhere: a server holding a test runner's pipe would keep the runner waiting.
  wineserver -p >/dev/null 2>&1 </dev/null &
  KTL_WINESERVER_PID=$!
  sleep 1
  # The first Wine program starts the prefix's services, which keep its output pipes open for
  # as long as they run; let a throwaway program start them with its output going nowhere.
  wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}

ktl_wine_server_stop() {
  wineserver -k >/dev/null 2>&1 || true
  wait "${KTL_WINESERVER_PID:-}" 2>/dev/null || true
}
