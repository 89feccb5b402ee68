#!/usr/bin/env bash
# TLS through Schannel and NTLM through the system package, under Wine: the
# Windows build of examples/send_message.cpp sends to the test Exim, and
# Python reads back what arrived (the message and Exim's log line for it).
#
#   lane_windows_tls.sh BUILD_DIR [CASE...]    (all cases when none is named)
#
# OSTMAIL_TEST_ENV names the servers' env file; WINEPREFIX a booted prefix
# (one Wine session: the caller keeps its wineserver running). Prints
# "N passed, N failed, N skipped" as its last line.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$1
shift
ONLY=" $* "
WINE=${OSTMAIL_WINE:-wine}
# shellcheck disable=SC1090
. "${OSTMAIL_TEST_ENV:?servers env file}"
SEND=$BUILD/ostmail_send.exe
LOGS=$BUILD/wine-tls
mkdir -p "$LOGS"
WINE_VERSION=$("$WINE" --version 2>/dev/null)
passed=0 failed=0 skipped=0

# readback RCPT EXIM_LOG NEED: the message for RCPT arrived whole, and Exim's
# line for it shows NEED (a TLS cipher, or the login it took).
readback() {
  python3 - "$OSTMAIL_MAILDIR" "$1" "$2" "$3" "$ROOT/tests/support/mailcheck.py" <<'EOF'
import glob, re, subprocess, sys
maildir, rcpt, log, need, check = sys.argv[1:]
found = [f for f in glob.glob(maildir + "/new/*") if "Envelope-to: %s\n" % rcpt in open(f, errors="replace").read()]
if len(found) != 1:
    sys.exit("%d messages for %s" % (len(found), rcpt))
flat = dict(l.split("=", 1) for l in subprocess.run([sys.executable, check, "--flat", found[0]],
            capture_output=True, text=True, check=True).stdout.splitlines() if "=" in l)
want = {"to.0.addr": rcpt, "attachment.0.filename": "hello.txt",
        "attachment.0.hex": b"attached from memory\n".hex()}
for k, v in want.items():
    if flat.get(k) != v:
        sys.exit("%s: %r, not %r" % (k, flat.get(k), v))
lines = [l for l in open(log, errors="replace") if " <= " in l and l.rstrip().endswith(" for " + rcpt)]
if len(lines) != 1 or not re.search(need, lines[0]):
    sys.exit("exim log for %s lacks %s: %r" % (rcpt, need, lines))
EOF
}

# delivered RCPT: how many messages arrived for RCPT.
delivered() { grep -l "^Envelope-to: $1\$" "$OSTMAIL_MAILDIR"/new/* 2>/dev/null | wc -l; }

result() {  # NAME OK DETAIL
  if (($2)); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "wine-tls: $1 FAILED: $3 (log: $LOGS/$1.log)"
  fi
}

# NAME | PORT variable | settings | expect: sent:EXIM_LOG:PATTERN, or refused:TEXT
# (every TEXT must be in the activity log and nothing may arrive).
CASES=(
  "starttls|OSTMAIL_SMTP_PORT|OSTMAIL_STARTTLS=1 OSTMAIL_CA=$OSTMAIL_CA_FILE|sent:$OSTMAIL_EXIM_LOG: X=TLS"
  "implicit|OSTMAIL_SMTPS_PORT|OSTMAIL_STARTTLS=implicit OSTMAIL_CA_DIR=$OSTMAIL_CA_DIR|sent:$OSTMAIL_EXIM_LOG: X=TLS"
  "untrusted|OSTMAIL_SMTP_PORT|OSTMAIL_STARTTLS=1|refused:Failed to verify server certificate"
  "wrongname|OSTMAIL_WRONGNAME_SMTPS_PORT|OSTMAIL_STARTTLS=implicit OSTMAIL_CA=$OSTMAIL_CA_FILE|refused:CERT_E_CN_NO_MATCH:Status = 0x800b010f:certificate for wrong-name.invalid, not localhost"
  "expired|OSTMAIL_EXPIRED_SMTPS_PORT|OSTMAIL_STARTTLS=implicit OSTMAIL_CA=$OSTMAIL_CA_FILE|refused:CERT_E_EXPIRED:Status = 0x800b0101:expired 2020-02-01"
  "insecure|OSTMAIL_EXPIRED_SMTPS_PORT|OSTMAIL_STARTTLS=implicit OSTMAIL_INSECURE=1|sent:$OSTMAIL_EXPIRED_EXIM_LOG: X=TLS"
  "auto|OSTMAIL_SMTP_PORT|OSTMAIL_CA=$OSTMAIL_CA_FILE|sent:$OSTMAIL_EXIM_LOG: X=TLS1.[23]"
  "clear|OSTMAIL_SMTP_PORT|OSTMAIL_STARTTLS=0 OSTMAIL_USER=$OSTMAIL_SMTP_USER OSTMAIL_PASSWORD=$OSTMAIL_SMTP_PASSWORD OSTMAIL_MECHANISM=LOGIN|refused:refusing to send the password"
  "ntlm|OSTMAIL_SMTP_PORT|OSTMAIL_CA=$OSTMAIL_CA_FILE OSTMAIL_USER=$OSTMAIL_SMTP_USER OSTMAIL_PASSWORD=$OSTMAIL_SMTP_PASSWORD OSTMAIL_MECHANISM=NTLM|sent:$OSTMAIL_EXIM_LOG: A=ntlm_spa:$OSTMAIL_SMTP_USER "
)

# Wine's NTLM package runs Samba's ntlm_auth, found on PATH. Left to itself
# it answers NTLMv2 only, which needs target information that the test
# servers' challenges lack (it says NT_STATUS_INVALID_PARAMETER); told to
# answer NTLMv1 it logs in to Exim's own NTLM, which takes nothing else.
ntlm_missing() { ! command -v ntlm_auth >/dev/null; }
if ! ntlm_missing; then
  mkdir -p "$LOGS/bin"
  printf '#!/bin/sh\nexec %s --option=clientntlmv2auth=no "$@"\n' "$(command -v ntlm_auth)" >"$LOGS/bin/ntlm_auth"
  chmod +x "$LOGS/bin/ntlm_auth"
  export PATH=$LOGS/bin:$PATH
fi
if [[ $ONLY == "  " ]]; then
  echo "wine-tls: NTLM with the logged-on account's credentials skipped: $WINE_VERSION has none (they need winbindd)"
  skipped=$((skipped + 1))
fi

tag=$(date +%s)-$$
for row in "${CASES[@]}"; do
  IFS='|' read -r name portvar settings expect <<<"$row"
  [[ $ONLY == "  " || $ONLY == *" $name "* ]] || continue
  if [[ $name == ntlm ]] && ntlm_missing; then
    skipped=$((skipped + 1))
    echo "wine-tls: $name skipped: $WINE_VERSION's NTLM package needs Samba's ntlm_auth (package winbind)"
    continue
  fi
  rcpt="wine-$name-$tag@localhost"
  # shellcheck disable=SC2086
  env $settings OSTMAIL_LOG=1 "$WINE" "$SEND" "$OSTMAIL_TLS_HOST" "${!portvar}" sender@localhost "$rcpt" \
    >"$LOGS/$name.log" 2>&1
  rc=$?
  case $expect in
  sent:*)
    IFS=: read -r _ log pattern <<<"$expect"
    why=$(readback "$rcpt" "$log" "$pattern" 2>&1)
    back=$?
    result "$name" "$((rc == 0 && back == 0))" "exit $rc; $why"
    ;;
  refused:*)
    ok=$((rc == 1))
    IFS=: read -r -a texts <<<"${expect#refused:}"
    for t in "${texts[@]}"; do grep -qF "$t" "$LOGS/$name.log" || ok=0; done
    (($(delivered "$rcpt") == 0)) || ok=0
    result "$name" "$ok" "exit $rc; expected ${texts[*]} in the log and nothing delivered"
    ;;
  esac
done
echo "$passed passed, $failed failed, $skipped skipped"
((failed == 0))
