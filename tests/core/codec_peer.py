#!/usr/bin/env python3
"""Reference conversions from Python's codecs for the charset tests.

Each input line is "<op> <codec> <errors> <hex>"; each output line is the hex
of the result, or "!" when Python refuses. "enc" encodes UTF-8 text with the
codec; "dec" decodes bytes to UTF-8 ("dec16": to UTF-16LE). Error handlers
besides Python's: hexref (&#x...; upper-case), passunit (the UTF-16LE bytes),
alt-<codec> (the character in another codec), mark-<handler> (each piece
preceded by FD EF and its kind byte).
"""
import codecs
import sys


def hexref(err):
    return ("&#x%X;" % ord(err.object[err.start])).encode("ascii"), err.start + 1


def passunit(err):
    return err.object[err.start].encode("utf-16-le"), err.start + 1


def mark_passunit(err):
    units = passunit(err)[0]
    return b"".join(b"\xfd\xef\x02" + units[i:i + 2] for i in range(0, len(units), 2)), err.start + 1


def handler(name):
    """Registers the handlers whose names carry a parameter; returns the name."""
    if name.startswith("alt-"):
        codecs.register_error(name, lambda e: (e.object[e.start].encode(name[4:]), e.start + 1))
    elif name.startswith("mark-replace"):
        rep = name[len("mark-replace"):].encode("latin-1") or b"?"
        codecs.register_error(name, lambda e: (b"\xfd\xef" + bytes([len(rep)]) + rep, e.start + 1))
    return name


codecs.register_error("hexref", hexref)
codecs.register_error("passunit", passunit)
codecs.register_error("mark-hexref", lambda e: (b"\xfd\xef\x06" + hexref(e)[0], e.start + 1))
codecs.register_error("mark-passunit", mark_passunit)
for line in sys.stdin:
    op, codec, errors, data = (line.split() + [""])[:4]
    try:
        raw = bytes.fromhex(data)
        if op == "enc":
            out = raw.decode("utf-8").encode(codec, handler(errors))
        else:
            out = raw.decode(codec, handler(errors)).encode("utf-16-le" if op == "dec16" else "utf-8", "surrogatepass")
        print(out.hex())
    except (UnicodeError, LookupError):
        print("!")
