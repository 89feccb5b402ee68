#!/usr/bin/python3
"""Parses rendered messages with Python's email package and compares what it
recovers with what the C++ test put in.

Usage: parse_check.py DIR. DIR holds NAME.eml and NAME.json pairs; prints one
line per message, "OK NAME" or "FAIL NAME: reason", and exits 0."""
import codecs
import json
import os
import sys
from email import policy
from email.parser import BytesParser


def _windows_874(name):
    # Python knows Thai Windows-874 only as "cp874"; the IANA label is
    # "windows-874", which is what a mail user agent sees.
    if name.replace("_", "-").lower() == "windows-874":
        return codecs.lookup("cp874")
    return None


codecs.register(_windows_874)


def norm(text):
    return text.replace("\r\n", "\n")


def short(value):
    text = repr(value)
    return text if len(text) <= 300 else text[:300] + "...(%d chars)" % len(text)


def header_names(raw):
    head = raw.split(b"\r\n\r\n", 1)[0]
    names = []
    for line in head.split(b"\r\n"):
        if line[:1] in (b" ", b"\t"):
            continue
        names.append(line.split(b":", 1)[0].decode("ascii", "replace"))
    return names


def check(raw, exp):
    msg = BytesParser(policy=policy.default).parsebytes(raw)
    problems = []

    def expect(what, got, want):
        if got != want:
            problems.append("%s: got %s, want %s" % (what, short(got), short(want)))

    if "header_names" in exp:
        expect("header names", sorted(n.lower() for n in header_names(raw)),
               sorted(n.lower() for n in exp["header_names"]))
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
        if field in exp:
            got = [a.addr_spec for a in msg[field].addresses] if msg[field] else []
            expect(field, got, exp[field])
        if field + "_names" in exp:
            got = [a.display_name for a in msg[field].addresses] if msg[field] else []
            expect(field + " names", got, exp[field + "_names"])
    if "body" in exp:
        part = msg.get_body(preferencelist=("plain",))
        got = norm(part.get_content()) if part is not None else None
        expect("body", got, norm(exp["body"]))
    if "html" in exp:
        part = msg.get_body(preferencelist=("html",))
        got = norm(part.get_content()) if part is not None else None
        expect("html", got, norm(exp["html"]))
    if "attachments" in exp:
        atts = list(msg.iter_attachments()) if msg.is_multipart() else []
        expect("attachment count", len(atts), len(exp["attachments"]))
        for got, want in zip(atts, exp["attachments"]):
            expect("filename", got.get_filename(), want["filename"])
            expect("content type", got.get_content_type(), want["content_type"])
            with open(want["path"], "rb") as f:
                data = f.read()
            payload = got.get_payload(decode=True)
            if payload != data:
                problems.append("bytes of %s differ (%d vs %d bytes)" % (want["filename"], len(payload or b""), len(data)))
    return problems


def main():
    folder = sys.argv[1]
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".json"):
            continue
        base = name[:-5]
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            exp = json.load(f)
        with open(os.path.join(folder, base + ".eml"), "rb") as f:
            raw = f.read()
        try:
            problems = check(raw, exp)
        except Exception as e:  # a parser crash is a finding, not a harness error
            problems = ["exception %s: %s" % (type(e).__name__, e)]
        if problems:
            print("FAIL %s: %s" % (base, "; ".join(problems)))
        else:
            print("OK %s" % base)
    return 0


if __name__ == "__main__":
    sys.exit(main())
