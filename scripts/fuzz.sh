#!/usr/bin/env bash
# Fuzzes every target in turn, each on all cores, and reports what it did.
#
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 600, all)
#
# Builds the targets with Clang, libFuzzer, ASan and UBSan (leak checks on)
# in build-fuzz/ (OSTMAIL_FUZZ_BUILD to change), runs each with
# -fork=<cores> over its saved corpus, its seeds and its dictionary, prints
# the table target/runs/exec/s/coverage/crashes and writes the same figures
# to build-fuzz/fuzz-report.json. Each target's corpus grows in
# build-fuzz/fuzz-run/<target>/ from one run to the next.
#
# Stops at the first crash (exit 1) with the reproducer and the command that
# replays it; a failure of a harness's own set-up (exit 71 from the target)
# is reported as that (exit 3), not as a crash.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
secs=600
if [[ $# -gt 0 && $1 =~ ^[0-9]+$ ]]; then secs=$1; shift; fi
build=${OSTMAIL_FUZZ_BUILD:-$root/build-fuzz}
cores=$(nproc)
report=$build/fuzz-report

all_targets() { sed -n '/^set(fuzz_targets/,/)/p' "$root/tests/fuzz/CMakeLists.txt" | awk 'NR > 1 { print $1 }'; }
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || mapfile -t targets < <(all_targets)

dict_for() {
  case $1 in
    send_mime | sendmail_input) echo "$root/tests/fuzz/mail_text.dict" ;;
    *) echo "$root/tests/fuzz/$1.dict" ;;
  esac
}

if ! command -v clang++ > /dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a > /dev/null 2>&1; then
  echo "fuzz.sh: clang with libFuzzer is missing; run: bash scripts/setup.sh" >&2
  exit 2
fi

mkdir -p "$build"
launcher=()
command -v ccache > /dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTMAIL_FUZZ=ON \
  -DOSTMAIL_BENCH=OFF "${launcher[@]}" > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 2; }
ninja -C "$build" "${targets[@]/#/fuzz_}" >&2 || exit 2

rows=()
# One target: its figures come from libFuzzer's last fork-mode status line,
# "#RUNS: cov: C ft: F corp: N exec/s E oom/timeout/crash: O/T/X time: S".
fuzz_one() {
  local t=$1 work=$build/fuzz-run/$1 bin=$build/tests/fuzz/fuzz_$1 dict
  mkdir -p "$work/corpus"
  rm -f "$work"/crash-* "$work"/timeout-* "$work"/oom-* "$work"/leak-*
  dict=$(dict_for "$t")
  local args=(-fork="$cores" -max_total_time="$secs" -timeout=60 -rss_limit_mb=2560 -artifact_prefix="$work/")
  [[ -f $dict ]] && args+=(-dict="$dict")
  echo "== $t: $secs s on $cores cores" >&2
  # Every saved input once first: fork mode's opening merge would set a
  # crashing one aside without a word.
  (cd "$work" && "$bin" -runs=0 -artifact_prefix="$work/" "$work/corpus" "$root/tests/fuzz/corpus/$t") > "$work/log" 2>&1
  local rc=$? line
  if [[ $rc -eq 0 ]]; then
    (cd "$work" && "$bin" "${args[@]}" "$work/corpus" "$root/tests/fuzz/corpus/$t") >> "$work/log" 2>&1
    rc=$?
  fi
  line=$(grep -E '^#[0-9]+: cov: ' "$work/log" | tail -1)
  read -r runs cov eps faults <<< "$(sed -E 's/^#([0-9]+): cov: ([0-9]+) .* exec\/s ([0-9]+) oom\/timeout\/crash: ([0-9]+)\/([0-9]+)\/([0-9]+).*/\1 \2 \3 \4+\5+\6/' <<< "${line:-#0: cov: 0 x exec/s 0 oom/timeout/crash: 0/0/0}")"
  faults=$((faults))
  [[ $rc -ne 0 && $rc -ne 71 && $faults -eq 0 ]] && faults=1  # found by the replay of the saved inputs
  rows+=("$t $runs $eps $cov $faults")
  if grep -q "fuzz harness failure" "$work/log" || [[ $rc -eq 71 ]]; then
    echo "HARNESS FAILURE in $t (not a fault of the code under test):" >&2
    grep "fuzz harness failure" "$work/log" >&2
    return 3
  fi
  if [[ $rc -ne 0 ]]; then
    local repro
    repro=$(ls -t "$work"/crash-* "$work"/timeout-* "$work"/oom-* "$work"/leak-* 2> /dev/null | head -1)
    echo "CRASH in $t (exit $rc); the target's log: $work/log" >&2
    grep -m1 -B6 -E "==[0-9]+== ?ERROR|runtime error" "$work/log" | grep -v "^INFO\|^#" >&2
    echo "reproducer: ${repro:-none written, see the log}" >&2
    [[ -n $repro ]] && echo "replay:     $bin $repro" >&2
    return 1
  fi
}

status=0
for t in "${targets[@]}"; do
  fuzz_one "$t" || { status=$?; break; }
done

{
  printf '| Target | Runs | exec/s | Coverage (edges) | Crashes |\n|---|---:|---:|---:|---:|\n'
  for r in "${rows[@]}"; do read -r t runs eps cov faults <<< "$r"; printf '| %s | %s | %s | %s | %s |\n' "$t" "$runs" "$eps" "$cov" "$faults"; done
} | tee "$report.md"
{
  printf '{"seconds_per_target": %s, "cores": %s, "targets": [' "$secs" "$cores"
  sep=""
  for r in "${rows[@]}"; do
    read -r t runs eps cov faults <<< "$r"
    printf '%s\n  {"target": "%s", "runs": %s, "exec_per_s": %s, "coverage": %s, "crashes": %s}' "$sep" "$t" "$runs" "$eps" "$cov" "$faults"
    sep=","
  done
  printf '\n]}\n'
} > "$report.json"
echo "written: $report.md $report.json" >&2
exit $status
