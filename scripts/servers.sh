#!/usr/bin/env bash
# Real servers for the integration tests, all on 127.0.0.1 with free high
# ports and all state under DIR:
#   Exim      SMTP (plain + STARTTLS), implicit TLS, AUTH PLAIN/LOGIN/CRAM-MD5/NTLM,
#             and ports of both kinds that offer fewer mechanisms
#   Exim      a second instance whose NTLM is Cyrus's (NTLMv2)
#   Exim      a third whose certificate has expired (and one port with a
#             certificate for the wrong name)
#   dante     SOCKS4+5 open, and SOCKS5 with username/password only
#   tinyproxy HTTP CONNECT proxies, open and with a Basic login, that tunnel
#             only to the main Exim's plain and implicit-TLS ports
#   dnsmasq   MX records for a few test domains, and the DKIM keys' TXT records
#   Exim      a fourth that verifies DKIM on arrival and logs the verdict; its
#             resolver is a second dnsmasq on port 53 of an address of its own
#             in 127/8 (a resolver takes no port), seen through a private mount
#   Dovecot   its auth service alone: an oauth2 passdb that validates JWT
#             access tokens with a key written here, behind the main Exim's
#             XOAUTH2 and OAUTHBEARER (offered on their own two ports only)
#   dnsmasq   and on port 53 of another loopback address of its own, names of
#             one family and of both (for the system's resolver, through
#             DIR/dns/resolv.conf)
# `start` writes DIR/env (KEY='value' lines) for the tests to read.
# Needs root (Exim drops to Debian-exim, dante checks system users) and
# creates the account SYSTEM when it is missing.
set -euo pipefail

usage() { echo "usage: $0 start|stop|status DIR" >&2; exit 2; }
(($# == 2)) || usage
CMD=$1
DIR=$2
PY=/usr/bin/python3
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

EXIM_USER=Debian-exim
SMTP_USER=tester
SMTP_PASS=Secret-Pass1
SMTP_USER2=other@example.test
SMTP_PASS2='p@ss w:rd 2'
SOCKS_USER=ostsocks
SOCKS_PASS=Sock-Pass1
SYSTEM_USER=SYSTEM
HTTP_PROXY_USER=ostproxy
HTTP_PROXY_PASS=Proxy-Pass1
OAUTH_KEY=ostmail-test-jwt-key-0123456789ab

log() { echo "servers: $*" >&2; }

# --- processes -------------------------------------------------------------

alive() {
  local pid=$1 state
  [[ -r /proc/$pid/stat ]] || return 1
  # A zombie waiting for a slow reaper is as good as gone.
  state=$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null || echo Z)
  [[ $state != Z ]]
}

# Runs one server in the background; its pid goes to DIR/pids/NAME.
start_bg() {
  local name=$1
  shift
  "$@" >"$DIR/logs/$name.out" 2>&1 </dev/null &
  echo $! >"$DIR/pids/$name"
}

wait_port() {
  local name=$1 port=$2 host=${3:-127.0.0.1} pid i
  pid=$(cat "$DIR/pids/$name")
  for ((i = 0; i < 150; i++)); do
    if (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null; then return 0; fi
    if ! alive "$pid"; then break; fi
    sleep 0.1
  done
  log "$name did not come up on port $port; its output:"
  tail -n 30 "$DIR/logs/$name.out" >&2 || true
  return 1
}

stop_all() {
  local f pid name i
  [[ -d $DIR/pids ]] || return 0
  for f in "$DIR"/pids/*; do
    [[ -e $f ]] || continue
    pid=$(cat "$f")
    name=$(basename "$f")
    # Only a process started for this folder: its command line names DIR.
    if alive "$pid" && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$DIR"; then
      kill -TERM "$pid" 2>/dev/null || true
      for ((i = 0; i < 50; i++)); do
        alive "$pid" || break
        sleep 0.1
      done
      if alive "$pid"; then
        log "$name ($pid) ignored TERM; killing"
        kill -KILL "$pid" 2>/dev/null || true
      fi
    fi
    rm -f "$f"
  done
}

# --- certificates ------------------------------------------------------------

make_certs() {
  local t=$DIR/tls
  mkdir -p "$t/newcerts" "$t/cadir"
  : >"$t/index.txt"
  echo 1000 >"$t/serial"
  openssl req -x509 -new -nodes -newkey rsa:2048 -sha256 -days 3650 \
    -keyout "$t/ca.key" -out "$t/ca.pem" -subj "/O=Ostmail Tests/CN=Ostmail Test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  cat >"$t/server.ext" <<EOF
basicConstraints = CA:FALSE
keyUsage = digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
EOF
  openssl req -new -nodes -newkey rsa:2048 -keyout "$t/server.key" -out "$t/server.csr" \
    -subj "/O=Ostmail Tests/CN=localhost" 2>/dev/null
  openssl x509 -req -in "$t/server.csr" -CA "$t/ca.pem" -CAkey "$t/ca.key" -set_serial 0x0100 \
    -days 825 -sha256 -extfile "$t/server.ext" -out "$t/server.pem" 2>/dev/null

  # A valid certificate for a name no test connects to.
  sed 's/^subjectAltName.*/subjectAltName = DNS:wrong-name.invalid/' "$t/server.ext" >"$t/wrong.ext"
  openssl req -new -nodes -newkey rsa:2048 -keyout "$t/wrong.key" -out "$t/wrong.csr" \
    -subj "/O=Ostmail Tests/CN=wrong-name.invalid" 2>/dev/null
  openssl x509 -req -in "$t/wrong.csr" -CA "$t/ca.pem" -CAkey "$t/ca.key" -set_serial 0x0101 \
    -days 825 -sha256 -extfile "$t/wrong.ext" -out "$t/wrong.pem" 2>/dev/null

  # x509 -req only takes -days; `openssl ca` can sign a validity in the past.
  cat >"$t/ca.cnf" <<EOF
[ ca ]
default_ca = testca
[ testca ]
dir = $t
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir/newcerts
certificate = \$dir/ca.pem
private_key = \$dir/ca.key
default_md = sha256
policy = policy_any
copy_extensions = copy
unique_subject = no
[ policy_any ]
commonName = supplied
organizationName = optional
EOF
  openssl req -new -nodes -newkey rsa:2048 -keyout "$t/expired.key" -out "$t/expired.csr" \
    -subj "/O=Ostmail Tests/CN=localhost" \
    -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" -addext extendedKeyUsage=serverAuth 2>/dev/null
  openssl ca -batch -config "$t/ca.cnf" -startdate 20200101000000Z -enddate 20200201000000Z \
    -notext -in "$t/expired.csr" -out "$t/expired.pem" 2>/dev/null

  cp "$t/ca.pem" "$t/cadir/ostmail-test-ca.pem"
  openssl rehash "$t/cadir" 2>/dev/null || c_rehash "$t/cadir" >/dev/null
}

# --- Exim ----------------------------------------------------------------------

# Exim condition: does the pair (userVar, passVar) name a known account?
exim_check() {
  local u=$1 p=$2
  echo "\${if or{ {and{{eq{$u}{$SMTP_USER}}{eq{$p}{$SMTP_PASS}}}} {and{{eq{$u}{$SMTP_USER2}}{eq{$p}{$SMTP_PASS2}}}} }}"
}
# Exim expansion: the password of the user in $auth1, or a forced failure.
exim_secret() {
  echo "\${if eq{\$auth1}{$SMTP_USER}{$SMTP_PASS}{\${if eq{\$auth1}{$SMTP_USER2}{$SMTP_PASS2}fail}}}"
}

# Exim condition: advertise an authenticator except on the ports of list
# (an Exim macro, possibly empty).
exim_advertise() {
  echo "  server_advertise_condition = \${if inlist{\$received_port}{$1}{no}{yes}}"
}

# Exim's own NTLM (spa) takes NTLMv1 only, Cyrus takes NTLMv2; two
# authenticators may not share a public name, hence one instance for each.
exim_ntlm() {
  if [[ $1 == cyrus ]]; then
    printf '%s\n' 'ntlm_cyrus:' '  driver = cyrus_sasl' '  public_name = NTLM' \
      '  server_mech = NTLM' '  server_set_id = $auth1' "$(exim_advertise HIDE_NTLM)"
  else
    printf '%s\n' 'ntlm_spa:' '  driver = spa' '  public_name = NTLM' \
      "  server_password = $(exim_secret)" '  server_set_id = $auth1' "$(exim_advertise HIDE_NTLM)"
  fi
}

# write_exim_conf NAME PORTS TLS_PORTS CERT KEY spa|cyrus [OFFER-PORTS]
# OFFER-PORTS: "NTLM CRAM PLAIN" where each names the ports (a:b) that offer
# that mechanism and those after it in the client's order, nothing before.
write_exim_conf() {
  local name=$1 ports=$2 tls_ports=$3 cert=$4 key=$5 ntlm=$6
  local -a offer=(${7:-})
  local e=$DIR/$name
  mkdir -p "$e/spool" "$e/log"
  cat >"$e/exim.conf" <<EOF
HIDE_LOGIN = ${offer[0]:-}${offer[1]:+ : }${offer[1]:-}${offer[2]:+ : }${offer[2]:-}
HIDE_NTLM = ${offer[1]:-}${offer[2]:+ : }${offer[2]:-}
HIDE_CRAM = ${offer[2]:-}
NO_UTF8 = ${EXIM_NO_UTF8_PORT:-0}
primary_hostname = localhost
local_interfaces = <; ${EXIM_INTERFACES:-127.0.0.1}
daemon_smtp_ports = $ports
tls_on_connect_ports = $tls_ports
spool_directory = $e/spool
log_file_path = $e/log/%slog
pid_file_path = $e/exim.pid
log_selector = +smtp_protocol_error +smtp_syntax_error +received_recipients +tls_cipher +subject
tls_certificate = $cert
tls_privatekey = $key
tls_advertise_hosts = *
dsn_advertise_hosts = *
smtputf8_advertise_hosts = \${if inlist{\$received_port}{NO_UTF8}{}{*}}
auth_advertise_hosts = *
host_lookup =
rfc1413_hosts =
rfc1413_query_timeout = 0s
message_size_limit = 256M
smtp_accept_max = 200
smtp_accept_max_per_host = 200
smtp_accept_queue_per_connection = 0
smtp_connect_backlog = 64
keep_environment = SASL_CONF_PATH
acl_smtp_rcpt = acl_check_rcpt

begin acl

acl_check_rcpt:
  deny    local_parts = ^reject
          message = no such user
  accept

begin routers

to_maildir:
  driver = accept
  transport = maildir_delivery

begin transports

maildir_delivery:
  driver = appendfile
  directory = $DIR/Maildir
  maildir_format
  create_directory
  delivery_date_add
  envelope_to_add
  return_path_add
  user = $EXIM_USER
  mode = 0644

begin retry

*  *  F,1h,10m

begin authenticators

plain:
  driver = plaintext
  public_name = PLAIN
  server_prompts = :
  server_condition = $(exim_check '$auth2' '$auth3')
  server_set_id = \$auth2

login:
  driver = plaintext
  public_name = LOGIN
  server_prompts = Username:: : Password::
  server_condition = $(exim_check '$auth1' '$auth2')
  server_set_id = \$auth1
$(exim_advertise HIDE_LOGIN)

cram:
  driver = cram_md5
  public_name = CRAM-MD5
  server_secret = $(exim_secret)
  server_set_id = \$auth1
$(exim_advertise HIDE_CRAM)

$(exim_ntlm "$ntlm")
$(exim_dovecot "${8:-}")
EOF
  chmod 644 "$e/exim.conf"
}

# Exim's dovecot driver hands any mechanism to Dovecot's auth socket
# (initial response included) and relays its 334 continuations.
exim_dovecot() {
  local ports=$1 mech
  [[ -n $ports ]] || return 0
  for mech in XOAUTH2 OAUTHBEARER; do
    printf '%s\n' "${mech,,}:" '  driver = dovecot' "  public_name = $mech" \
      "  server_socket = $DIR/dovecot/auth-client" '  server_set_id = $auth1' \
      "  server_advertise_condition = \${if inlist{\$received_port}{$ports}{yes}{no}}"
  done
}

# --- Dovecot -------------------------------------------------------------------

# Only the auth service runs (no protocols); its oauth2 passdb checks the
# token's HS256 signature, expiry and subject locally.
start_dovecot() {
  local d=$DIR/dovecot
  mkdir -p "$d/keys/default/HS256" "$d/run" "$d/state"
  printf '%s' "$OAUTH_KEY" | base64 -w0 >"$d/keys/default/HS256/default"
  cat >"$d/oauth2.conf.ext" <<EOF
introspection_mode = local
local_validation_key_dict = fs:posix:prefix=$d/keys/
username_attribute = sub
EOF
  cat >"$d/dovecot.conf" <<EOF
protocols =
base_dir = $d/run
state_dir = $d/state
log_path = $d/dovecot.log
instance_name = ostmail-$(basename "$DIR")
ssl = no
disable_plaintext_auth = no
auth_mechanisms = xoauth2 oauthbearer
auth_verbose = yes
# A refusal answers at once: the tests refuse tokens on purpose, many times.
auth_failure_delay = 0
default_internal_user = dovecot
default_login_user = dovenull
passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $d/oauth2.conf.ext
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=/nonexistent
}
service auth {
  unix_listener $d/auth-client {
    mode = 0666
  }
}
# Nor does a login wait longer after each failure from the same address
# (anvil's auth penalty, up to 15 s).
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
EOF
  start_bg dovecot dovecot -F -c "$d/dovecot.conf"
}

# An HS256 JWT for subject $1 that expires $2 seconds from now (negative: past).
make_token() {
  "$PY" - "$OAUTH_KEY" "$1" "$2" <<'EOF'
import base64, hashlib, hmac, json, sys, time
def b64(b): return base64.urlsafe_b64encode(b).rstrip(b"=").decode()
key, sub, now = sys.argv[1].encode(), sys.argv[2], int(time.time())
head = b64(json.dumps({"alg": "HS256", "typ": "JWT"}).encode())
body = b64(json.dumps({"sub": sub, "iat": now - 60, "exp": now + int(sys.argv[3])}).encode())
sig = b64(hmac.new(key, (head + "." + body).encode(), hashlib.sha256).digest())
print(head + "." + body + "." + sig)
EOF
}

wait_socket() {
  local name=$1 path=$2 i
  for ((i = 0; i < 100; i++)); do
    [[ -S $path ]] && return 0
    sleep 0.1
  done
  log "$name did not create $path; its output:"
  tail -n 30 "$DIR/logs/$name.out" "$DIR/dovecot/dovecot.log" >&2 || true
  return 1
}

make_sasl() {
  local s=$DIR/sasl
  mkdir -p "$s"
  cat >"$s/exim.conf" <<EOF
pwcheck_method: auxprop
auxprop_plugin: sasldb
sasldb_path: $s/sasldb2
mech_list: NTLM
EOF
  # The realm is the server's name. NTLMv2 logins succeed with an empty
  # client domain only.
  printf '%s' "$SMTP_PASS" | saslpasswd2 -p -c -f "$s/sasldb2" -u localhost "$SMTP_USER"
}

# --- dante -----------------------------------------------------------------------

write_dante_conf() {
  local name=$1 port=$2 method=$3
  cat >"$DIR/socks/$name.conf" <<EOF
logoutput: $DIR/socks/$name.log
internal: 127.0.0.1 port = $port
external: 127.0.0.1
external: ::1
socksmethod: $method
clientmethod: none
user.privileged: root
user.unprivileged: nobody
client pass {
  from: 127.0.0.0/8 to: 127.0.0.0/8
  log: error
}
# Loopback only: any other target is refused, which tests of refusals use.
socks pass {
  from: 127.0.0.0/8 to: 127.0.0.0/8
  command: connect
  log: error
}
socks pass {
  from: 127.0.0.0/8 to: ::1/128
  command: connect
  log: error
}
socks block {
  from: 0.0.0.0/0 to: 0.0.0.0/0
  log: connect error
}
EOF
}

# The username method checks system accounts; give this instance its own
# passwd and shadow in a private mount namespace instead of adding a user.
start_dante_auth() {
  local port=$1 s=$DIR/socks hash
  hash=$(openssl passwd -6 "$SOCKS_PASS")
  cp /etc/passwd "$s/passwd"
  cp /etc/shadow "$s/shadow"
  chmod 600 "$s/shadow"
  echo "$SOCKS_USER:x:64999:65534:ostmail socks test:/nonexistent:/usr/sbin/nologin" >>"$s/passwd"
  echo "$SOCKS_USER:$hash:19000:0:99999:7:::" >>"$s/shadow"
  write_dante_conf auth "$port" username
  start_bg socks_auth unshare --mount --propagation private \
    sh -c 'mount --bind "$1/passwd" /etc/passwd && mount --bind "$1/shadow" /etc/shadow &&
           exec danted -f "$1/auth.conf" -p "$1/auth.pid" -N 1' sh "$s"
}

# --- DKIM ------------------------------------------------------------------------

# Signing keys (owner-only, as the signer demands) and their TXT values.
make_dkim_keys() {
  local k=$DIR/dkim
  mkdir -p "$k"
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$k/rsa.pem" 2>/dev/null
  openssl genpkey -algorithm ED25519 -out "$k/ed25519.pem" 2>/dev/null
  chmod 600 "$k/rsa.pem" "$k/ed25519.pem"
  DKIM_RSA_TXT="v=DKIM1; k=rsa; p=$(openssl pkey -in "$k/rsa.pem" -pubout -outform DER | base64 -w0)"
  # An Ed25519 SubjectPublicKeyInfo ends in the 32 raw key bytes.
  DKIM_ED_TXT="v=DKIM1; k=ed25519; p=$(openssl pkey -in "$k/ed25519.pem" -pubout -outform DER | tail -c 32 | base64 -w0)"

  # dnsmasq splits a TXT value into strings of 255 bytes at most.
  DKIM_TXT_ARGS=("--txt-record=rsa2048._domainkey.example.test,$DKIM_RSA_TXT"
                 "--txt-record=ed._domainkey.example.test,$DKIM_ED_TXT")
}

# The verifying Exim: the main configuration plus acl_smtp_dkim.
write_exim_dkim_conf() {
  local port=$1 e=$DIR/exim_dkim
  write_exim_conf exim_dkim "$port" "" "$DIR/tls/server.pem" "$DIR/tls/server.key" spa
  sed -i -e 's/^acl_smtp_rcpt = acl_check_rcpt$/&\nacl_smtp_dkim = acl_check_dkim\ndkim_verify_minimal = false/' \
    -e 's/^log_selector = .*/& +dkim_verbose/' \
    -e 's/^begin acl$/&\n\nacl_check_dkim:\n  warn    log_message = DKIM verdict $dkim_verify_status for d=$dkim_cur_signer s=$dkim_selector a=$dkim_algo\n  accept\n/' \
    "$e/exim.conf"
  echo "nameserver $DKIM_DNS_ADDR" >"$e/resolv.conf"
  echo "options attempts:2 timeout:2" >>"$e/resolv.conf"
  chmod 644 "$e/resolv.conf"
}

start_exim_dkim() {
  local e=$DIR/exim_dkim
  start_bg dns_dkim dnsmasq -k --conf-file=/dev/null --no-resolv --no-hosts --bind-interfaces \
    --listen-address="$DKIM_DNS_ADDR" --port=53 --pid-file="$DIR/dns/dnsmasq_dkim.pid" --user=root \
    --log-facility=- --local=/example.test/ "${DKIM_TXT_ARGS[@]}"
  start_bg exim_dkim unshare --mount --propagation private \
    sh -c 'mount --bind "$1/resolv.conf" /etc/resolv.conf && exec exim4 -C "$1/exim.conf" -bdf' sh "$e"
}

# --- tinyproxy ---------------------------------------------------------------------

# Any port missing from the ConnectPort lines is refused with 403, which the
# refusal tests use.
start_tinyproxy() {
  local name=$1 port=$2 auth=$3 smtp=$4 smtps=$5 d=$DIR/httpproxy
  mkdir -p "$d"
  chown nobody: "$d"
  cat >"$d/$name.conf" <<EOF
User nobody
Group nogroup
Port $port
Listen 127.0.0.1
Timeout 60
MaxClients 50
Allow 127.0.0.1
ConnectPort $smtp
ConnectPort $smtps
DisableViaHeader Yes
LogFile "$d/$name.log"
LogLevel Info
PidFile "$d/$name.pid"
$auth
EOF
  start_bg "httpproxy_$name" tinyproxy -d -c "$d/$name.conf"
}

# --- the service account -----------------------------------------------------------

# NTLM takes the own message builder only in a process whose account is
# named exactly SYSTEM; the tests run the client under this one.
ensure_system_account() {
  getent passwd "$SYSTEM_USER" >/dev/null && return 0
  local group=(--user-group)
  getent group "$SYSTEM_USER" >/dev/null && group=(--gid "$SYSTEM_USER")
  # Without it only the tests that need it fail, each saying so.
  if useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
    "${group[@]}" "$SYSTEM_USER"; then
    log "created the account $SYSTEM_USER"
  else
    log "could not create the account $SYSTEM_USER"
  fi
}

# --- start / stop / status ----------------------------------------------------------

start_all() {
  if [[ $(id -u) -ne 0 ]]; then
    log "must run as root (Exim drops to $EXIM_USER, dante reads shadow)"
    exit 1
  fi
  ensure_system_account
  mkdir -p "$DIR"
  DIR=$(cd "$DIR" && pwd)
  if [[ -d $DIR/pids ]] && compgen -G "$DIR/pids/*" >/dev/null; then
    log "servers already started in $DIR; stopping them first"
    stop_all
  fi
  local attempt
  # A free port can be taken by someone else between choosing and binding.
  for attempt in 1 2 3; do
    if launch; then return 0; fi
    log "attempt $attempt failed"
  done
  exit 1
}

launch() {
  rm -rf "$DIR/tls" "$DIR/dovecot" "$DIR/exim" "$DIR/exim_expired" "$DIR/exim_ntlm2" "$DIR/exim_dkim" "$DIR/dkim" "$DIR/socks" "$DIR/httpproxy" "$DIR/dns" "$DIR/sasl" "$DIR/Maildir" "$DIR/env"
  mkdir -p "$DIR/pids" "$DIR/logs" "$DIR/socks" "$DIR/Maildir/new" "$DIR/Maildir/cur" "$DIR/Maildir/tmp"
  # Exim runs as $EXIM_USER: every parent folder must be searchable.
  local d=$DIR
  while [[ $d != / ]]; do
    chmod o+x "$d" 2>/dev/null || true
    d=$(dirname "$d")
  done

  local -a p
  mapfile -t p < <("$PY" "$HERE/free_ports.py" 22)
  local smtp=${p[0]} smtps=${p[1]} ntlm2=${p[2]} expired=${p[3]} wrongname=${p[4]}
  local socks=${p[5]} socks_auth=${p[6]} dns=${p[7]} closed=${p[8]}
  # Ports offering NTLM and on, CRAM-MD5 and on, PLAIN only: STARTTLS, implicit.
  local ntlm_s=${p[9]} cram_s=${p[10]} plain_s=${p[11]} ntlm_t=${p[12]} cram_t=${p[13]} plain_t=${p[14]}
  local http_proxy=${p[15]} http_proxy_auth=${p[16]} dkim_smtp=${p[17]}
  # Ports that offer XOAUTH2 and OAUTHBEARER besides the rest: STARTTLS, implicit.
  local oauth_s=${p[18]} oauth_t=${p[19]}
  # An address of this run's own, so that parallel runs do not meet on port 53.
  DKIM_DNS_ADDR=127.53.$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))

  # A port Exim serves on 127.0.0.1 alone, so that ::1 can be held by a
  # listener that never answers (the connect race's fallback).
  local v4only=${p[20]}
  # A port of the main Exim that does not offer SMTPUTF8.
  local noutf8=${p[21]}
  # Names are looked up through the system's resolver, which only asks port
  # 53: a second dnsmasq there, on a loopback address of this run's own.
  local dns53=127.66.$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))

  make_certs
  make_sasl
  make_dkim_keys
  EXIM_INTERFACES="127.0.0.1 ; ::1 ; 127.0.0.1.$v4only" EXIM_NO_UTF8_PORT=$noutf8 write_exim_conf exim \
    "$smtp : $noutf8 : $smtps : $ntlm_s : $cram_s : $plain_s : $ntlm_t : $cram_t : $plain_t : $oauth_s : $oauth_t" \
    "$smtps : $ntlm_t : $cram_t : $plain_t : $oauth_t" "$DIR/tls/server.pem" "$DIR/tls/server.key" spa \
    "$ntlm_s:$ntlm_t $cram_s:$cram_t $plain_s:$plain_t" "$oauth_s : $oauth_t"
  write_exim_conf exim_ntlm2 "$ntlm2" "" "$DIR/tls/server.pem" "$DIR/tls/server.key" cyrus
  write_exim_conf exim_expired "$expired : $wrongname" "$expired : $wrongname" \
    "\${if eq{\$received_port}{$wrongname}{$DIR/tls/wrong.pem}{$DIR/tls/expired.pem}}" \
    "\${if eq{\$received_port}{$wrongname}{$DIR/tls/wrong.key}{$DIR/tls/expired.key}}" spa
  write_exim_dkim_conf "$dkim_smtp"
  chown -R "$EXIM_USER:" "$DIR/tls" "$DIR/sasl" "$DIR/Maildir" "$DIR/exim/spool" "$DIR/exim/log" \
    "$DIR/exim_expired/spool" "$DIR/exim_expired/log" "$DIR/exim_ntlm2/spool" "$DIR/exim_ntlm2/log" \
    "$DIR/exim_dkim/spool" "$DIR/exim_dkim/log"
  chown "$EXIM_USER:" "$DIR/exim" "$DIR/exim_expired" "$DIR/exim_ntlm2" "$DIR/exim_dkim"

  start_dovecot
  wait_socket dovecot "$DIR/dovecot/auth-client" || { stop_all; return 1; }
  start_bg exim exim4 -C "$DIR/exim/exim.conf" -bdf
  start_bg exim_ntlm2 env SASL_CONF_PATH="$DIR/sasl" exim4 -C "$DIR/exim_ntlm2/exim.conf" -bdf
  start_bg exim_expired exim4 -C "$DIR/exim_expired/exim.conf" -bdf

  write_dante_conf open "$socks" none
  start_bg socks_open danted -f "$DIR/socks/open.conf" -p "$DIR/socks/open.pid" -N 1
  start_dante_auth "$socks_auth"

  start_tinyproxy open "$http_proxy" "" "$smtp" "$smtps"
  start_tinyproxy auth "$http_proxy_auth" "BasicAuth $HTTP_PROXY_USER $HTTP_PROXY_PASS" "$smtp" "$smtps"

  mkdir -p "$DIR/dns"
  start_bg dns dnsmasq -k --conf-file=/dev/null --no-resolv --no-hosts --bind-interfaces \
    --listen-address=127.0.0.1 --port="$dns" --pid-file="$DIR/dns/dnsmasq.pid" \
    --user=root --log-facility=- --log-queries --local-ttl=60 \
    --local=/example.test/ --local=/equal.test/ --local=/nomx.test/ \
    --mx-host=example.test,mx1.example.test,10 --mx-host=example.test,mx2.example.test,5 \
    --host-record=mx1.example.test,127.0.0.1 --host-record=mx2.example.test,127.0.0.1 \
    --mx-host=equal.test,mxa.equal.test,10 --mx-host=equal.test,mxb.equal.test,10 \
    --host-record=mxa.equal.test,127.0.0.1 --host-record=mxb.equal.test,127.0.0.1 \
    --host-record=nomx.test,127.0.0.1 \
    --cname=alias.example.test,mx1.example.test "${DKIM_TXT_ARGS[@]}"
  start_exim_dkim
  # Names of one family and of both, for the system's resolver.
  start_bg dns53 dnsmasq -k --conf-file=/dev/null --no-resolv --no-hosts --bind-interfaces \
    --listen-address="$dns53" --port=53 --pid-file="$DIR/dns/dnsmasq53.pid" \
    --user=root --log-facility=- --local=/example.test/ --local-ttl=60 \
    --host-record=v6only.example.test,::1 --host-record=v4only.example.test,127.0.0.1 \
    --host-record=dual.example.test,127.0.0.1,::1
  printf 'nameserver %s\noptions attempts:2 timeout:2\n' "$dns53" >"$DIR/dns/resolv.conf"

  local ok=1
  wait_port exim "$smtp" && wait_port exim "$smtps" && wait_port exim "$plain_t" || ok=0
  wait_port exim_ntlm2 "$ntlm2" || ok=0
  wait_port exim_expired "$expired" && wait_port exim_expired "$wrongname" || ok=0
  wait_port socks_open "$socks" || ok=0
  wait_port socks_auth "$socks_auth" || ok=0
  wait_port dns "$dns" || ok=0
  wait_port exim_dkim "$dkim_smtp" && wait_port dns_dkim 53 "$DKIM_DNS_ADDR" || ok=0
  wait_port dns53 53 "$dns53" || ok=0
  wait_port httpproxy_open "$http_proxy" || ok=0
  wait_port httpproxy_auth "$http_proxy_auth" || ok=0
  if ((!ok)); then
    stop_all
    return 1
  fi

  cat >"$DIR/env.tmp" <<EOF
OSTMAIL_SERVERS_DIR='$DIR'
OSTMAIL_HOST='127.0.0.1'
OSTMAIL_TLS_HOST='localhost'
OSTMAIL_SMTP_PORT='$smtp'
OSTMAIL_SMTPS_PORT='$smtps'
OSTMAIL_SMTP_OFFER_NTLM_PORT='$ntlm_s'
OSTMAIL_SMTP_OFFER_CRAM_PORT='$cram_s'
OSTMAIL_SMTP_OFFER_PLAIN_PORT='$plain_s'
OSTMAIL_SMTPS_OFFER_NTLM_PORT='$ntlm_t'
OSTMAIL_SMTPS_OFFER_CRAM_PORT='$cram_t'
OSTMAIL_SMTPS_OFFER_PLAIN_PORT='$plain_t'
OSTMAIL_NTLM2_SMTP_PORT='$ntlm2'
OSTMAIL_EXPIRED_SMTPS_PORT='$expired'
OSTMAIL_WRONGNAME_SMTPS_PORT='$wrongname'
OSTMAIL_CLOSED_PORT='$closed'
OSTMAIL_SMTP_USER='$SMTP_USER'
OSTMAIL_SMTP_PASSWORD='$SMTP_PASS'
OSTMAIL_SMTP_USER2='$SMTP_USER2'
OSTMAIL_SMTP_PASSWORD2='$SMTP_PASS2'
OSTMAIL_SMTP_REJECT_PREFIX='reject'
OSTMAIL_MAILDIR='$DIR/Maildir'
OSTMAIL_EXIM_LOG='$DIR/exim/log/mainlog'
OSTMAIL_CA_FILE='$DIR/tls/ca.pem'
OSTMAIL_CA_DIR='$DIR/tls/cadir'
OSTMAIL_SOCKS_PORT='$socks'
OSTMAIL_SOCKS_AUTH_PORT='$socks_auth'
OSTMAIL_SOCKS_USER='$SOCKS_USER'
OSTMAIL_SOCKS_PASSWORD='$SOCKS_PASS'
OSTMAIL_HTTP_PROXY_PORT='$http_proxy'
OSTMAIL_HTTP_PROXY_AUTH_PORT='$http_proxy_auth'
OSTMAIL_HTTP_PROXY_USER='$HTTP_PROXY_USER'
OSTMAIL_HTTP_PROXY_PASSWORD='$HTTP_PROXY_PASS'
OSTMAIL_HTTP_PROXY_REFUSED_PORT='$plain_s'
OSTMAIL_NTLM2_EXIM_LOG='$DIR/exim_ntlm2/log/mainlog'
OSTMAIL_EXPIRED_EXIM_LOG='$DIR/exim_expired/log/mainlog'
OSTMAIL_DNS_PORT='$dns'
OSTMAIL_DNS_MX_DOMAIN='example.test'
OSTMAIL_DNS_EQUAL_DOMAIN='equal.test'
OSTMAIL_DNS_NOMX_DOMAIN='nomx.test'
OSTMAIL_DNS_MISSING_DOMAIN='missing.example.test'
OSTMAIL_DNS_CNAME_ONLY_NAME='alias.example.test'
OSTMAIL_DKIM_SMTP_PORT='$dkim_smtp'
OSTMAIL_DKIM_EXIM_LOG='$DIR/exim_dkim/log/mainlog'
OSTMAIL_DKIM_RESOLV_CONF='$DIR/exim_dkim/resolv.conf'
OSTMAIL_DKIM_DOMAIN='example.test'
OSTMAIL_DKIM_RSA_SELECTOR='rsa2048'
OSTMAIL_DKIM_RSA_KEY='$DIR/dkim/rsa.pem'
OSTMAIL_DKIM_ED25519_SELECTOR='ed'
OSTMAIL_DKIM_ED25519_KEY='$DIR/dkim/ed25519.pem'
OSTMAIL_OAUTH_SMTP_PORT='$oauth_s'
OSTMAIL_OAUTH_SMTPS_PORT='$oauth_t'
OSTMAIL_OAUTH_TOKEN='$(make_token "$SMTP_USER" 315360000)'
OSTMAIL_OAUTH_EXPIRED_TOKEN='$(make_token "$SMTP_USER" -3600)'
OSTMAIL_OAUTH_OTHER_USER_TOKEN='$(make_token "$SMTP_USER2" 315360000)'
OSTMAIL_HOST6='::1'
OSTMAIL_SMTP_V4ONLY_PORT='$v4only'
OSTMAIL_SMTP_NO_UTF8_PORT='$noutf8'
OSTMAIL_RESOLV_CONF='$DIR/dns/resolv.conf'
OSTMAIL_DNS_V6ONLY_NAME='v6only.example.test'
OSTMAIL_DNS_DUAL_NAME='dual.example.test'
EOF
  mv "$DIR/env.tmp" "$DIR/env"
  log "started in $DIR (env: $DIR/env)"
}

status_all() {
  local f pid bad=0
  if [[ ! -d $DIR/pids ]] || ! compgen -G "$DIR/pids/*" >/dev/null; then
    echo "no servers in $DIR"
    return 1
  fi
  for f in "$DIR"/pids/*; do
    pid=$(cat "$f")
    if alive "$pid"; then
      echo "$(basename "$f"): running (pid $pid)"
    else
      echo "$(basename "$f"): NOT running (pid $pid)"
      bad=1
    fi
  done
  [[ -r $DIR/env ]] && cat "$DIR/env"
  return $bad
}

case $CMD in
  start) start_all ;;
  stop)
    DIR=$(cd "$DIR" 2>/dev/null && pwd) || exit 0
    stop_all
    ;;
  status) status_all ;;
  *) usage ;;
esac
