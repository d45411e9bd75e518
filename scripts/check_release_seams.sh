#!/usr/bin/env bash
# Fails when a program we ship carries the tests' fault seam: the fault hooks of
# platform/testing/fault_injection.h (namespace platform::fault) and the _Exit that ends a process at
# an armed operation. They belong to ktl_platform_testing alone.
#
#   scripts/check_release_seams.sh [--nm NM] [--seam TEST_PROGRAM] PROGRAM...
#
# PROGRAM: ktl, or ktl.exe, KitTailor.exe and ZorSetup.exe of a Windows tree. The symbol table
# is read with NM (default: nm for ELF, the mingw-w64 nm for a .exe), and every string of the
# file with strings, so a stripped program is still searched. Debug information is left out of
# the string search: it names the seam's constant-false stand-in, which the compiler folded
# away, in every build with -g. TEST_PROGRAM, a program that links the seam (engine_tests),
# must show it: that proves the search can see what it looks for.
set -uo pipefail

nm_tool=""
seam_program=""
programs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --nm) nm_tool="$2"; shift 2 ;;
    --seam) seam_program="$2"; shift 2 ;;
    -h | --help) sed -n '2,12p' "$0"; exit 0 ;;
    *) programs+=("$1"); shift ;;
  esac
done
if [ ${#programs[@]} -eq 0 ]; then
  echo "usage: $0 [--nm NM] [--seam TEST_PROGRAM] PROGRAM..." >&2
  exit 64
fi

nm_for() {
  if [ -n "$nm_tool" ]; then
    echo "$nm_tool"
  elif [[ "$1" == *.exe ]]; then
    echo x86_64-w64-mingw32-nm  # reads 32-bit and 64-bit images alike
  else
    echo nm
  fi
}

# The binutils tool NAME that goes with NM: the same prefix and folder.
tool_like_nm() {
  local nm=$1 name=$2
  echo "${nm%nm}$name"
}

# Prints every trace of the seam in the file: symbols and strings that name platform::fault
# (mangled "8platform5fault", with or without the leading underscores of a 32-bit image), and
# _Exit as a symbol or an imported name.
seam_traces() {
  local file=$1 nm bare
  nm=$(nm_for "$file")
  bare=$(mktemp)
  "$(tool_like_nm "$nm" objcopy)" --strip-debug "$file" "$bare" 2>/dev/null || cp "$file" "$bare"
  {
    "$nm" -a "$file" 2>/dev/null | awk '{ print $NF }'
    strings -a "$bare"
  } | grep -E '8platform5fault|^_{0,3}_Exit(@.*)?$|^__imp__{0,1}_Exit$' | sort -u
  rm -f "$bare"
}

status=0
for program in "${programs[@]}"; do
  if [ ! -f "$program" ]; then
    echo "FAIL $program: no such file"
    status=1
    continue
  fi
  traces=$(seam_traces "$program")
  if [ -n "$traces" ]; then
    echo "FAIL $program carries the test seam:"
    sed 's/^/    /' <<<"$traces"
    status=1
  else
    echo "ok   $program: no fault hook, no _Exit"
  fi
done

if [ -n "$seam_program" ]; then
  traces=$(seam_traces "$seam_program")
  if [ -z "$traces" ]; then
    echo "FAIL $seam_program links the seam, but the search finds none of it"
    status=1
  else
    echo "ok   $seam_program (links the seam): $(wc -l <<<"$traces") traces found, as it must"
  fi
fi
exit $status
