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


def _hexref(err):
    return ("&#x%X;" % ord(err.object[err.start])).encode("ascii"), err.start + 1


def _passunit(err):
    return err.object[err.start].encode("utf-16-le"), err.start + 1


def _mark_hexref(err):
    piece, nxt = _hexref(err)
    return b"\xfd\xef\x06" + piece, nxt


def _mark_passunit(err):
    data, nxt = _passunit(err)
    return b"".join(b"\xfd\xef\x02" + data[i:i + 2] for i in range(0, len(data), 2)), nxt


def _handler(name):
    """Registers the handlers whose names carry a parameter; returns the name."""
    if name.startswith("alt-"):
        codecs.register_error(name, lambda e: (e.object[e.start].encode(name[4:]), e.start + 1))
    elif name.startswith("mark-replace"):
        rep = name[len("mark-replace"):].encode("latin-1") or b"?"
        codecs.register_error(name, lambda e: (b"\xfd\xef" + bytes([len(rep)]) + rep, e.start + 1))
    return name


def main():
    for name, fn in (("hexref", _hexref), ("passunit", _passunit), ("mark-hexref", _mark_hexref),
                     ("mark-passunit", _mark_passunit)):
        codecs.register_error(name, fn)
    for line in sys.stdin:
        op, codec, errors, data = (line.split() + [""])[:4]
        try:
            raw = bytes.fromhex(data)
            if op == "enc":
                out = raw.decode("utf-8").encode(codec, _handler(errors))
            else:
                target = "utf-16-le" if op == "dec16" else "utf-8"
                out = raw.decode(codec, _handler(errors)).encode(target, "surrogatepass")
            print(out.hex())
        except (UnicodeError, LookupError):
            print("!")


if __name__ == "__main__":
    main()
