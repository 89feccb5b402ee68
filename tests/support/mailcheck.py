#!/usr/bin/python3
"""Parses one e-mail message with Python's email package (policy.default)
and prints what a test wants to check, as JSON or, with --flat, as
KEY=VALUE lines whose values escape backslash, CR, LF and TAB.

Usage: mailcheck.py [--flat] [FILE]   (FILE absent or "-": stdin)

Keys (flat form; the JSON has the same content nested):
  header.count, header.N.name, header.N.value (decoded), header.N.raw
  header.<lower-case name>       decoded value of the first such field
  subject, date, message_id, content_type, defects (space-separated)
  from|to|cc|bcc|reply_to|sender .count, .N.name, .N.addr
  body, body.content_type, body.charset, body.cte   (text/plain part)
  html, html.charset, html.cte                      (text/html part)
  part.count, part.N.content_type, .charset, .cte, .filename, .disposition,
             .size, .base64                         (every leaf part)
  attachment.count, attachment.N.* as for parts     (parts with a file name
                                                     or disposition attachment)
"""
import base64
import email
import json
import sys
from email import policy

ADDRESS_FIELDS = ["from", "to", "cc", "bcc", "reply-to", "sender"]


def addresses(msg, field):
    out = []
    for value in msg.get_all(field, []):
        for a in getattr(value, "addresses", ()):
            out.append({"name": a.display_name, "addr": a.addr_spec})
    return out


def leaf(part):
    payload = part.get_payload(decode=True) or b""
    return {
        "content_type": part.get_content_type(),
        "charset": part.get_content_charset() or "",
        "cte": str(part.get("Content-Transfer-Encoding", "")).strip().lower(),
        "filename": part.get_filename() or "",
        "disposition": part.get_content_disposition() or "",
        "size": len(payload),
        "base64": base64.b64encode(payload).decode("ascii"),
    }


def text_part(msg, kind):
    part = msg.get_body(preferencelist=(kind,))
    if part is None:
        return None
    try:
        text = part.get_content()
    except (LookupError, UnicodeError) as e:
        # An unknown charset is the sender's fault; show it, do not crash.
        text = (part.get_payload(decode=True) or b"").decode("latin-1")
        part.defects.append(type(e)())
    return {
        "text": text,
        "content_type": part.get_content_type(),
        "charset": part.get_content_charset() or "",
        "cte": str(part.get("Content-Transfer-Encoding", "")).strip().lower(),
    }


def analyse(raw):
    msg = email.message_from_bytes(raw, policy=policy.default)
    headers = [{"name": n, "value": "", "raw": v} for n, v in msg.raw_items()]
    # Decode each occurrence on its own, in order (msg[name] gives the first).
    decoded = {}
    for h in headers:
        values = msg.get_all(h["name"], [])
        i = decoded.get(h["name"].lower(), 0)
        h["value"] = str(values[i]) if i < len(values) else ""
        decoded[h["name"].lower()] = i + 1
    parts = [leaf(p) for p in msg.walk() if not p.is_multipart()]
    attachments = [p for p in parts if p["filename"] or p["disposition"] == "attachment"]
    defects = []
    for p in msg.walk():
        defects += [type(d).__name__ for d in p.defects]
    result = {
        "headers": headers,
        "subject": str(msg.get("subject", "")),
        "date": str(msg.get("date", "")),
        "message_id": str(msg.get("message-id", "")),
        "content_type": msg.get_content_type(),
        "defects": defects,
        "parts": parts,
        "attachments": attachments,
        "body": text_part(msg, "plain"),
        "html": text_part(msg, "html"),
    }
    for f in ADDRESS_FIELDS:
        result[f.replace("-", "_")] = addresses(msg, f)
    return result


def escape(v):
    return str(v).replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t")


def flatten(r):
    out = []

    def put(k, v):
        out.append(f"{k}={escape(v)}")

    put("header.count", len(r["headers"]))
    seen = set()
    for i, h in enumerate(r["headers"]):
        for k in ("name", "value", "raw"):
            put(f"header.{i}.{k}", h[k])
        if h["name"].lower() not in seen:
            seen.add(h["name"].lower())
            put(f"header.{h['name'].lower()}", h["value"])
    for k in ("subject", "date", "message_id", "content_type"):
        put(k, r[k])
    put("defects", " ".join(r["defects"]))
    for f in ADDRESS_FIELDS:
        key = f.replace("-", "_")
        put(f"{key}.count", len(r[key]))
        for i, a in enumerate(r[key]):
            put(f"{key}.{i}.name", a["name"])
            put(f"{key}.{i}.addr", a["addr"])
    for kind in ("body", "html"):
        t = r[kind]
        if t is not None:
            put(kind, t["text"])
            for k in ("content_type", "charset", "cte"):
                put(f"{kind}.{k}", t[k])
    for group, items in (("part", r["parts"]), ("attachment", r["attachments"])):
        put(f"{group}.count", len(items))
        for i, p in enumerate(items):
            for k, v in p.items():
                put(f"{group}.{i}.{k}", v)
    return "\n".join(out) + "\n"


def main():
    args = sys.argv[1:]
    flat = "--flat" in args
    args = [a for a in args if a != "--flat"]
    if args and args[0] != "-":
        with open(args[0], "rb") as f:
            raw = f.read()
    else:
        raw = sys.stdin.buffer.read()
    r = analyse(raw)
    sys.stdout.write(flatten(r) if flat else json.dumps(r, indent=1, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
