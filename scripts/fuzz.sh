#!/usr/bin/env bash
# Fuzzes every target, all cores busy, and reports what each one did.
#
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 600, all)
#
# Builds the targets with Clang, libFuzzer, ASan and UBSan (leak checks on)
# in build-fuzz/ (OSTMAIL_FUZZ_BUILD to change), runs as many targets at once
# as there are cores, each for the whole time over its saved corpus, its
# seeds and its dictionary, prints the table target/runs/exec/s/coverage/
# crashes and writes the same figures to build-fuzz/fuzz-report.json. Each target's corpus grows in
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

# One target in the background: its saved inputs once, then one libFuzzer
# process for the whole time (a process that lives long is what shows a
# slow leak). Its exit status goes to rc, its process id to pid.
fuzz_one() {
  local t=$1 work=$build/fuzz-run/$1 bin=$build/tests/fuzz/fuzz_$1 dict rc
  local seeds=$root/tests/fuzz/corpus/$1
  dict=$(dict_for "$t")
  local args=(-max_total_time="$secs" -timeout=60 -rss_limit_mb=2560 -print_final_stats=1 -artifact_prefix="$work/")
  [[ -f $dict ]] && args+=(-dict="$dict")
  cd "$work" || return
  "$bin" -runs=0 -artifact_prefix="$work/" "$work/corpus" "$seeds" > "$work/log" 2>&1
  rc=$?
  [[ $rc -eq 0 && -f $stop ]] && rc=72
  if [[ $rc -eq 0 ]]; then
    "$bin" "${args[@]}" "$work/corpus" "$seeds" >> "$work/log" 2>&1 &
    echo $! > "$work/pid"
    [[ -f $stop ]] && kill -INT $!
    wait $!
    rc=$?
  fi
  echo $rc > "$work/rc"
}

# The figures of a finished target: runs, exec/s, edges, crashes.
figures() {
  local log=$build/fuzz-run/$1/log rc
  rc=$(cat "$build/fuzz-run/$1/rc")
  local runs eps cov
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  eps=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -oE ' cov: [0-9]+' "$log" | tail -1 | grep -oE '[0-9]+')
  # 0 clean, 71 a harness failure, 72 stopped after another target's crash.
  echo "$1 ${runs:-0} ${eps:-0} ${cov:-0} $([[ $rc =~ ^(0|71|72)$ ]] && echo 0 || echo 1)"
}

# Stops at the first crash or harness failure: says which, how to replay it.
verdict() {
  local t=$1 work=$build/fuzz-run/$1 rc repro
  rc=$(cat "$work/rc")
  if [[ $rc -eq 71 ]] || grep -q "fuzz harness failure" "$work/log"; then
    echo "HARNESS FAILURE in $t (not a fault of the code under test):" >&2
    grep "fuzz harness failure" "$work/log" >&2
    return 3
  fi
  [[ $rc -eq 0 || $rc -eq 72 ]] && return 0
  repro=$(ls -t "$work"/crash-* "$work"/timeout-* "$work"/oom-* "$work"/leak-* 2> /dev/null | head -1)
  echo "CRASH in $t (exit $rc); the target's log: $work/log" >&2
  grep -m1 -B6 -E "==[0-9]+== ?ERROR|runtime error" "$work/log" | grep -v "^INFO\|^#" >&2
  echo "reproducer: ${repro:-none written, see the log}" >&2
  [[ -n $repro ]] && echo "replay:     $build/tests/fuzz/fuzz_$t $repro" >&2
  return 1
}

for t in "${targets[@]}"; do
  work=$build/fuzz-run/$t
  mkdir -p "$work/corpus"
  rm -f "$work"/crash-* "$work"/timeout-* "$work"/oom-* "$work"/leak-* "$work/rc" "$work/pid" "$work/log"
done

stop=$build/fuzz-run/stop
rm -f "$stop"
status=0 started=() checked=()
# Stops the targets still running (SIGINT: libFuzzer prints its figures).
stop_all() {
  local t
  touch "$stop"
  for t in "${started[@]}"; do
    [[ -f $build/fuzz-run/$t/rc || ! -f $build/fuzz-run/$t/pid ]] || kill -INT "$(cat "$build/fuzz-run/$t/pid")" 2> /dev/null
  done
}
# Looks at every target that has ended since the last look.
look() {
  local t
  for t in "${started[@]}"; do
    [[ -f $build/fuzz-run/$t/rc && " ${checked[*]} " != *" $t "* ]] || continue
    checked+=("$t")
    ((status == 0)) || continue
    verdict "$t" || { status=$?; stop_all; }
  done
}
for t in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= cores)); do wait -n; look; done
  ((status == 0)) || break
  echo "== $t: $secs s" >&2
  fuzz_one "$t" &
  started+=("$t")
done
while (($(jobs -rp | wc -l) > 0)); do wait -n; look; done
look

rows=()
for t in "${started[@]}"; do rows+=("$(figures "$t")"); done

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
