#!/bin/bash
# Real mail programs send through `ostmail sendmail` into the test Exim; Python
# reads each message back from the Maildir. Needs build/ostmail and the servers'
# env file in OSTMAIL_TEST_ENV. Prints "N passed, N failed, N skipped" last.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=$ROOT/build/ostmail
. "${OSTMAIL_TEST_ENV:?servers not started}"
W=$(mktemp -d /tmp/om-clients.XXXXXX)
trap 'rm -rf "$W"' EXIT
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
msgs = [(email.message_from_bytes(r, policy=email.policy.default), r) for r in raws]
msgs = [(m, r) for m, r in msgs if tag in str(m.get('Subject', ''))]
# One copy per recipient arrives; every copy must match.
if not msgs: sys.exit('no message with ' + tag)
for m, raw in msgs:
  types = [p.get_content_type() for p in m.walk()]
  text = ''.join(p.get_content() for p in m.walk() if p.get_content_maintype() == 'text')
  names = [p.get_filename() for p in m.walk() if p.get_filename()]
  for c in checks:
      if c.startswith('body~'):
          if c[5:] not in text: sys.exit('body lacks %r: %r' % (c[5:], text[:300]))
      elif c.startswith('file='):
          if c[5:] not in names: sys.exit('no attachment %s in %s' % (c[5:], names))
      elif c.startswith('att='):
          # att=NAME,TYPE,PATH: an attachment of that type whose bytes are PATH's.
          name, ctype, path = c[4:].split(',', 2)
          parts = [p for p in m.walk() if p.get_filename() == name]
          if not parts: sys.exit('no attachment %s in %s' % (name, names))
          if parts[0].get_content_type() != ctype: sys.exit('%s is %s' % (name, parts[0].get_content_type()))
          got, want = parts[0].get_payload(decode=True), open(path, 'rb').read()
          if ctype.startswith('text/'):  # text line ends travel as CRLF
              got, want = got.replace(b'\r\n', b'\n'), want.replace(b'\r\n', b'\n')
          if got != want: sys.exit('%s: bytes differ: %r' % (name, got[:60]))
      elif c.startswith('part='):
          if c[5:] not in types: sys.exit('no %s part in %s' % (c[5:], types))
      elif c.startswith('raw!~'):
          if c[5:].encode() in raw: sys.exit('%s in the raw message' % c[5:])
      elif c.startswith('no:'):
          if m.get(c[3:]) is not None: sys.exit('%s present' % c[3:])
      else:
          k, v = c.split('=', 1)
          if v not in str(m.get(k, '')): sys.exit('%s is %r, wanted %r' % (k, m.get(k), v))
PY
}
check() { if found "$@"; then ok; else bad "$1"; fi; }

# bsd-mailx with its sendmail pointed at ostmail.
echo "set sendmail=$W/sendmail" >"$W/mailrc"
printf 'line one\n.dotted line\n' | MAILRC=$W/mailrc mail -s "mailx-$$" to1@example.test 2>"$W/err" || bad "mailx: $(cat "$W/err")"
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

# cron: no terminal, no HOME, /etc/ostmail.conf written into a private
# overlay of /etc in a mount namespace, so the machine's /etc is untouched.
mkdir -p "$W/up" "$W/wk"
if unshare --mount bash -c "mount -t overlay overlay -o lowerdir=/etc,upperdir='$W/up',workdir='$W/wk' /etc &&
   cp '$W/config' /etc/ostmail.conf && chmod 600 /etc/ostmail.conf &&
   printf 'Subject: cron-%s\n\nnightly\n' $$ | env -i PATH=/usr/bin:/bin setsid '$BIN' sendmail root@example.test >'$W/err' 2>&1"
then check "cron-$$" "body~nightly" From=lane@example.test
else bad "cron-like run: $(cat "$W/err")"; fi

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

# Bad input: exit status, one line on stderr, nothing delivered.
unset OSTMAIL_CONFIG
printf '[default]\nserver = %s\nport = %s\n' "$OSTMAIL_HOST" "$OSTMAIL_SMTP_PORT" >"$W/plain"
printf '[default]\nserver = %s\npassword = x\n' "$OSTMAIL_HOST" >"$W/open" && chmod 644 "$W/open"
printf '[default]\nserver = %s\nport = %s\nuser = u\npassword-command = sleep 30\nread-timeout = 1\n' \
  "$OSTMAIL_HOST" "$OSTMAIL_SMTP_PORT" >"$W/hang"
sed 's/sleep 30/exit 3/' "$W/hang" >"$W/fails"
printf '[default]\nserver = %s\nport = %s\nstarttls = maybe\n' "$OSTMAIL_HOST" "$OSTMAIL_SMTP_PORT" >"$W/badval"
printf '[default]\nserver = 127.0.0.1\nport = %s\nconnect-timeout = 2\n' "$OSTMAIL_CLOSED_PORT" >"$W/down"
printf '[default]\nserver = no-such-host.invalid\n' >"$W/nohost"
long=$(head -c 1200 /dev/zero | tr '\0' x)
while IFS='|' read -r status conf args input want; do
  before=$(ls "$OSTMAIL_MAILDIR"/new | wc -l)
  printf "$input" | "$BIN" sendmail --config "$W/$conf" $args >"$W/out" 2>"$W/err"
  rc=$? after=$(ls "$OSTMAIL_MAILDIR"/new | wc -l)
  if [[ $rc == "$status" && $(wc -l <"$W/err") == 1 && $before == "$after" ]] && grep -q "$want" "$W/err"; then ok
  else bad "bad input ($args $conf): status $rc, stderr: $(cat "$W/err")"; fi
done <<TABLE
64|plain||Subject: x\n\nno one\n|no recipients
65|plain|-t|Subject: x\n\nno one\n|no recipients
65|plain|a@example.test|Subject x\n\nbody\n|no colon
65|plain|a@example.test|Subject: x\n\nnul \\0 here\n|NUL
65|plain|a@example.test|Subject: x\n\n$long\n|998
65|plain|a@example.test||no message
78|missing|a@example.test|Subject: x\n\nb\n|cannot read
78|plain|--account work a@example.test|Subject: x\n\nb\n|no section \[work\]
78|open|a@example.test|Subject: x\n\nb\n|open holds a password
78|badval|a@example.test|Subject: x\n\nb\n|badval:4: key 'starttls'
78|hang|a@example.test|Subject: x\n\nb\n|timed out
78|fails|a@example.test|Subject: x\n\nb\n|exited with status 3
64|plain|-q a@example.test|Subject: x\n\nb\n|unknown option
69|down|a@example.test|Subject: x\n\nb\n|not sent
68|nohost|a@example.test|Subject: x\n\nb\n|not sent
TABLE

echo "$passed passed, $failed failed, 0 skipped"
((failed == 0))
