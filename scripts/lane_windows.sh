#!/usr/bin/env bash
# The Windows lane: cross-builds ostmail.dll with mingw-w64 for i686 (the
# 32-bit DLL) and x86_64, checks what each DLL imports and exports, and runs
# the unit tests of both, the MX and SOCKS integration cases and the example
# hosts under Wine (wine32 for i686), in one Wine prefix, against the test
# servers. Python reads back what Exim delivered. Prints "N passed, N failed,
# N skipped" last. Needs OSTMAIL_TEST_ENV for the server half.
#
# Where the kernel runs no 32-bit programs, wine32 runs through qemu's
# user-mode emulation (scripts/setup.sh registers it); each 32-bit process
# start then costs about a minute of CPU, so the i686 side starts few: every
# unit layer in one program, and only the sends named below.
#
# Left out, by name: test files listed in tests/CMakeLists.txt
# (OSTMAIL_WIN_SKIPPED_TESTS): their reference peer is Debian's python3 or
# an OpenSSL or POSIX peer.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${OSTMAIL_JOBS:-2}
PY=/usr/bin/python3
W32=$ROOT/build-win32
W64=$ROOT/build-win64
OUT=$W64/lane
passed=0 failed=0 skipped=0

say() { echo "windows: $*"; }
pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  say "FAIL $*"
}
skip() {
  skipped=$((skipped + 1))
  say "skip $*"
}
finish() {
  local rc=$?
  # A lane that stops on an error of its own has not passed.
  if ((rc != 0 && failed == 0)); then
    failed=1
    say "FAIL the lane stopped early (exit $rc)"
  fi
  [[ -n ${dns_pid:-} ]] && kill "$dns_pid" 2>/dev/null
  [[ -n ${WINEPREFIX:-} && -d ${WINEPREFIX:-} ]] && {
    /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  }
  echo "$passed passed, $failed failed, $skipped skipped"
}
trap finish EXIT

# --- builds ---
# ccache keyed on paths below the checkout, so that other clones share it.
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# build DIR ARCH TYPE TARGETS...
build() {
  local dir=$1 arch=$2 type=$3
  shift 3
  local tests=ON
  mkdir -p "$dir"
  say "building $dir (log: $dir/build.log)"
  if cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE="$type" -DOSTMAIL_BENCH=OFF -DOSTMAIL_TESTS=$tests "${launcher[@]}" >"$dir/build.log" 2>&1 &&
    nice ninja -C "$dir" -j "$JOBS" "$@" >>"$dir/build.log" 2>&1; then
    pass
    return 0
  fi
  fail "build in $dir; the end of its log:"
  grep -E 'error|FAILED' "$dir/build.log" | head -n 20
  return 1
}
UNITS=(test_platform test_crypto test_core test_email test_smtp test_facade test_mailjob test_api)
# The i686 DLL keeps its debug information, as the Linux library does; the
# x86_64 test tree goes without, which links faster.
build "$W32" i686 RelWithDebInfo ostmail ostmail_host ostmail_send test_units
have32=$?
build "$W64" x86_64 Release ostmail ostmail_host ostmail_cli "${UNITS[@]}" test_integration || exit 1
mkdir -p "$OUT"

# --- what each DLL imports and exports ---
# Windows system DLLs only; the compiler's runtime and winpthread are inside.
SYSTEM_DLLS='^(KERNEL32|WS2_32|ADVAPI32|DNSAPI|msvcrt|SECUR32|CRYPT32|USER32|bcrypt)\.dll$'
# The exports are CMailObj and the ostmail API classes, decorated.
EXPORTS='^_?_Z(NK?|T[VIS])(8CMailObj|7ostmail(7Message|12SmtpSettings|10SendResult|7Session|7Mailbox|4send|6render))'
check_dll() {
  local dll=$1 objdump=$2 bad
  if [[ ! -f $dll ]]; then
    fail "$dll was not built"
    return
  fi
  "$objdump" -p "$dll" >"$OUT/$(basename "$(dirname "$dll")").objdump"
  bad=$(sed -n 's/^\tDLL Name: //p' "$OUT/$(basename "$(dirname "$dll")").objdump" | grep -Eiv "$SYSTEM_DLLS")
  [[ -z $bad ]] && pass || fail "$dll imports non-system DLLs: $bad"
  local names
  names=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$OUT/$(basename "$(dirname "$dll")").objdump" |
    sed -n 's/^\s*\[ *[0-9]*\] //p')
  if grep -q '8CMailObj6DoMail' <<<"$names" && ! grep -Ev "$EXPORTS" <<<"$names" | grep -q .; then
    pass
  else
    fail "$dll exports: $(grep -Ev "$EXPORTS" <<<"$names" | head -n 5 | tr '\n' ' ') (CMailObj::DoMail $(grep -c 8CMailObj6DoMail <<<"$names"))"
  fi
}
((have32 == 0)) && check_dll "$W32/ostmail.dll" i686-w64-mingw32-objdump
check_dll "$W64/ostmail.dll" x86_64-w64-mingw32-objdump

# --- Wine ---
WINE64=/usr/lib/wine/wine64
WINE32=/usr/lib/wine/wine
export WINEDEBUG=-all WINELOADER=$WINE64
WINEPREFIX=$(mktemp -d /tmp/ostmail-wine.XXXXXX)
export WINEPREFIX
say "wine: $("$WINE64" --version) (prefix $WINEPREFIX)"
# Under load wineboot can return while the prefix's set-up still runs;
# nothing starts before all of it is done.
boot_start=$SECONDS
if ! timeout 900 "$WINE64" wineboot -i >"$OUT/wineboot.log" 2>&1 ||
  ! timeout 900 /usr/lib/wine/wineserver64 -w; then
  fail "wineboot; see $OUT/wineboot.log"
  exit 1
fi
say "wineboot: $((SECONDS - boot_start)) s"
run32=1
if ((have32 != 0)); then
  run32=0
elif ! "$WINE32" --version >/dev/null 2>&1; then
  run32=0
  fail "the i686 build cannot run: $WINE32 does not start (scripts/setup.sh registers qemu-i386-static for it)"
fi

# run_gtest NAME EXE [GTEST ARGS...]: one result per test case, from the
# XML; WINE names the loader (wine64 by default).
run_gtest() {
  local name=$1 exe=$2 wine=${WINE:-$WINE64}
  shift 2
  local xml=$OUT/$name.xml
  rm -f "$xml"
  (cd "$OUT" && WINELOADER=$wine timeout 1800 "$wine" "$exe" --gtest_output="xml:$name.xml" "$@") >"$OUT/$name.log" 2>&1
  if [[ ! -s $xml ]]; then
    fail "$name wrote no results; the end of $OUT/$name.log:"
    tail -n 15 "$OUT/$name.log"
    return
  fi
  local counts
  counts=$("$PY" - "$xml" <<'EOF'
import sys, xml.etree.ElementTree as ET
p = f = s = 0
for case in ET.parse(sys.argv[1]).iter("testcase"):
    if case.find("failure") is not None:
        f += 1
        print("failed:", case.get("classname") + "." + case.get("name"), file=sys.stderr)
    elif case.get("result") == "skipped" or case.get("status") == "notrun" or case.find("skipped") is not None:
        s += 1
        print("skipped:", case.get("classname") + "." + case.get("name"), file=sys.stderr)
    else:
        p += 1
print(p, f, s)
EOF
  )
  local p f s
  read -r p f s <<<"$counts"
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
  ((f > 0)) && say "$name: $f failed (log: $OUT/$name.log)"
  say "$name: $p passed, $f failed, $s skipped"
}

# Cases that need a TLS provider, left out where it is missing (none now).
declare -A NEEDS_TLS=()
for t in "${UNITS[@]}"; do
  if [[ -n ${NEEDS_TLS[$t]:-} ]]; then
    run_gtest "$t" "$W64/tests/$t.exe" --gtest_filter="-${NEEDS_TLS[$t]}"
    skip "${NEEDS_TLS[$t]}: no TLS provider in this build"
  else
    run_gtest "$t" "$W64/tests/$t.exe"
  fi
done
((run32)) && WINE=$WINE32 run_gtest units32 "$W32/tests/test_units.exe"

if [[ -z ${OSTMAIL_TEST_ENV:-} || ! -r ${OSTMAIL_TEST_ENV:-} ]]; then
  skip "integration cases and host sends: OSTMAIL_TEST_ENV is not set"
  exit 0
fi
# shellcheck disable=SC1090
source "$OSTMAIL_TEST_ENV"

# DnsQuery_A cannot take a port: a second dnsmasq with the same records on
# 127.0.0.1:53 serves it when that port is free; the case skips otherwise.
env_file=$OSTMAIL_TEST_ENV
dns_pid=""
main_dns=$(cat "$OSTMAIL_SERVERS_DIR/dns/dnsmasq.pid" 2>/dev/null)
if [[ -n $main_dns && -r /proc/$main_dns/cmdline ]]; then
  mapfile -d '' -t dns_args < <(tr '\0' '\n' <"/proc/$main_dns/cmdline" | grep -v -e '^--port=' -e '^--pid-file=' |
    tail -n +2 | tr '\n' '\0')
  dnsmasq "${dns_args[@]}" --port=53 --pid-file="$OUT/dnsmasq53.pid" >"$OUT/dnsmasq53.log" 2>&1 &
  dns_pid=$!
  sleep 1
  kill -0 "$dns_pid" 2>/dev/null || dns_pid=""
fi
if [[ -n $dns_pid ]]; then
  env_file=$OUT/env53
  sed "s/^OSTMAIL_DNS_PORT=.*/OSTMAIL_DNS_PORT='53'/" "$OSTMAIL_TEST_ENV" >"$env_file"
else
  say "no DNS server on 127.0.0.1:53 (see $OUT/dnsmasq53.log): the MX cases skip"
fi
OSTMAIL_TEST_ENV=$env_file run_gtest integration "$W64/tests/test_integration.exe"
[[ -n $dns_pid ]] && kill "$dns_pid" 2>/dev/null
dns_pid=""

# host_send NAME EXE PORT USER: one message with an attachment through the
# example host; Python checks what arrived and how Exim logged the login.
host_send() {
  local name=$1 wine=$2 exe=$3 port=$4 user=$5 want=$6
  local token attach
  token="winhost-$name-$$-$RANDOM"
  attach=$OUT/$name.bin
  head -c 3000 /dev/urandom >"$attach"
  if ! (cd "$OUT" && OSTMAIL_USER=$user OSTMAIL_PASSWORD=${user:+$OSTMAIL_SMTP_PASSWORD} \
    WINELOADER=$wine timeout 120 "$wine" "$exe" "$OSTMAIL_HOST" "$port" host@example.test inbox@example.test \
    "$(basename "$attach")" "$token") >"$OUT/$name.log" 2>&1; then
    fail "host $name: not sent; the end of $OUT/$name.log:"
    tail -n 5 "$OUT/$name.log"
    return
  fi
  if "$PY" - "$OSTMAIL_MAILDIR" "$token" "$attach" "$OSTMAIL_EXIM_LOG" "$want" >>"$OUT/$name.log" 2>&1 <<'EOF'; then
import email, glob, os, re, sys, time
from email import policy
maildir, token, attach, eximlog, want = sys.argv[1:]
path = None
for _ in range(100):
    for p in glob.glob(os.path.join(maildir, "**", "*"), recursive=True):
        if os.path.isfile(p) and token.encode() in open(p, "rb").read():
            path = p
    if path:
        break
    time.sleep(0.1)
assert path, "nothing arrived with " + token
msg = email.message_from_binary_file(open(path, "rb"), policy=policy.default)
assert msg["subject"] == token, msg["subject"]
assert "examples/host.cpp" in msg.get_body(("plain",)).get_content()
files = [p for p in msg.iter_attachments()]
assert len(files) == 1 and files[0].get_filename() == os.path.basename(attach)
assert files[0].get_payload(decode=True) == open(attach, "rb").read(), "attachment bytes differ"
# The arrival line of this message names the authenticator that took it.
lines = [l for l in open(eximlog) if " <= host@example.test" in l]
assert lines, "no arrival in the Exim log"
got = re.search(r" A=(\S+)", lines[-1])
assert (got.group(1) if got else "") == want, "login %r, expected %r" % (got and got.group(1), want)
EOF
    pass
  else
    fail "host $name: the end of $OUT/$name.log:"
    tail -n 5 "$OUT/$name.log"
  fi
}
user=$OSTMAIL_SMTP_USER
host_send plain "$WINE64" "$W64/ostmail_host.exe" "$OSTMAIL_SMTP_PORT" "" ""
host_send login "$WINE64" "$W64/ostmail_host.exe" "$OSTMAIL_SMTP_PORT" "$user" "login:$user"
host_send plain_auth "$WINE64" "$W64/ostmail_host.exe" "$OSTMAIL_SMTP_OFFER_PLAIN_PORT" "$user" "plain:$user"
host_send cram "$WINE64" "$W64/ostmail_host.exe" "$OSTMAIL_SMTP_OFFER_CRAM_PORT" "$user" "cram:$user"
if ((run32)); then
  host_send plain32 "$WINE32" "$W32/ostmail_host.exe" "$OSTMAIL_SMTP_PORT" "" ""
  host_send login32 "$WINE32" "$W32/ostmail_host.exe" "$OSTMAIL_SMTP_PORT" "$user" "login:$user"
fi

# The command-line program: its password from a command run by cmd.exe, its
# body from standard input; then `check` logs in to the same server. Both
# take STARTTLS unasked and check the name "localhost": Wine's SSL policy
# does not match a certificate's IP addresses.
cli_send() {
  local token="wincli-$$-$RANDOM" log=$OUT/cli.log
  printf 'Sent by ostmail.exe, %s.\r\n' "$token" >"$OUT/cli_body.txt"
  if ! (cd "$OUT" && timeout 120 "$WINE64" "$W64/ostmail.exe" send --server "$OSTMAIL_TLS_HOST" \
    --port "$OSTMAIL_SMTP_PORT" --ca-file "$OSTMAIL_CA_FILE" --user "$user" \
    --password-command "echo $OSTMAIL_SMTP_PASSWORD" --from cli@example.test --to "$token@localhost" \
    --subject "$token" --body-file - <cli_body.txt) >"$log" 2>&1; then
    fail "ostmail.exe send: the end of $log:"
    tail -n 5 "$log"
    return
  fi
  local file="" flat i
  # Exim delivers after its 250, in a process of its own: wait for the file.
  for ((i = 0; i < 300; i++)); do
    file=$(grep -l "^Envelope-to: $token@localhost\$" "$OSTMAIL_MAILDIR"/new/* 2>/dev/null | head -n 1)
    [[ -n $file ]] && break
    sleep 0.1
  done
  flat=$([[ -n $file ]] && "$PY" "$ROOT/tests/support/mailcheck.py" --flat "$file")
  if grep -qxF "subject=$token" <<<"$flat" && grep -qF "body=Sent by ostmail.exe, $token." <<<"$flat" &&
    grep -F " <= cli@example.test" "$OSTMAIL_EXIM_LOG" | grep -F "for $token@localhost" | grep -qF " A=login:$user "; then
    pass
  else
    fail "ostmail.exe send: the message for $token@localhost did not arrive as sent (${file:-nothing arrived})"
  fi
  if (cd "$OUT" && timeout 120 "$WINE64" "$W64/ostmail.exe" check --server "$OSTMAIL_TLS_HOST" --port "$OSTMAIL_SMTP_PORT" \
    --ca-file "$OSTMAIL_CA_FILE" --user "$user" --password-command "echo $OSTMAIL_SMTP_PASSWORD") \
    >"$OUT/cli_check.log" 2>&1 &&
    grep -q '^login: ok' "$OUT/cli_check.log"; then
    pass
  else
    fail "ostmail.exe check: the end of $OUT/cli_check.log:"
    tail -n 5 "$OUT/cli_check.log"
  fi
}
cli_send

# --- TLS through Schannel, NTLM through the system package (lane_windows_tls.sh) ---
# tls_lane LOG WINE BUILD [CASES...]
tls_lane() {
  local log=$1 wine=$2 dir=$3
  shift 3
  OSTMAIL_WINE=$wine WINELOADER=$wine bash "$ROOT/scripts/lane_windows_tls.sh" "$dir" "$@" >"$log" 2>&1
  grep -v '^[0-9]* passed' "$log"
  read -r p _ f _ s _ < <(tail -n 1 "$log")
  passed=$((passed + ${p:-0})) failed=$((failed + ${f:-1})) skipped=$((skipped + ${s:-0}))
}
if nice ninja -C "$W64" -j "$JOBS" ostmail_send >>"$W64/build.log" 2>&1; then
  tls_lane "$OUT/tls.log" "$WINE64" "$W64"
else
  fail "building ostmail_send for the TLS cases; see $W64/build.log"
fi
# The i686 build: TLS with the test CA both ways, and NTLM.
((run32)) && tls_lane "$OUT/tls32.log" "$WINE32" "$W32" starttls implicit ntlm
say "took $SECONDS s"

exit 0
