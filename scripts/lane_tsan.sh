#!/usr/bin/env bash
# The ThreadSanitizer lane: builds build-tsan with only the unit test programs
# and the integration program, runs the unit tests and the threaded sends, and
# prints "N passed, N failed, N skipped" as its last line. Any race report
# fails the program it came from. Needs OSTMAIL_TEST_ENV for the Exim half.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DIR=$ROOT/build-tsan
JOBS=${OSTMAIL_JOBS:-2}
UNITS=(test_platform test_crypto test_core test_email test_net test_smtp test_facade test_mailjob)
passed=0 failed=0
mkdir -p "$DIR"
echo "tsan: building $DIR (log: $DIR/build.log)"
if ! cmake -S "$ROOT" -B "$DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTMAIL_SANITIZE=OFF \
  -DOSTMAIL_TSAN=ON -DOSTMAIL_BENCH=OFF >"$DIR/build.log" 2>&1 ||
  ! ninja -C "$DIR" -j "$JOBS" "${UNITS[@]}" test_integration >>"$DIR/build.log" 2>&1; then
  grep -E 'error|FAILED' "$DIR/build.log" | head -n 20
  echo "0 passed, 1 failed, 0 skipped"
  exit 1
fi
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=0:exitcode=66:second_deadlock_stack=1}
# run NAME PROGRAM ARGS...: one result per program; its output goes to the log.
run() {
  local name=$1
  shift
  if "$@" >"$DIR/$name.log" 2>&1 && ! grep -q 'WARNING: ThreadSanitizer' "$DIR/$name.log"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "tsan: $name FAILED; the end of $DIR/$name.log:"
    grep -A12 -m2 'WARNING: ThreadSanitizer\|Failure\|FAILED' "$DIR/$name.log" | head -n 40
  fi
}
for t in "${UNITS[@]}"; do
  [[ -x $DIR/tests/$t ]] && run "$t" "$DIR/tests/$t" --gtest_brief=1
done
run threaded_send "$DIR/tests/test_integration" --gtest_filter='ThreadedSend*'
echo "$passed passed, $failed failed, 0 skipped"
((failed == 0))
