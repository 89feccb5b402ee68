#!/usr/bin/env bash
# Demo: build the command-line program, start a real local SMTP server
# (Exim, on a free port of 127.0.0.1), send one message with an attachment
# through `ostmail send`, and show the message as it arrived. The server is
# stopped and its folder removed at the end. Needs root on a fresh machine
# (packages; Exim drops to its own user).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
JOBS=${JOBS:-$(($(nproc) < 2 ? 1 : 2))}
say() { echo "demo: $*"; }

bash "$ROOT/scripts/setup.sh"

mkdir -p "$BUILD"
say "building build/ostmail (log: build/demo-build.log)"
if ! { cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
  ninja -C "$BUILD" -j "$JOBS" ostmail_cli; } >"$BUILD/demo-build.log" 2>&1; then
  say "BUILD FAILED; the end of its log:"
  tail -n 30 "$BUILD/demo-build.log"
  exit 1
fi

servers=$(mktemp -d /tmp/ostmail-demo.XXXXXX)
chmod 755 "$servers"
cleanup() {
  bash "$ROOT/scripts/servers.sh" stop "$servers" >>"$BUILD/demo-servers.log" 2>&1 || true
  rm -rf "$servers"
}
trap cleanup EXIT
say "starting a local Exim (log: build/demo-servers.log)"
if ! bash "$ROOT/scripts/servers.sh" start "$servers" >"$BUILD/demo-servers.log" 2>&1; then
  say "the server did not start; the end of its log:"
  tail -n 30 "$BUILD/demo-servers.log"
  exit 1
fi
# shellcheck disable=SC1091
source "$servers/env"

token="demo-$(date +%s)-$$"
attachment=$servers/report-$token.csv
printf 'day,messages,bytes\nMonday,12,48213\nTuesday,9,30117\n' >"$attachment"

say "sending through 127.0.0.1:$OSTMAIL_SMTP_PORT (STARTTLS, the test CA trusted) with AUTH, one To, one CC and an attachment"
set -x
"$BUILD/ostmail" send \
  --server "$OSTMAIL_HOST" --port "$OSTMAIL_SMTP_PORT" --ca-file "$OSTMAIL_CA_FILE" \
  --user "$OSTMAIL_SMTP_USER" --password "$OSTMAIL_SMTP_PASSWORD" \
  --from demo@example.test --from-name "Ostmail Demo" \
  --to reader@example.test --cc archive@example.test \
  --subject "Ostmail demo $token" \
  --body "Hello from Ostmail. The weekly figures are attached." \
  --attach "$attachment"
{ set +x; } 2>/dev/null

message=""
for _ in $(seq 1 50); do
  message=$(grep -l -r -- "$token" "$OSTMAIL_MAILDIR/new" 2>/dev/null | head -n 1 || true)
  [[ -n $message ]] && break
  sleep 0.2
done
if [[ -z $message ]]; then
  say "the message did not arrive in $OSTMAIL_MAILDIR"
  exit 1
fi

echo
say "the message as it arrived in the Maildir ($(basename "$message")):"
echo "------------------------------------------------------------------------"
cat "$message"
echo "------------------------------------------------------------------------"
say "as Python's email package reads it:"
/usr/bin/python3 "$ROOT/tests/support/mailcheck.py" --flat "$message" |
  grep -E '^(subject|from\.0\.(name|addr)|to\.0\.addr|cc\.0\.addr|header\.return-path|header\.envelope-to|body|attachment\.0\.(filename|content_type|size))=' |
  sed 's/^/  /'
say "done; the server is stopped and its folder removed"
