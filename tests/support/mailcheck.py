#!/usr/bin/python3
"""Usage: mailcheck.py [--flat] FILE... Prints "file=FILE" and then the
message's KEY=VALUE lines for each file; MailCheck.h lists the keys."""
import codecs
import sys
from email import message_from_bytes, policy
from email.header import decode_header

# Python knows Thai Windows-874 only as "cp874"; mail user agents see the
# IANA label "windows-874".
codecs.register(lambda name: codecs.lookup("cp874") if name.replace("_", "-").lower() == "windows-874" else None)


def put(key, value):
    text = str(value).replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t")
    print(f"{key}={text}")


def strict(data, charset):
    """The bytes decoded by their label with no error tolerated, or "!" and why not."""
    try:
        return data.decode(charset or "ascii", "strict")
    except (LookupError, UnicodeError) as e:
        return "!" + type(e).__name__


def structure(part):
    """Content types of the tree: multipart/mixed(text/plain,image/png)."""
    if not part.is_multipart():
        return part.get_content_type()
    return part.get_content_type() + "(" + ",".join(structure(p) for p in part.iter_parts()) + ")"


def check(path):
    with open(path, "rb") as f:
        data = f.read()
    msg = message_from_bytes(data, policy=policy.default)
    raw_subject = message_from_bytes(data, policy=policy.compat32)["subject"] or ""
    words = [strict(b, c) if isinstance(b, bytes) else b for b, c in decode_header(raw_subject)]
    put("subject.strict", next((w for w in words if w.startswith("!")), "".join(words)))
    # Each field is parsed once: a long address list is slow to parse.
    fields = {n: msg.get_all(n) for n in dict.fromkeys(n.lower() for n in msg.keys())}
    put("header.names", " ".join(n.lower() for n in msg.keys()))
    for name, values in fields.items():
        put("header." + name, values[0])
    put("subject", fields.get("subject", [""])[0])
    for field in ("from", "to", "cc", "bcc"):
        addrs = [a for v in fields.get(field, []) for a in getattr(v, "addresses", ())]
        put(field + ".count", len(addrs))
        for i, a in enumerate(addrs):
            put(f"{field}.{i}.name", a.display_name)
            put(f"{field}.{i}.addr", a.addr_spec)
    for key, kind in (("body", "plain"), ("html", "html")):
        part = msg.get_body(preferencelist=(kind,))
        if part is None:
            continue
        put(key + ".charset", part.get_content_charset() or "")
        put(key + ".strict", strict(part.get_payload(decode=True) or b"", part.get_content_charset()))
        try:
            put(key, part.get_content())
        except (LookupError, UnicodeError):  # an unknown charset is the sender's fault: show it
            put(key, (part.get_payload(decode=True) or b"").decode("latin-1"))
    parts = [p for p in msg.walk() if not p.is_multipart()]
    put("structure", structure(msg))
    put("defects", " ".join(type(d).__name__ for p in msg.walk() for d in p.defects))
    atts = [p for p in parts if p.get_filename() or p.get_content_disposition() == "attachment"]
    put("attachment.count", len(atts))
    for i, p in enumerate(atts):
        data = p.get_payload(decode=True) or b""
        for key, value in (("filename", p.get_filename() or ""), ("content_type", p.get_content_type()),
                           ("content_id", p.get("content-id", "")),
                           ("size", len(data)), ("hex", data.hex())):
            put(f"attachment.{i}.{key}", value)


for arg in (a for a in sys.argv[1:] if a != "--flat"):
    put("file", arg)
    try:
        check(arg)
    except Exception as e:  # a parser crash is a finding about that message
        put("error", f"{type(e).__name__}: {e}")
