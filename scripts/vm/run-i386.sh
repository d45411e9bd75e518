#!/usr/bin/env bash
# Runs the suites of the 32-bit Windows programs under Wine's 32-bit loader inside a VM: for
# machines whose kernel cannot start 32-bit programs, where the host's Wine can run only a
# 64-bit build. Run as root.
#
#     scripts/vm/run-i386.sh WIN32_BUILD_DIR
#
# WIN32_BUILD_DIR is an i686 tree built with its tests (cmake/i686-w64-mingw32.cmake). The guest
# image comes from make-image.sh, in KTL_VM_DIR (default: build/vm of the checkout). The
# suites' output is printed here; their files (output.log, screenshots/) are left in
# KTL_VM_DIR/run/out. Exits non-zero when a suite failed or the VM did not report.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
vm=$(realpath -m "${KTL_VM_DIR:-$root/build/vm}")
run="$vm/run"
# The job's own bound (a run took 18 minutes on one busy core); the host allows for the boot
# and the shutdown on top.
job_limit=2700
# A virtual CPU without a free host core of its own makes the guest's every hand-over between
# processes wait for the host's scheduler: two of them on one free core made a Wine prefix take
# four times as long as one did. One core is left to the host.
cpus=${KTL_VM_CPUS:-$(($(nproc) > 2 ? 2 : 1))}

fail() {
  echo "run-i386: $*" >&2
  exit 1
}

[ $# = 1 ] || fail "usage: run-i386.sh WIN32_BUILD_DIR"
build=$(realpath -m "$1")
programs=(ktl.exe KitTailor.exe ZorSetup.exe tests/drive_kittailor.exe tests/dialog_probe.dll
          tests/record_e2e.exe)
for program in "${programs[@]}"; do
  [ -f "$build/$program" ] || fail "$build/$program is missing: build the i686 tree with its tests"
done

bash "$here/make-image.sh" "$vm"
started=$SECONDS

# The second disk: the programs in bin/, the tests (with the sources they read) in src/ as laid
# out in the checkout, and the job.
rm -rf "$run"
job="$run/job"
mkdir -p "$job/bin/tests" "$job/src/tests"
for program in "${programs[@]}"; do
  cp "$build/$program" "$job/bin/$program"
done
cp -r "$root/tests/python" "$root/tests/blackbox" "$job/src/tests/"
cp -r "$root/tools" "$root/res" "$root/CMakeLists.txt" "$job/src/"
cat >"$job/job.sh" <<'EOF'
#!/bin/bash
# Runs in the VM, in /job: the suites against the 32-bit programs in bin/, results in out/.
set -uo pipefail
export LANG=en_US.UTF-8 TMPDIR=/tmp PYTHONDONTWRITEBYTECODE=1
export WINEARCH=win32 WINEPREFIX=/root/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
bin=/job/bin
src=/job/src

echo "guest: $(uname -r), $(wine --version), Python $(python3 -c 'import platform; print(platform.python_version())')"
# The point of the VM is the 32-bit loader: a guest that cannot start it would test nothing.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "guest: Wine's 32-bit loader does not start"
  exit 1
fi

# The prefix as scripts/wine-env.sh (ktl_wine_prepare) makes it on the host.
started=$SECONDS
wineboot -u >/dev/null 2>&1 || true
wineserver -w
# A crashing test program ends with its backtrace instead of waiting at a dialog.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
# A virtual desktop draws the windows' own frames and captions, which a bare X server without a
# window manager would leave out of screenshots.
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
# Debian's Wine 8 looks for the fonts of fonts-wine where no Windows path lookup opens them;
# the Path value of its font settings is where it also looks.
fonts=$(dirname "$(dpkg-query -L fonts-wine 2>/dev/null | grep '/marlett\.ttf$' | head -n 1)")
[ -f "$fonts/marlett.ttf" ] || fonts=/usr/share/wine/fonts
wine reg add 'HKCU\Software\Wine\Fonts' /v Path /d "Z:${fonts//\//\\}" /f >/dev/null 2>&1
# Wine's fallback for Chinese in captions and message boxes asks for SimSun and PMingLiU.
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v SimSun /d 'WenQuanYi Zen Hei' /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v PMingLiU /d 'WenQuanYi Zen Hei' /f >/dev/null 2>&1
wineserver -w
if [ ! -f "$WINEPREFIX/system.reg" ] || [ -d "$WINEPREFIX/drive_c/windows/syswow64" ]; then
  echo "guest: no 32-bit Wine prefix in $WINEPREFIX"
  exit 1
fi
echo "guest: the win32 prefix took $((SECONDS - started)) s"

Xvfb :91 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:91
for _ in $(seq 100); do
  [ -e /tmp/.X11-unix/X91 ] && break
  sleep 0.1
done
[ -e /tmp/.X11-unix/X91 ] || { echo "guest: Xvfb did not start"; exit 1; }
# One persistent server makes every later Wine process start quickly; the first program
# starts the prefix's services with their output going nowhere, so that none holds a test's
# pipes open.
wineserver -p >/dev/null 2>&1 </dev/null &
sleep 1
wine cmd /c exit >/dev/null 2>&1 </dev/null || true

failures=0
# suite NAME SECONDS COMMAND...: one suite, its output kept in out/NAME.log and shown.
suite() {
  local name=$1 limit=$2 status begun=$SECONDS
  shift 2
  echo
  echo "== $name"
  # The host sees only the console while the VM runs.
  echo "job: $name" >/dev/console
  timeout -k 10 "$limit" "$@" >"/job/out/$name.log" 2>&1 </dev/null
  status=$?
  cat "/job/out/$name.log"
  # A selection that matched nothing would pass without testing anything.
  if [ "$status" = 0 ] && grep -q '^Ran 0 tests' "/job/out/$name.log"; then
    status="no tests ran"
  fi
  local counts
  counts=$(grep -E '^Ran [0-9]+ tests? in|^[0-9]+ passed, [0-9]+ failed' "/job/out/$name.log" | tail -n 1)
  if [ "$status" = 0 ]; then
    echo "$name: passed ($counts, $((SECONDS - begun)) s)" >>/job/out/summary
  else
    [ "$status" = 124 ] && status="timed out after $limit s"
    echo "$name: FAILED ($status; $counts, $((SECONDS - begun)) s)" >>/job/out/summary
    failures=$((failures + 1))
  fi
  tail -n 1 /job/out/summary >/dev/console
}

ktl_suite() {
  suite "$1" "$2" python3 "$src/tests/python/$3" --ktl "$bin/ktl.exe" --runner wine
}
ktl_suite ktl_golden 600 test_golden.py
ktl_suite ktl_malformed 1200 test_malformed.py
ktl_suite ktl_members 1200 test_members.py
# English only, to keep the VM's time down: the cases whose names end in _en.
suite kittailor_blackbox_en 900 python3 "$src/tests/blackbox/test_kittailor.py" \
  --driver "$bin/tests/drive_kittailor.exe" --app "$bin/KitTailor.exe" \
  --shots /job/out/screenshots --runner wine -k '*_en'
suite kittailor_record_e2e 1200 python3 "$src/tests/blackbox/test_record_e2e.py" \
  --driver "$bin/tests/record_e2e.exe" --app "$bin/KitTailor.exe" --setup "$bin/ZorSetup.exe" \
  --ktl "$bin/ktl.exe" --runner wine

wineserver -k >/dev/null 2>&1 || true
kill "$xvfb" 2>/dev/null || true
echo
echo "== summary (32-bit programs, Wine's 32-bit loader, in the VM)"
cat /job/out/summary
exit $((failures > 0))
EOF

mkfs.ext4 -q -F -L ktl-vm-job -d "$job" "$run/job.img" 512M >/dev/null ||
  fail "cannot make the job disk $run/job.img"

echo "run-i386: booting the VM with $cpus CPU(s) (console: $run/console.log)"
# Software emulation (no KVM) on qemu64: with -cpu max every 32-bit Wine process dies in a
# kernel oops. The root disk takes the run's writes in a snapshot, so every run starts from the
# image as made.
qemu_status=0
timeout $((job_limit + 600)) qemu-system-x86_64 -accel tcg -cpu qemu64 -smp "$cpus" -m 3G \
  -nographic -no-reboot -net none \
  -kernel "$vm/vmlinuz" -initrd "$vm/initrd.img" \
  -append "root=/dev/vda rw console=ttyS0 panic=1 init=/sbin/ktl-guest-init ktl.timeout=$job_limit" \
  -drive "file=$vm/root.img,format=raw,if=virtio,snapshot=on" \
  -drive "file=$run/job.img,format=raw,if=virtio" \
  </dev/null >"$run/console.log" 2>&1 || qemu_status=$?

# Without a loop device: debugfs copies the results out of the image.
debugfs -R "rdump /out $run" "$run/job.img" >/dev/null 2>&1 || true
[ -f "$run/out/output.log" ] && cat "$run/out/output.log"
echo "run-i386: $((SECONDS - started)) s in all"
if [ ! -f "$run/out/status" ]; then
  [ "$qemu_status" = 124 ] && fail "the VM did not end in time; see $run/console.log"
  fail "the VM did not report (qemu status $qemu_status); see $run/console.log"
fi
status=$(cat "$run/out/status")
[ "$status" = 0 ] || fail "the suites in the VM failed (job status $status)"
