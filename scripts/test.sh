#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds a normal and a
# sanitizer tree (benchmarks are built, not run), starts the test servers,
# runs every test in both trees and closes with one summary line.
#
#   bash scripts/test.sh                    everything
#   bash scripts/test.sh --no-sanitize      the normal tree only
#   bash scripts/test.sh -R Smtp -L unit    anything else goes to ctest
#
# Logs: build/build.log, build/ctest.log (and the same in build-asan/;
# the ThreadSanitizer lane, scripts/lane_tsan.sh, in build/tsan.log),
# servers in build/servers.log, the Windows lane (scripts/lane_windows.sh) in
# build/lane_windows.log. OSTMAIL_KEEP_SERVERS=1 leaves the servers'
# folder in place after the run for a look at their logs.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT" || exit 1
PY=/usr/bin/python3
JOBS=${OSTMAIL_JOBS:-2}
START=$(date +%s)

sanitize=1
ctest_args=()
for arg in "$@"; do
  case $arg in
    --no-sanitize) sanitize=0 ;;
    *) ctest_args+=("$arg") ;;
  esac
done

passed=0 failed=0 skipped=0 ran_any=0
servers_dir=""

say() { echo "test: $*"; }

finish() {
  local rc=$?
  trap - EXIT INT TERM
  if [[ -n $servers_dir ]]; then
    bash "$ROOT/scripts/servers.sh" stop "$servers_dir" >>"$ROOT/build/servers.log" 2>&1
    if [[ ${OSTMAIL_KEEP_SERVERS:-0} == 1 ]]; then
      say "servers' folder kept: $servers_dir"
    else
      rm -rf "$servers_dir"
    fi
  fi
  if ((rc == 0 && failed == 0 && !ran_any)); then
    say "no test ran"
    rc=1
  fi
  ((failed > 0 && rc == 0)) && rc=1
  say "took $(($(date +%s) - START)) s"
  echo "$passed passed, $failed failed, $skipped skipped"
  exit "$rc"
}
trap finish EXIT
trap 'exit 130' INT TERM

# --- packages ---
if ! bash "$ROOT/scripts/setup.sh"; then
  say "package setup failed"
  failed=$((failed + 1))
  exit 1
fi

# --- builds ---
# build_tree DIR CMAKE-ARGS...: configures and builds; logs to DIR/build.log.
build_tree() {
  local dir=$1
  shift
  mkdir -p "$dir"
  say "building $dir (log: $dir/build.log)"
  if cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >"$dir/build.log" 2>&1 &&
    ninja -C "$dir" -j "$JOBS" >>"$dir/build.log" 2>&1; then
    return 0
  fi
  say "BUILD FAILED in $dir; the end of its log:"
  grep -E 'error|Error|FAILED' "$dir/build.log" | head -n 40
  tail -n 20 "$dir/build.log"
  failed=$((failed + 1))
  return 1
}

trees=()
build_tree build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTMAIL_SANITIZE=OFF -DOSTMAIL_BENCH=ON &&
  trees+=(build)
if ((sanitize)); then
  build_tree build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTMAIL_SANITIZE=ON -DOSTMAIL_BENCH=OFF &&
    trees+=(build-asan)
fi
((${#trees[@]})) || exit 1

# --- servers ---
servers_dir=$(mktemp -d /tmp/ostmail-servers.XXXXXX)
chmod 755 "$servers_dir"
export OSTMAIL_TEST_ENV=$servers_dir/env
say "starting servers in $servers_dir (log: build/servers.log)"
if ! bash "$ROOT/scripts/servers.sh" start "$servers_dir" >"$ROOT/build/servers.log" 2>&1; then
  # The integration tests then fail, each saying why; unit tests still run.
  say "SERVERS DID NOT START:"
  tail -n 30 "$ROOT/build/servers.log"
fi

# --- tests ---
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for tree in "${trees[@]}"; do
  say "testing $tree (log: $tree/ctest.log)"
  rm -f "$tree/ctest-junit.xml"
  ctest --test-dir "$tree" -j "$JOBS" --output-on-failure --no-tests=ignore \
    --output-junit ctest-junit.xml "${ctest_args[@]}" >"$tree/ctest.log" 2>&1
  ctest_rc=$?
  counts=$("$PY" "$ROOT/scripts/ctest_report.py" "$tree/ctest-junit.xml" "$tree/ctest.log")
  read -r p f s <<<"$counts"
  if ((ctest_rc != 0 && f == 0)); then
    say "ctest failed in $tree (exit $ctest_rc) without a failed test; see $tree/ctest.log"
    tail -n 20 "$tree/ctest.log"
    f=1
  fi
  say "$tree: $p passed, $f failed, $s skipped"
  passed=$((passed + p))
  failed=$((failed + f))
  skipped=$((skipped + s))
  ((p + f > 0)) && ran_any=1
done

# The install lane: the normal tree installed, consumed and packaged.
if [[ " ${trees[*]} " == *" build "* ]]; then
  say "install lane (log: build/lane_install.log)"
  # The lane prints its FAIL lines, then "PASSED FAILED SKIPPED" last.
  lane_out=$(bash "$ROOT/scripts/lane_install.sh" "$ROOT/build")
  head -n -1 <<<"$lane_out"
  read -r p f s <<<"$(tail -n 1 <<<"$lane_out")"
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
  ((p + f > 0)) && ran_any=1
fi

# Mail programs through `ostmail sendmail`, counted like the ctest trees.
if [[ ${#ctest_args[@]} == 0 && -x build/ostmail ]]; then
  read -r p f < <(bash "$ROOT/scripts/lane_clients.sh" 2>&1 | tee build/lane_clients.log | tail -n 1 |
    sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed.*/\1 \2/p')
  say "mail programs: $p passed, $f failed (log: build/lane_clients.log)"
  passed=$((passed + ${p:-0})) failed=$((failed + ${f:-1})) ran_any=1
fi

# The Windows DLL, cross-built and run under Wine (OSTMAIL_WINDOWS=0 leaves it out).
if [[ ${OSTMAIL_WINDOWS:-1} == 1 && ${#ctest_args[@]} == 0 ]]; then
  say "windows lane (log: build/lane_windows.log)"
  bash "$ROOT/scripts/lane_windows.sh" >"$ROOT/build/lane_windows.log" 2>&1
  grep -E '^windows: (FAIL|skip|wine:)|^failed:' "$ROOT/build/lane_windows.log"
  read -r p _ f _ s _ <<<"$(tail -n 1 "$ROOT/build/lane_windows.log")"
  say "windows: ${p:-0} passed, ${f:-1} failed, ${s:-0} skipped"
  passed=$((passed + ${p:-0})) failed=$((failed + ${f:-1})) skipped=$((skipped + ${s:-0}))
  ((${p:-0} + ${f:-1} > 0)) && ran_any=1
fi

# ThreadSanitizer tree: unit tests and the threaded sends.
if ((sanitize)); then
  bash "$ROOT/scripts/lane_tsan.sh" | tee "$ROOT/build/tsan.log" | grep -v ' passed, '
  read -r p _ f _ s _ <<<"$(tail -n 1 "$ROOT/build/tsan.log")"
  say "build-tsan: ${p:-0} passed, ${f:-1} failed, ${s:-0} skipped"
  passed=$((passed + ${p:-0})) failed=$((failed + ${f:-1})) skipped=$((skipped + ${s:-0}))
fi
exit 0
