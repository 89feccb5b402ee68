#!/usr/bin/env bash
# The install lane: installs a built tree into a temporary prefix, builds a
# consumer through find_package and another through pkg-config, runs both
# against the test servers ($OSTMAIL_TEST_ENV), checks the shared library's
# soname and exported symbols, and builds and checks the Debian packages.
#
#   bash scripts/lane_install.sh [BUILD_DIR]      (default: build)
#
# Details go to BUILD_DIR/lane_install.log; the last line of stdout is
# "P F S" (passed, failed, skipped) for the test command's totals.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd) || { echo "0 1 0"; exit 1; }
LOG=$BUILD/lane_install.log
WORK=$(mktemp -d /tmp/ostmail-install.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
PREFIX=$WORK/prefix
passed=0 failed=0 skipped=0
: >"$LOG"

check() {  # check NAME COMMAND...: one result, output to the log
  local name=$1
  shift
  if "$@" >>"$LOG" 2>&1; then
    passed=$((passed + 1))
    echo "PASS $name" >>"$LOG"
  else
    failed=$((failed + 1))
    echo "FAIL $name" | tee -a "$LOG"
  fi
}

# Runs a consumer and counts each case line it prints.
run_consumer() {
  local name=$1 prog=$2 out
  if [[ ! -x $prog ]]; then
    check "$name builds" false
    return
  fi
  out=$(timeout 300 "$prog" 2>&1)
  echo "$out" >>"$LOG"
  local p f
  p=$(grep -c '^PASS ' <<<"$out")
  f=$(grep -c '^FAIL ' <<<"$out")
  grep '^FAIL ' <<<"$out" | sed "s/^/$name: /"
  ((p + f == 0)) && f=1  # a crash before the first case
  passed=$((passed + p))
  failed=$((failed + f))
}

check "install into a prefix" cmake --install "$BUILD" --prefix "$PREFIX"
LIB=$(find "$PREFIX" -name 'libostmail.so.1.*' | head -n 1)
LIBDIR=$(dirname "${LIB:-$PREFIX/lib/x}")

check "soname libostmail.so.1" bash -c "readelf -d '$LIB' | grep -q 'Library soname: \[libostmail.so.1\]'"
# Every exported definition is part of the public API, and each public class is there.
exports_ok() {
  local syms
  syms=$(nm -DC --defined-only "$LIB" | cut -d' ' -f3-)
  grep -vE '^(CMailObj::|ostmail::(Message|SmtpSettings|SendResult|Session|Mailbox)::|ostmail::(send|render)\()' <<<"$syms" |
    grep -v '^$' && return 1
  for c in 'CMailObj::DoMail' 'ostmail::Message::setFrom' 'ostmail::Session::send' 'ostmail::send('; do
    grep -qF "$c" <<<"$syms" || { echo "missing $c"; return 1; }
  done
  grep -q 'Impl' <<<"$syms" && return 1
  return 0
}
check "nm -D shows only the public API" exports_ok

check "find_package consumer builds" bash -c "cmake -S '$ROOT/tests/install' -B '$WORK/cmake' -G Ninja \
  -DCMAKE_PREFIX_PATH='$PREFIX' && ninja -C '$WORK/cmake'"
check "find_package refuses major version 2" bash -c "cmake -S '$ROOT/tests/install' -B '$WORK/cmake2' \
  -DCMAKE_PREFIX_PATH='$PREFIX' -DOSTMAIL_WANT=2 2>&1 | grep -q 'compatible with requested version \"2\"'"
check "pkg-config consumer builds" bash -c "g++ -std=c++17 -Wall -Wextra -o '$WORK/pc_consumer' \
  '$ROOT/tests/install/consumer.cpp' \$(PKG_CONFIG_PATH='$LIBDIR/pkgconfig' pkg-config --cflags --libs ostmail) \
  -Wl,-rpath,'$LIBDIR'"
run_consumer find_package "$WORK/cmake/consumer"
run_consumer pkg-config "$WORK/pc_consumer"

# Debian packages from the same tree: build them and have lintian look.
if command -v lintian >/dev/null && command -v dpkg-shlibdeps >/dev/null; then
  check "cpack -G DEB" bash -c "cd '$WORK' && cpack -G DEB --config '$BUILD/CPackConfig.cmake' -B '$WORK/deb'"
  for pkg in libostmail1 libostmail-dev ostmail; do
    deb=$(ls "$WORK"/deb/${pkg}_*.deb 2>/dev/null | head -n 1)
    check "lintian $pkg without errors" bash -c "[[ -f '$deb' ]] && lintian --fail-on error '$deb'"
  done
  check "libostmail-dev holds the CMake package and headers" bash -c \
    "dpkg-deb -c '$WORK'/deb/libostmail-dev_*.deb | grep -q 'cmake/Ostmail/OstmailConfig.cmake' &&
     dpkg-deb -c '$WORK'/deb/libostmail-dev_*.deb | grep -q 'include/ostmail/Session.h'"
else
  skipped=$((skipped + 1))
  echo "SKIP Debian packages: lintian or dpkg-dev missing" | tee -a "$LOG"
fi

echo "$passed $failed $skipped"
