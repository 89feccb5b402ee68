#!/bin/sh
# Builds a Release tree (build-rel) and runs every benchmark program of the
# project, printing their figures. Extra arguments go to each program (for
# example --benchmark_filter=...). Not part of the test command.
#
#   bench/run.sh                 all programs
#   BENCH="net domail_large" bench/run.sh   only these
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-rel"
jobs=${JOBS:-2}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTMAIL_TESTS=OFF >/dev/null
if [ -z "${BENCH:-}" ]; then
    BENCH=$(for f in "$root"/bench/*.cpp; do basename "$f" .cpp; done)
fi
targets=$(for b in $BENCH; do printf 'bench_%s ' "$b"; done)
# shellcheck disable=SC2086
ninja -C "$build" -j"$jobs" $targets

status=0
for b in $BENCH; do
    echo
    echo "=== bench_$b ==="
    if ! "$build/bench/bench_$b" "$@"; then
        echo "bench_$b failed" >&2
        status=1
    fi
done
exit $status
