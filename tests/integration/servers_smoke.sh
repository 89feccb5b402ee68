#!/usr/bin/env bash
# Checks every test server with an independent client, so that a broken
# server setup shows up as itself and not as a client bug.
set -uo pipefail

if [[ -z ${OSTMAIL_TEST_ENV:-} || ! -r ${OSTMAIL_TEST_ENV:-} ]]; then
  echo "FAIL: OSTMAIL_TEST_ENV is not set or unreadable (${OSTMAIL_TEST_ENV:-unset});" \
    "start the servers with scripts/servers.sh start DIR and export OSTMAIL_TEST_ENV=DIR/env" >&2
  exit 1
fi
# shellcheck disable=SC1090
. "$OSTMAIL_TEST_ENV"
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
H=$OSTMAIL_HOST
failed=0
outcome() { # outcome ok|fail NAME COMMAND...: the command must succeed or fail
  local want=$1 name=$2 got=fail
  shift 2
  out=$("$@" 2>&1) && got=ok
  if [[ $got == "$want" ]]; then
    echo "ok   $name"
  else
    echo "FAIL $name (expected: $want)"
    echo "$out" | tail -n 15 | sed 's/^/     /'
    failed=$((failed + 1))
  fi
}
check() { outcome ok "$@"; }
refused() { outcome fail "$@"; }

token="smoke-$$-$RANDOM$RANDOM"
sw() { swaks --server "$H" --from sender@example.test --to rcpt@example.test --timeout 10 "$@"; }

# --- SMTP ---
ehlo=$(sw --port "$OSTMAIL_SMTP_PORT" --quit-after EHLO 2>&1)
for cap in STARTTLS DSN PIPELINING 8BITMIME; do
  check "EHLO offers $cap" grep -q "^<-  250[- ]$cap" <<<"$ehlo"
done
check "AUTH offered without TLS" grep -Eq '^<-  250[- ]AUTH .*PLAIN' <<<"$ehlo"
for m in PLAIN LOGIN CRAM-MD5 NTLM; do
  check "AUTH $m offered" grep -Eq "^<-  250[- ]AUTH .*\\b$m\\b" <<<"$ehlo"
done

check "plain SMTP delivers to the Maildir" \
  sw --port "$OSTMAIL_SMTP_PORT" --header "Subject: $token" --body "body $token"
wait_mail() {
  local i
  for ((i = 0; i < 50; i++)); do
    grep -lsF -- "$1" "$OSTMAIL_MAILDIR"/new/* >/dev/null && return 0
    sleep 0.1
  done
  return 1
}
check "delivered message is in $OSTMAIL_MAILDIR/new" wait_mail "$token"

for m in PLAIN LOGIN CRAM-MD5 NTLM; do
  check "AUTH $m accepts the test user" \
    sw --port "$OSTMAIL_SMTP_PORT" --auth "$m" --auth-user "$OSTMAIL_SMTP_USER" --auth-password "$OSTMAIL_SMTP_PASSWORD" --quit-after AUTH
  refused "AUTH $m refuses a wrong password" \
    sw --port "$OSTMAIL_SMTP_PORT" --auth "$m" --auth-user "$OSTMAIL_SMTP_USER" --auth-password "not-$OSTMAIL_SMTP_PASSWORD" --quit-after AUTH
done
check "AUTH CRAM-MD5 accepts the second user" \
  sw --port "$OSTMAIL_SMTP_PORT" --auth CRAM-MD5 --auth-user "$OSTMAIL_SMTP_USER2" --auth-password "$OSTMAIL_SMTP_PASSWORD2" --quit-after AUTH
check "NTLMv1 on the main server" perl "$HERE/ntlm_login.pl" "$OSTMAIL_SMTP_PORT" "$OSTMAIL_SMTP_USER" "$OSTMAIL_SMTP_PASSWORD" 0
refused "NTLMv2 is refused by the main server" perl "$HERE/ntlm_login.pl" "$OSTMAIL_SMTP_PORT" "$OSTMAIL_SMTP_USER" "$OSTMAIL_SMTP_PASSWORD" 1
check "NTLMv2 on the NTLMv2 server" perl "$HERE/ntlm_login.pl" "$OSTMAIL_NTLM2_SMTP_PORT" "$OSTMAIL_SMTP_USER" "$OSTMAIL_SMTP_PASSWORD" 1
refused "NTLMv2 server refuses a wrong password" perl "$HERE/ntlm_login.pl" "$OSTMAIL_NTLM2_SMTP_PORT" "$OSTMAIL_SMTP_USER" wrong 1

rcpt=$(sw --port "$OSTMAIL_SMTP_PORT" --to "${OSTMAIL_SMTP_REJECT_PREFIX}-me@example.test" --quit-after RCPT 2>&1)
check "RCPT ${OSTMAIL_SMTP_REJECT_PREFIX}* gets 550" grep -q '^<\*\* 550' <<<"$rcpt"

# --- TLS ---
check "STARTTLS with a verified certificate, then AUTH LOGIN" \
  sw --server "$OSTMAIL_TLS_HOST" --port "$OSTMAIL_SMTP_PORT" --tls --tls-verify --tls-ca-path "$OSTMAIL_CA_FILE" \
  --auth LOGIN --auth-user "$OSTMAIL_SMTP_USER" --auth-password "$OSTMAIL_SMTP_PASSWORD"
check "implicit TLS with a verified certificate" \
  sw --server "$OSTMAIL_TLS_HOST" --port "$OSTMAIL_SMTPS_PORT" --tls-on-connect --tls-verify --tls-ca-path "$OSTMAIL_CA_FILE"
s_client() { echo QUIT | timeout 10 openssl s_client -connect "$H:$1" -CAfile "$OSTMAIL_CA_FILE" -verify_hostname localhost 2>&1; }
check "implicit TLS certificate verifies for localhost" grep -q 'Verify return code: 0 (ok)' <<<"$(s_client "$OSTMAIL_SMTPS_PORT")"
check "CA folder is hashed for OpenSSL" openssl verify -CApath "$OSTMAIL_CA_DIR" "$OSTMAIL_SERVERS_DIR/tls/server.pem"
check "expired server's certificate has expired" grep -q 'certificate has expired' <<<"$(s_client "$OSTMAIL_EXPIRED_SMTPS_PORT")"
check "wrong-name server's certificate mismatches" grep -q 'hostname mismatch' <<<"$(s_client "$OSTMAIL_WRONGNAME_SMTPS_PORT")"

# --- SOCKS ---
via() { printf 'QUIT\r\n' | curl -sS -m 10 "$@" "telnet://127.0.0.1:$OSTMAIL_SMTP_PORT" 2>&1 | grep -q '^220 '; }
check "SOCKS5 without auth reaches the SMTP server" via --socks5 "$H:$OSTMAIL_SOCKS_PORT"
check "SOCKS4 reaches the SMTP server" via --socks4 "$H:$OSTMAIL_SOCKS_PORT"
check "SOCKS5 with username/password" via --socks5 "$OSTMAIL_SOCKS_USER:$OSTMAIL_SOCKS_PASSWORD@$H:$OSTMAIL_SOCKS_AUTH_PORT"
refused "SOCKS5 auth server refuses a wrong password" via --socks5 "$OSTMAIL_SOCKS_USER:wrong@$H:$OSTMAIL_SOCKS_AUTH_PORT"
refused "SOCKS5 auth server refuses no credentials" via --socks5 "$H:$OSTMAIL_SOCKS_AUTH_PORT"
refused "SOCKS4 refused by the auth server" via --socks4 "$H:$OSTMAIL_SOCKS_AUTH_PORT"

# --- DNS ---
d() { dig +short +time=2 +tries=2 -p "$OSTMAIL_DNS_PORT" @"$H" "$@"; }
check "MX of $OSTMAIL_DNS_MX_DOMAIN (UDP)" test "$(d "$OSTMAIL_DNS_MX_DOMAIN" MX | sort -n | tr '\n' ' ')" = \
  "5 mx2.$OSTMAIL_DNS_MX_DOMAIN. 10 mx1.$OSTMAIL_DNS_MX_DOMAIN. "
check "MX of $OSTMAIL_DNS_MX_DOMAIN (TCP)" test "$(d +tcp "$OSTMAIL_DNS_MX_DOMAIN" MX | wc -l)" = 2
check "equal preferences in $OSTMAIL_DNS_EQUAL_DOMAIN" test "$(d "$OSTMAIL_DNS_EQUAL_DOMAIN" MX | cut -d' ' -f1 | tr '\n' ' ')" = "10 10 "
check "mx hosts resolve to 127.0.0.1" test "$(d "mx1.$OSTMAIL_DNS_MX_DOMAIN" A)" = 127.0.0.1
check "$OSTMAIL_DNS_NOMX_DOMAIN has an A record and no MX" \
  test "$(d "$OSTMAIL_DNS_NOMX_DOMAIN" A)/$(d "$OSTMAIL_DNS_NOMX_DOMAIN" MX)" = "127.0.0.1/"
check "$OSTMAIL_DNS_MISSING_DOMAIN is NXDOMAIN" \
  grep -q 'status: NXDOMAIN' <<<"$(dig +time=2 -p "$OSTMAIL_DNS_PORT" @"$H" "$OSTMAIL_DNS_MISSING_DOMAIN" MX)"

if ((failed)); then
  echo "$failed server check(s) failed"
  exit 1
fi
echo "all server checks passed"
