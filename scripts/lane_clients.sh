#!/bin/bash
# Real mail programs send through `ostmail sendmail` into the test Exim; Python
# reads each message back from the Maildir. Needs build/ostmail and the servers'
# env file in OSTMAIL_TEST_ENV. Prints "N passed, N failed, N skipped" last.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=$ROOT/build/ostmail
. "${OSTMAIL_TEST_ENV:?servers not started}"
W=$(mktemp -d /tmp/om-clients.XXXXXX)
trap '[[ -n ${KEEP:-} ]] || rm -rf "$W"' EXIT
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "lane_clients: FAIL: $*"; }

ln -s "$BIN" "$W/sendmail"
cat >"$W/config" <<CONF
# test account
[default]
server = $OSTMAIL_HOST
port = $OSTMAIL_SMTP_PORT
starttls = yes
ca-file = $OSTMAIL_CA_FILE
user = $OSTMAIL_SMTP_USER
password-command = printf '%s\n' '$OSTMAIL_SMTP_PASSWORD'
from = lane@example.test
CONF
export OSTMAIL_CONFIG=$W/config

# found TAG FIELD=VALUE...: one message in the Maildir whose Subject holds TAG
# and whose parsed fields match; "body~TEXT" looks in the decoded body parts.
found() {
  python3 - "$OSTMAIL_MAILDIR" "$@" <<'PY'
import email, email.policy, glob, sys
root, tag, checks = sys.argv[1], sys.argv[2], sys.argv[3:]
raws = [open(p, 'rb').read() for p in glob.glob(root + '/new/*')]
class Bad(Exception): pass
def verify(tag, checks):
    # The tag's bytes first: parsing every message in the folder is slow.
    msgs = [(email.message_from_bytes(r, policy=email.policy.default), r) for r in raws if tag.encode() in r]
    msgs = [(m, r) for m, r in msgs if tag in str(m.get('Subject', '')) or tag.encode() in r]
    # One copy per recipient arrives; every copy must match.
    if not msgs: raise Bad('no message with ' + tag)
    for m, raw in msgs:
      types = [p.get_content_type() for p in m.walk()]
      text = ''.join(p.get_content() for p in m.walk() if p.get_content_maintype() == 'text')
      names = [p.get_filename() for p in m.walk() if p.get_filename()]
      for c in checks:
          if c.startswith('body~'):
              if c[5:] not in text: raise Bad('body lacks %r: %r' % (c[5:], text[:300]))
          elif c.startswith('file='):
              if c[5:] not in names: raise Bad('no attachment %s in %s' % (c[5:], names))
          elif c.startswith('att='):
              # att=NAME,TYPE,PATH: an attachment of that type whose bytes are PATH's.
              name, ctype, path = c[4:].split(',', 2)
              parts = [p for p in m.walk() if p.get_filename() == name]
              if not parts: raise Bad('no attachment %s in %s' % (name, names))
              if parts[0].get_content_type() != ctype: raise Bad('%s is %s' % (name, parts[0].get_content_type()))
              got, want = parts[0].get_payload(decode=True), open(path, 'rb').read()
              if ctype.startswith('text/'):  # text line ends travel as CRLF
                  got, want = got.replace(b'\r\n', b'\n'), want.replace(b'\r\n', b'\n')
              if got != want: raise Bad('%s: bytes differ: %r' % (name, got[:60]))
          elif c.startswith('part='):
              if c[5:] not in types: raise Bad('no %s part in %s' % (c[5:], types))
          elif c.startswith('rawbody='):
              want = c[8:].encode().decode('unicode_escape').encode('latin-1')
              got = raw.split(b'\n\n', 1)[1] if b'\n\n' in raw else b''
              if got != want: raise Bad('raw body %r, wanted %r' % (got[:200], want[:200]))
          elif c.startswith('copies='):
              if len(msgs) != int(c[7:]): raise Bad('%d copies, wanted %s' % (len(msgs), c[7:]))
          elif c.startswith('raw~'):
              if c[4:].encode() not in raw: raise Bad('%s not in the raw message' % c[4:])
          elif c.startswith('raw!~'):
              if c[5:].encode() in raw: raise Bad('%s in the raw message' % c[5:])
          elif c.startswith('fromname='):
              if m['From'].addresses[0].display_name != c[9:]: raise Bad('From is %r' % str(m['From']))
          elif c.startswith('not:'):
              k, v = c[4:].split('=', 1)
              if v in str(m.get(k, '')): raise Bad('%s is %r' % (k, m.get(k)))
          elif c.startswith('no:'):
              if m.get(c[3:]) is not None: raise Bad('%s present' % c[3:])
          else:
              k, v = c.split('=', 1)
              if v not in str(m.get(k, '')): raise Bad('%s is %r, wanted %r' % (k, m.get(k), v))
# --table FILE: one "TAG<tab>CHECK<tab>..." per line, one verdict printed each.
if tag == '--table':
    for line in open(checks[0], encoding='utf-8'):
        t, *cs = line.rstrip('\n').split('\t')
        try: verify(t, cs); print('ok')
        except Bad as e: print('FAIL %s: %s' % (t, e))
else:
    try: verify(tag, checks)
    except Bad as e: sys.exit(str(e))
PY
}
check() { if found "$@"; then ok; else bad "$1"; fi; }
# checkTable FILE: the rows of FILE (see --table above) in one run; each counts.
checkTable() {
  local line n=0
  while read -r line; do
    n=$((n + 1))
    if [[ $line == ok ]]; then ok; else bad "${line#FAIL }"; fi
  done < <(found --table "$1")
  ((n == $(wc -l <"$1"))) || bad "checkTable $1: $n verdicts for $(wc -l <"$1") rows"
}

# bsd-mailx with its sendmail pointed at ostmail.
echo "set sendmail=$W/sendmail" >"$W/mailrc"
printf 'line one\n.dotted line\n' | MAILRC=$W/mailrc bsd-mailx -s "mailx-$$" to1@example.test 2>"$W/err" || bad "mailx: $(cat "$W/err")"
check "mailx-$$" To=to1@example.test "body~.dotted line" Message-ID=@

# sendmail -t: Bcc is a recipient but not in what arrives.
printf 'To: a@example.test\nBcc: hidden@example.test\nSubject: t-%s\n\nbody\n' $$ | "$BIN" sendmail -t -i
check "t-$$" To=a@example.test no:Bcc Date=20
grep -q "hidden@example.test" "$OSTMAIL_EXIM_LOG" && ok || bad "Bcc not delivered"

# git send-email of a two-patch series.
g=$W/repo && git init -q "$g" && cd "$g" && git config user.email dev@example.test && git config user.name Dev
for n in 1 2; do echo "$n" >"f$n" && git add "f$n" && git commit -qm "change-$n-$$"; done
git format-patch -q -2 -o "$W/patches" && cd "$ROOT"
git -C "$g" send-email --quiet --confirm=never --to=list@example.test \
  --sendmail-cmd="$BIN sendmail" "$W"/patches/*.patch >"$W/err" 2>&1 || bad "git send-email: $(tail -3 "$W/err")"
check "change-1-$$" To=list@example.test "body~+1"
check "change-2-$$" To=list@example.test "body~+2"

# neomutt in batch mode with an attachment.
echo "attached text" >"$W/report.txt"
echo "see attachment" | HOME=$W neomutt -n -F /dev/null -e "set sendmail=\"$BIN sendmail\"" -e 'set from=lane@example.test' \
  -s "mutt-$$" -a "$W/report.txt" -- m@example.test >"$W/err" 2>&1 || bad "neomutt: $(tail -3 "$W/err")"
check "mutt-$$" To=m@example.test file=report.txt "body~attached text"

# The real programs of a Debian machine, with ostmail installed as
# /usr/sbin/sendmail and a shared /etc/ostmail.conf (root:mail 0640) in a
# mount namespace, so the machine's /etc, /usr/sbin and /run stay untouched:
# the cron daemon running a job at its start, mailutils as a user of group
# mail, PHP's mail() with and without -r, and `sendmail -t` as logwatch calls it.
QHOST=$(hostname) && [[ $QHOST == *.* ]] || QHOST=$QHOST.example.test
mkdir -p "$W/etc" "$W/ewk" "$W/sbin" "$W/swk" && ln -s "$BIN" "$W/sbin/sendmail"
grep -v '^password-command' "$W/config" >"$W/shared"
printf 'password = %s\nca-file = /etc/ostmail-ca.pem\naliases = /etc/ostmail-aliases\nqualify-domain = example.test\n' \
  "$OSTMAIL_SMTP_PASSWORD" >>"$W/shared"
printf '# local names\nroot: postmaster\npostmaster:\n  admin@example.test\n' >"$W/aliases"
printf 'MAILTO=root\n@reboot root echo cronjob-%s; echo second line\n' $$ >"$W/cronjob"
cat >"$W/programs" <<PROGS
mount -t overlay overlay -o lowerdir=/etc,upperdir=$W/etc,workdir=$W/ewk /etc &&
mount -t overlay overlay -o lowerdir=/usr/sbin,upperdir=$W/sbin,workdir=$W/swk /usr/sbin &&
mount -t tmpfs tmpfs /run && install -m 640 -g mail $W/shared /etc/ostmail.conf &&
install -m 644 $OSTMAIL_CA_FILE /etc/ostmail-ca.pem && install -m 644 $W/aliases /etc/ostmail-aliases &&
rm -f /etc/cron.d/* && install -m 644 $W/cronjob /etc/cron.d/lanejob || exit 9
cron -f -L 15 & cron=\$!
echo 'nightly report' | HOME=/tmp setpriv --reuid=nobody --regid=mail --clear-groups mail.mailutils -s "mu-$$" root
php -r 'mail("p1@example.test", "php-$$", "php body\nline two");'
php -r 'mail("p2@example.test", "phpr-$$", "x", "From: Web <web@example.test>", "-rbounce@example.test");'
php -r 'mail(implode(", ", array_map(function (\$i) { return "p\$i-$$@example.test"; }, range(1, 60))), "php60-$$", "x");'
printf 'To: root\nFrom: Logwatch <logwatch@$QHOST>\nSubject: logwatch-$$\nMIME-Version: 1.0\nContent-Transfer-Encoding: 7bit\nContent-Type: text/plain; charset="iso-8859-1"\n\n ### Logwatch ###\n' |
  /usr/sbin/sendmail -t
for i in \$(seq 150); do grep -qs cronjob-$$ $OSTMAIL_MAILDIR/new/* && break; sleep 0.2; done
kill \$cron
PROGS
env -u OSTMAIL_CONFIG unshare --mount bash "$W/programs" >"$W/err" 2>&1 || bad "real programs: $(cat "$W/err")"
check "cronjob-$$" "raw~From: root (Cron Daemon)" Envelope-to=admin@example.test Return-path=lane@example.test \
  "body~second line" "Message-ID=@$QHOST>"
check "mu-$$" Envelope-to=admin@example.test To=root "body~nightly report"
check "php-$$" Envelope-to=p1@example.test Return-path=lane@example.test "rawbody=php body\nline two\n"
check "php60-$$" copies=60  # a To line of some 1000 bytes, folded
check "phpr-$$" Envelope-to=p2@example.test Return-path=bounce@example.test From=web@example.test
check "logwatch-$$" Envelope-to=admin@example.test "body~### Logwatch ###" copies=1

# ostmail send: account from the file, body from stdin with LF ends, HTML
# alternative, and the command line over the file's From.
printf 'first line\nsecond line\n' | "$BIN" send --to s@example.test --subject "send-$$" --body-file - \
  --html '<p>rich</p>' --from cli@example.test >"$W/err" 2>&1 || bad "send: $(cat "$W/err")"
check "send-$$" "body~second line" "body~<p>rich</p>" part=text/plain part=text/html raw!~=0A From=cli@example.test
[[ $("$BIN" --version) == "ostmail "[0-9]* ]] && ok || bad "--version"

# ostmail send --attach PATH[;type=][;name=], '-' for standard input: status,
# then the type and bytes of each attachment as they arrived (2: nothing sent).
head -c 3000 /dev/urandom >"$W/blob.bin" && a=0
printf 'day,n\nmon,1\r\n' >"$W/notes.txt"
while IFS='|' read -r status input args checks; do
  tag=att$((++a))-$$
  "$BIN" send --to at@example.test --subject "$tag" --body x $args <"$input" >"$W/err" 2>&1
  rc=$?
  if [[ $rc != "$status" ]]; then bad "send $args: status $rc: $(cat "$W/err")"
  elif ((status == 0)); then check "$tag" $checks
  elif grep -q "$checks" "$W/err" && ! found "$tag" 2>/dev/null; then ok
  else bad "send $args: $(cat "$W/err")"; fi
done <<TABLE
0|/dev/null|--attach $W/blob.bin;type=image/x-test|att=blob.bin,image/x-test,$W/blob.bin
0|$W/blob.bin|--attach -|att=stdin,application/octet-stream,$W/blob.bin
0|$W/notes.txt|--attach -;name=notes.txt --attach $W/blob.bin;name=b.dat;type=text/plain|att=notes.txt,text/plain,$W/notes.txt att=b.dat,text/plain,$W/blob.bin
2|$W/notes.txt|--attach type=text/plain|bad value for --attach
2|$W/notes.txt|--attach $W/blob.bin;type=text|bad value for --attach
2|$W/notes.txt|--html-file - --attach -|one option only
TABLE

# sendmail's options as its callers give them: status, arguments (as the
# shell reads them), input (%s is the tag), then the checks of what arrived.
printf '[default]\nserver = %s\nport = %s\nca-file = %s\nfrom = lane@example.test\naliases = %s\nqualify-domain = example.test\n' \
  "$OSTMAIL_HOST" "$OSTMAIL_SMTP_PORT" "$OSTMAIL_CA_FILE" "$W/aliases" >"$W/local"
long=$(printf ' word%.0s' {1..250})
body=$(head -c 1200 /dev/zero | tr '\0' y)
o=0
while IFS='|' read -r args input checks; do
  tag=opt$((++o))-$$
  eval "set -- $args"
  printf "$input" "$tag" | "$BIN" sendmail "$@" >"$W/err" 2>&1
  rc=$?
  eval "set -- $checks"
  if ((rc != 0)); then bad "sendmail $args: status $rc: $(cat "$W/err")"; else (IFS=$'\t'; echo "$tag"$'\t'"$*") >>"$W/opts.checks"; fi
done <<TABLE
-FCronDaemon -i -B8BITMIME -oem admin@example.test|From: root (Cron Daemon)\nTo: root\nSubject: %s\n\ncron line\n|Envelope-to=admin@example.test 'Return-path=<lane@example.test>' 'rawbody=cron line\n'
-t -i -rphp@example.test|To: p@example.test\nSubject: %s\n\nx\n|'Return-path=<php@example.test>' Envelope-to=p@example.test
-f '<>' n@example.test|Subject: %s\n\nx\n|'Return-path=<>' Envelope-to=n@example.test
-f 'Fa <fa@example.test>' -F 'Jo "X" Ö' n@example.test|Subject: %s\n\nx\n|'Return-path=<fa@example.test>' 'fromname=Jo "X" Ö'
-O DeliveryMode=b -U -G -n -m -L tag -h 5 -Am -X /dev/null -d0.1 -p smtp -em -oMr esmtp -C $W/config n@example.test|Subject: %s\n\nx\n|Envelope-to=n@example.test
-ti|To: g@example.test\nSubject: %s\n\na\n.\nb\n|Envelope-to=g@example.test 'rawbody=a\n.\nb\n'
-o i g@example.test|Subject: %s\n\na\n.\nb\n|'rawbody=a\n.\nb\n'
-N failure,delay -R hdrs -V env-1 n@example.test|Subject: %s\n\nx\n|Envelope-to=n@example.test
-t|To: undisclosed-recipients:;\nCc: Friends: a1@example.test, "B, B" <b1@example.test> (c);\nBcc: a1@EXAMPLE.test, c1 (Cee)@example.test\nSubject: %s\n\nx\n|copies=3 no:Bcc
-t|To: orig@example.test\nResent-To: r1@example.test\nResent-Bcc: <r2@example.test>\nSubject: %s\n\nx\n|copies=2 no:Resent-Bcc not:Envelope-to=orig
t@example.test|To: t@example.test\nBcc: hidden2@example.test\nSubject: %s\n\nx\n|copies=1 no:Bcc
n@example.test|just a body line %s\n|'body~just a body' From=lane@example.test Date=20
n@example.test|\nSubject: %s\n\nx\n|body~Subject: From=lane@example.test
n@example.test|From lane@example.test Thu Dec 10 00:00:00 2026\nSubject: %s\n\nx\n|'raw!~From lane@example.test Thu'
n@example.test|Subject : %s\n\nx\n|body~x
n@example.test|Subject: %s$long\n\nbefore\n$body\nnul \\0 after\n|body~before body~yyyy body~after Content-Transfer-Encoding=quoted-printable
n@example.test|Subject: %s\n\nno newline|'rawbody=no newline\n'
n@example.test|Subject: %s\nContent-Type: text/plain; charset=utf-8\n\nGrüße\n|'body~Grüße' raw~Grüße
--config $W/local root bob|Subject: %s\n\nx\n|copies=2 'Message-ID=@$QHOST>' Return-path=lane@example.test
-C $W/local -n postmaster|Subject: %s\n\nx\n|Envelope-to=postmaster@example.test
TABLE
checkTable "$W/opts.checks"

# Bad input and failures: exit status, the reason on stderr, nothing delivered.
unset OSTMAIL_CONFIG
printf '[default]\nserver = %s\nport = %s\nca-file = %s\n' "$OSTMAIL_HOST" "$OSTMAIL_SMTP_PORT" "$OSTMAIL_CA_FILE" >"$W/plain"
printf '[default]\nserver = %s\npassword = x\n' "$OSTMAIL_HOST" >"$W/open" && chmod 644 "$W/open"
# Group-readable is for a file root owns only.
cp "$W/open" "$W/grouped" && chmod 640 "$W/grouped" && chown nobody "$W/grouped"
printf '[default]\nserver = %s\nport = %s\nuser = u\npassword-command = sleep 30\nread-timeout = 1\n' \
  "$OSTMAIL_HOST" "$OSTMAIL_SMTP_PORT" >"$W/hang" && echo "ca-file = $OSTMAIL_CA_FILE" >>"$W/hang"
sed 's/sleep 30/exit 3/' "$W/hang" >"$W/fails"
sed 's/sleep 30/echo wrong/' "$W/hang" >"$W/badpw"
printf '[default]\nserver = %s\nport = %s\nstarttls = maybe\n' "$OSTMAIL_HOST" "$OSTMAIL_SMTP_PORT" >"$W/badval"
printf '[default]\nserver = 127.0.0.1\nport = %s\nconnect-timeout = 2\n' "$OSTMAIL_CLOSED_PORT" >"$W/down"
printf '[default]\nserver = no-such-host.invalid\n' >"$W/nohost"
printf '[default]\nserver = %s\nport = %s\nssl = yes\nrequire-cert = yes\nca-file = %s\n' "$OSTMAIL_TLS_HOST" \
  "$OSTMAIL_EXPIRED_SMTPS_PORT" "$OSTMAIL_CA_FILE" >"$W/expired"
sed 's/^\[default\]/[work]/' "$W/plain" >"$W/work"
printf 'a: b\nb: c, a\n' >"$W/loop.aliases" && printf 'aliases = %s\n' "$W/loop.aliases" | cat "$W/plain" - >"$W/loop"
# Faults a real server will not make on demand: a 421 greeting, and silence.
{ read -r p421; read -r psilent; } < <(python3 "$ROOT/scripts/free_ports.py" 2)
python3 -c '
import socket, sys, threading, time
def serve(port, greeting):
    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind(("127.0.0.1", port)); s.listen(8)
    while True:
        c, _ = s.accept()
        if greeting: c.sendall(greeting); c.close(); open(sys.argv[3], "a").write("x")
        else: threading.Timer(30, c.close).start()
threading.Thread(target=serve, args=(int(sys.argv[1]), b"421 busy, try later\r\n"), daemon=True).start()
serve(int(sys.argv[2]), None)' "$p421" "$psilent" "$W/busy.count" &
fake=$!
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$psilent") 2>/dev/null && break; sleep 0.1; done
printf '[default]\nserver = 127.0.0.1\nport = %s\nretries = 1\n' "$p421" >"$W/busy"
printf '[default]\nserver = 127.0.0.1\nport = %s\nread-timeout = 1\n' "$psilent" >"$W/silent"
while IFS='|' read -r status conf args input want; do
  before=$(ls "$OSTMAIL_MAILDIR"/new | wc -l)
  printf "$input" | "$BIN" sendmail --config "$W/$conf" $args >"$W/out" 2>"$W/err"
  rc=$? after=$(ls "$OSTMAIL_MAILDIR"/new | wc -l)
  if [[ $rc == "$status" && $(wc -l <"$W/err") -le 2 && $before == "$after" ]] && grep -q -- "$want" "$W/err" &&
     ! grep -q 'WSA\|100[0-9][0-9]\|'$'\r' "$W/err"; then ok
  else bad "bad input ($args $conf): status $rc, stderr: $(cat "$W/err")"; fi
done <<TABLE
64|plain||Subject: x\n\nno one\n|no recipients
65|plain|-t|Subject: x\n\nno one\n|no recipients
65|plain|-t|To: a@example.test, John Smith\n\nb\n|not an address in 'John Smith'
64|plain|a@example.test -f|Subject: x\n\nb\n|option -f needs a value
64|plain|a@example.test -oMr|Subject: x\n\nb\n|option -oMr needs a value
64|plain|-N sometimes a@example.test|Subject: x\n\nb\n|bad value for -N
64|plain|-k a@example.test|Subject: x\n\nb\n|unknown option '-k'
65|plain|a@example.test||no message
69|plain|-bs|Subject: x\n\nb\n|-bs is not offered
69|plain|-q|Subject: x\n\nb\n|no local queue
69|plain|-bp|Subject: x\n\nb\n|no local queue
78|missing|a@example.test|Subject: x\n\nb\n|cannot read
78|plain|--account work a@example.test|Subject: x\n\nb\n|no section \[work\]
78|work|a@example.test|Subject: x\n\nb\n|no \[default\] account; use --account work
78|loop|a|Subject: x\n\nb\n|aliases loop: a -> b -> a
78|open|a@example.test|Subject: x\n\nb\n|open holds a password
78|grouped|a@example.test|Subject: x\n\nb\n|grouped holds a password
78|badval|a@example.test|Subject: x\n\nb\n|badval:4: key 'starttls'
78|hang|a@example.test|Subject: x\n\nb\n|timed out
78|fails|a@example.test|Subject: x\n\nb\n|exited with status 3
77|badpw|a@example.test|Subject: x\n\nb\n|refused the login: 535
67|plain|reject-me@example.test|Subject: x\n\nb\n|recipient refused: reject-me@example.test
69|down|a@example.test|Subject: x\n\nb\n|the connection was refused
68|nohost|a@example.test|Subject: x\n\nb\n|unknown host no-such-host.invalid
69|expired|a@example.test|Subject: x\n\nb\n|the certificate of localhost:[0-9]* was not accepted
75|busy|a@example.test|Subject: x\n\nb\n|try later: 421 busy
75|silent|a@example.test|Subject: x\n\nb\n|no reply from 127.0.0.1
TABLE
kill "$fake"
# retries = 1: the 421 was met twice.
[[ $(cat "$W/busy.count") == xx ]] && ok || bad "retries: $(cat "$W/busy.count") connections"
# -bi has nothing to build: the aliases file is read at every send.
"$BIN" sendmail -bi 2>"$W/err" && grep -q "nothing to build" "$W/err" && ok || bad "-bi: $(cat "$W/err")"

echo "$passed passed, $failed failed, 0 skipped"
((failed == 0))
