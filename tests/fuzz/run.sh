#!/usr/bin/env bash
# Builds the fuzz targets and runs each of them for SECONDS (default 60), one after another,
# after replaying the saved reproducers in tests/fuzz/regressions/TARGET/. It ends with one line
# per target:
#   fuzz TARGET: RUNS runs, EDGES edges, FINDINGS findings
# A finding is a check of a target's own that failed (counted once per kind of check), a crash,
# leak or timeout, or a reproducer that still fails. The exit status is 1 when there was any.
# Installs what it needs on Debian 12 when that is missing (as root).
#
# Environment: KTL_FUZZ_BUILD_DIR (default build/fuzz), KTL_FUZZ_JOBS for the build (default 2),
# KTL_FUZZ_TARGETS (default all seven).
# The corpora grow in BUILD_DIR/fuzz-run/corpus between runs; findings and logs of the last run
# are in BUILD_DIR/fuzz-run/findings and BUILD_DIR/fuzz-run/logs (fuzz-run-TARGETS with
# KTL_FUZZ_TARGETS).
set -euo pipefail

seconds=${1:-60}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 1)); then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${KTL_FUZZ_BUILD_DIR:-$root/build/fuzz}
work=$build/fuzz-run
here=$root/tests/fuzz
targets=(archive_fuzz package_fuzz image_walk_fuzz rewrite_fuzz extract_fuzz recovery_fuzz
  signature_fuzz)
# KTL_FUZZ_TARGETS="a b" runs only those, so that separate runs can share the cores.
if [[ -n ${KTL_FUZZ_TARGETS:-} ]]; then
  read -r -a targets <<<"$KTL_FUZZ_TARGETS"
  work=$build/fuzz-run-${KTL_FUZZ_TARGETS// /-}
fi
declare -A max_len=([archive_fuzz]=8192 [package_fuzz]=8192 [image_walk_fuzz]=4096
  [rewrite_fuzz]=8192 [extract_fuzz]=8192 [recovery_fuzz]=4096 [signature_fuzz]=16384)

install_packages() {
  if ((EUID != 0)); then
    echo "run.sh: missing $*; install them (apt-get install $*) or run as root" >&2
    exit 2
  fi
  echo "run.sh: installing $*"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

missing=()
command -v clang++ >/dev/null || missing+=(clang)
command -v cmake >/dev/null || missing+=(cmake)
command -v python3 >/dev/null || missing+=(python3)
dpkg-query -W -f='${Status}' zlib1g-dev 2>/dev/null | grep -q 'install ok installed' ||
  missing+=(zlib1g-dev)
if ((${#missing[@]})); then
  install_packages "${missing[@]}"
fi

# libFuzzer's runtime comes with compiler-rt, which Debian packages apart from clang.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
links_fuzzer() {
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    >"$probe_dir/probe.cpp"
  clang++ -fsanitize=fuzzer,address,undefined "$probe_dir/probe.cpp" -o "$probe_dir/probe" \
    >/dev/null 2>&1
}
if ! links_fuzzer; then
  clang_major=$(clang++ -dumpversion | cut -d. -f1)
  install_packages "libclang-rt-${clang_major}-dev"
  links_fuzzer || { echo "run.sh: clang++ -fsanitize=fuzzer does not link" >&2; exit 2; }
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DKTL_FUZZ=ON -DKTL_SANITIZE=ON \
  -DKTL_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "${targets[@]}" -j"${KTL_FUZZ_JOBS:-2}" >/dev/null

# The engine syncs every package it writes; on a memory file system that costs nothing.
scratch_base=/dev/shm
[[ -d $scratch_base && -w $scratch_base ]] || scratch_base=$work
mkdir -p "$work"
scratch=$(mktemp -d "$scratch_base/ktl-fuzz-XXXXXX")
trap 'rm -rf "$probe_dir" "$scratch"' EXIT

rm -rf "$work/seeds" "$work/findings" "$work/logs"
mkdir -p "$work/logs"
python3 "$here/make_seeds.py" "$work/seeds"

declare -A runs edges findings
for target in "${targets[@]}"; do
  findings[$target]=0
  # A reproducer must pass now; one that fails is a fault not fixed yet, or back again.
  for input in "$here/regressions/$target"/*; do
    [[ -f $input && $input != *.md ]] || continue
    log=$work/logs/replay-$target-$(basename "$input").log
    if ! env -u KTL_FUZZ_FINDINGS TMPDIR="$scratch" "$build/$target" "$input" >"$log" 2>&1; then
      findings[$target]=$((findings[$target] + 1))
      echo "replay $target $(basename "$input"): $(grep -m1 -E 'ERROR|error:' "$log" || echo failed)"
    fi
  done
done

for target in "${targets[@]}"; do
  corpus=$work/corpus/$target
  found=$work/findings/$target
  log=$work/logs/$target.log
  mkdir -p "$corpus" "$found"
  : >"$log"
  deadline=$((SECONDS + seconds))
  restarts=0
  # A crash ends libFuzzer; it starts again on the grown corpus for the time left, but not
  # without end, since a crash found at once again would only spin.
  while ((deadline - SECONDS > 0 && restarts < 3)); do
    status=0
    KTL_FUZZ_FINDINGS=$found TMPDIR=$scratch "$build/$target" "$corpus" "$work/seeds/$target" \
      -dict="$here/ktl.dict" -max_total_time=$((deadline - SECONDS)) \
      -max_len="${max_len[$target]}" -timeout=20 -rss_limit_mb=2048 \
      -artifact_prefix="$found/" -print_final_stats=1 >>"$log" 2>&1 || status=$?
    ((status == 0)) && break
    restarts=$((restarts + 1))
  done
  runs[$target]=$(awk -F': ' '/^stat::number_of_executed_units/ { n += $2 } END { print n + 0 }' \
    "$log")
  edges[$target]=$( (grep -oE 'cov: [0-9]+' "$log" || true) | awk '{ if ($2 > m) m = $2 } END { print m + 0 }')
  kinds=$( (grep -oE '^ERROR: finding [^:]+' "$log" || true) | sort -u | wc -l)
  crashes=$(find "$found" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' \
    -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  findings[$target]=$((findings[$target] + kinds + crashes))
  for text in "$found"/*.txt; do
    if [[ -f $text ]]; then echo "$target $(head -c 400 "$text")"; fi
  done
  for artifact in $(find "$found" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' \
    -o -name 'timeout-*' -o -name 'oom-*' \)); do
    echo "$target $(basename "$artifact"): $(grep -m1 -E '==ERROR|ERROR: libFuzzer' "$log" || true)"
  done
done

total=0
for target in "${targets[@]}"; do
  echo "fuzz $target: ${runs[$target]} runs, ${edges[$target]} edges, ${findings[$target]} findings"
  total=$((total + findings[$target]))
done
((total == 0))
