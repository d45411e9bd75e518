#!/usr/bin/env bash
# Fails when a program we ship carries the tests' fault seam: the fault hooks of
# platform/testing/fault_injection.h (namespace platform::fault) and the _Exit that ends a process at
# an armed operation. They belong to ktl_platform_testing alone.
#
#   scripts/check_release_seams.sh [--nm NM] [--seam TEST_PROGRAM] PROGRAM...
#
# PROGRAM: ktl, or ktl.exe and KitTailor.exe of a Windows tree or of a release zip. Two things
# are read for each, with NM (default: nm for ELF, the mingw-w64 nm for a .exe):
# - the symbol table of PROGRAM.symbols, the file beside it that the Windows build keeps when it
#   strips the program, or else PROGRAM's own. The programs we ship are stripped, so unpacked
#   from a zip they need their .symbols files from the build tree copied beside them. A symbols
#   file must list the program's own sections (name, size, address, read with NM's objdump), or
#   it is another build's. A program with neither a symbol table nor a symbols file fails: the
#   check cannot see its symbols.
# - every string of PROGRAM itself, with strings. Its debug information is left out: it names
#   the seam's constant-false stand-in, which the compiler folded away, in every build with -g.
# TEST_PROGRAM, a program that links the seam (the stripped ktl_testing of a Windows tree), must
# show it the same way: that proves the search can see what it looks for.
set -uo pipefail

nm_tool=""
seam_program=""
programs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --nm) nm_tool="$2"; shift 2 ;;
    --seam) seam_program="$2"; shift 2 ;;
    -h | --help) sed -n '2,19p' "$0"; exit 0 ;;
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

# Where the symbols of PROGRAM are read: its symbols file when there is one.
symbols_of() {
  if [ -f "$1.symbols" ]; then echo "$1.symbols"; else echo "$1"; fi
}

# Prints FILE's sections as "name size address", one a line; names cut to the 8 characters a
# stripped image keeps.
sections_of() {
  local nm
  nm=$(nm_for "$1")
  "$(tool_like_nm "$nm" objdump)" -h "$1" 2>/dev/null |
    awk '$1 ~ /^[0-9]+$/ { print substr($2, 1, 8), $3, $4 }' | sort
}

# Prints every symbol of FILE's table, one name a line; nothing when it has none.
symbol_names() {
  local file=$1 nm
  nm=$(nm_for "$file")
  "$nm" -a "$file" 2>/dev/null | awk 'NF { print $NF }'
}

# Prints every trace of the seam in PROGRAM: symbols (from SYMBOL_NAMES) and strings of the
# program that name platform::fault (mangled "8platform5fault", with or without the leading
# underscores of a 32-bit image), and _Exit as a symbol or an imported name.
seam_traces() {
  local program=$1 names=$2 nm bare
  nm=$(nm_for "$program")
  bare=$(mktemp)
  "$(tool_like_nm "$nm" objcopy)" --strip-debug "$program" "$bare" 2>/dev/null || cp "$program" "$bare"
  {
    printf '%s\n' "$names"
    strings -a "$bare"
  } | grep -E '8platform5fault|^_{0,3}_Exit(@.*)?$|^__imp__{0,1}_Exit$' | sort -u
  rm -f "$bare"
}

# Checks PROGRAM in ROLE "shipped" (it must show no trace) or "seam" (it must show some);
# prints its line, and the traces a shipped program carries. Returns 1 when it fails.
check_program() {
  local program=$1 role=$2 symbols names traces
  if [ ! -f "$program" ]; then
    echo "FAIL $program: no such file"
    return 1
  fi
  symbols=$(symbols_of "$program")
  # A symbols file of another build would be searched in place of the program's own table.
  if [ "$symbols" != "$program" ] &&
    [ -n "$(comm -23 <(sections_of "$program") <(sections_of "$symbols"))" ]; then
    echo "FAIL $program: $symbols is not its symbols file (their sections differ)"
    return 1
  fi
  names=$(symbol_names "$symbols")
  if [ -z "$names" ]; then
    if [ "$symbols" = "$program" ]; then
      echo "FAIL $program: cannot see its symbols: it has no symbol table and no symbols file ($(basename "$program").symbols) beside it"
    else
      echo "FAIL $program: cannot see its symbols: $symbols lists none"
    fi
    return 1
  fi
  traces=$(seam_traces "$program" "$names")
  if [ "$role" = shipped ]; then
    if [ -n "$traces" ]; then
      echo "FAIL $program carries the test seam (symbols read from $symbols):"
      sed 's/^/    /' <<<"$traces"
      return 1
    fi
    echo "ok   $program: no fault hook, no _Exit ($(wc -l <<<"$names") symbols read from $symbols)"
  else
    if [ -z "$traces" ]; then
      echo "FAIL $program links the seam, but the search finds none of it (symbols read from $symbols)"
      return 1
    fi
    echo "ok   $program (links the seam): $(wc -l <<<"$traces") traces found, as it must (symbols read from $symbols)"
  fi
}

status=0
for program in "${programs[@]}"; do
  check_program "$program" shipped || status=1
done

if [ -n "$seam_program" ]; then
  check_program "$seam_program" seam || status=1
fi
exit $status
