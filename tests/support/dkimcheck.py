"""dkimcheck.py MESSAGE-FILE DNS-PORT: dkimpy (python3-dkim) verifies each
DKIM-Signature, the keys from the test dnsmasq through its DNS hook. One
line per signature, top first: "pass|fail d=D s=S a=A c=C"."""
import sys

import dkim
import dns.resolver

resolver = dns.resolver.Resolver(configure=False)
resolver.nameservers = ["127.0.0.1"]
resolver.port = int(sys.argv[2])


def txt(name, timeout=5):
    try:
        answer = resolver.resolve(name.decode().rstrip("."), "TXT", lifetime=timeout)
    except Exception:
        return b""
    return b"".join(answer[0].strings)


message = open(sys.argv[1], "rb").read()
headers, _ = dkim.rfc822_parse(message)
signatures = [v for (k, v) in headers if k.lower() == b"dkim-signature"]
ok = bool(signatures)
for i, value in enumerate(signatures):
    tags = dkim.util.parse_tag_value(b"".join(value.split()))
    try:
        verdict = dkim.DKIM(message).verify(idx=i, dnsfunc=txt)
    except dkim.DKIMException as e:  # a body hash mismatch is raised, not returned
        print("  (%s)" % e)
        verdict = False
    ok = ok and verdict
    print("%s d=%s s=%s a=%s c=%s" % ("pass" if verdict else "fail", tags[b"d"].decode(), tags[b"s"].decode(),
                                       tags[b"a"].decode(), tags.get(b"c", b"simple/simple").decode()))
sys.exit(0 if ok else 1)
