#!/usr/bin/python3
"""Usage: parse_check.py DIR. Parses each DIR/NAME.eml with Python's email
package, compares it with DIR/NAME.json and prints "OK NAME" or
"FAIL NAME: reason"."""
import codecs
import json
import os
import sys
from email import policy
from email.parser import BytesParser

# Python knows Thai Windows-874 only as "cp874"; mail user agents see the
# IANA label "windows-874".
codecs.register(lambda name: codecs.lookup("cp874") if name.replace("_", "-").lower() == "windows-874" else None)


def short(value):
    text = repr(value)
    return text if len(text) <= 300 else text[:300] + "...(%d chars)" % len(text)


def check(raw, exp):
    msg = BytesParser(policy=policy.default).parsebytes(raw)
    problems = []

    def expect(what, got, want):
        if got != want:
            problems.append("%s: got %s, want %s" % (what, short(got), short(want)))

    if "header_names" in exp:
        head = raw.split(b"\r\n\r\n", 1)[0].split(b"\r\n")
        names = [line.split(b":", 1)[0].decode("ascii", "replace") for line in head if line[:1] not in (b" ", b"\t")]
        expect("header names", sorted(n.lower() for n in names), sorted(n.lower() for n in exp["header_names"]))
    if "subject" in exp:
        expect("subject", str(msg["subject"] or ""), exp["subject"])
    if "from_addr" in exp:
        addrs = msg["from"].addresses if msg["from"] else ()
        expect("from count", len(addrs), 1)
        if addrs:
            name = addrs[0].display_name
            if exp.get("from_name_spaces_ignored"):
                # Python keeps the folding white space between adjacent
                # encoded words of a display name as a space (RFC 2047
                # section 6.2 says to drop it), so a long folded name
                # comes back with spaces where it was folded.
                name = name.replace(" ", "")
            expect("from name", name, exp["from_name"])
            expect("from addr", addrs[0].addr_spec, exp["from_addr"])
    for field in ("to", "cc"):
        addrs = msg[field].addresses if msg[field] else []
        if field in exp:
            expect(field, [a.addr_spec for a in addrs], exp[field])
        if field + "_names" in exp:
            expect(field + " names", [a.display_name for a in addrs], exp[field + "_names"])
    for kind, field in (("plain", "body"), ("html", "html")):
        if field in exp:
            part = msg.get_body(preferencelist=(kind,))
            got = part.get_content().replace("\r\n", "\n") if part is not None else None
            expect(field, got, exp[field].replace("\r\n", "\n"))
    if "attachments" in exp:
        atts = list(msg.iter_attachments()) if msg.is_multipart() else []
        expect("attachment count", len(atts), len(exp["attachments"]))
        for got, want in zip(atts, exp["attachments"]):
            expect("filename", got.get_filename(), want["filename"])
            expect("content type", got.get_content_type(), want["content_type"])
            with open(want["path"], "rb") as f:
                data = f.read()
            payload = got.get_payload(decode=True) or b""
            if payload != data:
                problems.append("bytes of %s differ (%d vs %d bytes)" % (want["filename"], len(payload), len(data)))
    return problems


def main():
    folder = sys.argv[1]
    for base in sorted(name[:-5] for name in os.listdir(folder) if name.endswith(".json")):
        with open(os.path.join(folder, base + ".json"), encoding="utf-8") as f:
            exp = json.load(f)
        with open(os.path.join(folder, base + ".eml"), "rb") as f:
            raw = f.read()
        try:
            problems = check(raw, exp)
        except Exception as e:  # a parser crash is a finding, not a harness error
            problems = ["exception %s: %s" % (type(e).__name__, e)]
        print("FAIL %s: %s" % (base, "; ".join(problems)) if problems else "OK %s" % base)


if __name__ == "__main__":
    main()
