#!/usr/bin/env python3
"""Reference conversions from Python's codecs for the charset tests.

Each input line is "<op> <codec> <errors> <hex>"; each output line is the
hex of the result, or "!" when Python refuses. op "enc" takes UTF-8 text and
encodes it with the codec; op "dec" decodes bytes with the codec and writes
UTF-8 ("dec16": UTF-16LE). Besides Python's own error handlers, these are known:
  hexref     &#x...; with upper-case hex digits
  passunit   the UTF-16LE bytes of the character
  alt-<cs>   the character in another codec
  mark-<h>   handler h, each piece preceded by FD EF and its kind byte
"""
import codecs
import sys


def _hexref(err):
    ch = err.object[err.start]
    return ("&#x%X;" % ord(ch)).encode("ascii"), err.start + 1


def _passunit(err):
    return err.object[err.start].encode("utf-16-le"), err.start + 1


def _marked(kind_of, inner):
    def handler(err):
        piece, nxt = inner(err)
        return b"\xfd\xef" + bytes([kind_of(piece)]) + piece, nxt
    return handler


def _unit_marked(err):
    data = err.object[err.start].encode("utf-16-le")
    out = b"".join(b"\xfd\xef\x02" + data[i:i + 2] for i in range(0, len(data), 2))
    return out, err.start + 1


def _register():
    codecs.register_error("hexref", _hexref)
    codecs.register_error("passunit", _passunit)
    codecs.register_error("mark-hexref", _marked(lambda p: 6, _hexref))
    codecs.register_error("mark-passunit", _unit_marked)


def _handler(name):
    if name.startswith("alt-"):
        cs = name[4:]
        hname = "alt-" + cs
        codecs.register_error(hname, lambda e: (e.object[e.start].encode(cs), e.start + 1))
        return hname
    if name.startswith("mark-replace"):
        rep = name[len("mark-replace"):].encode("latin-1") or b"?"
        hname = name
        codecs.register_error(hname, lambda e: (b"\xfd\xef" + bytes([len(rep)]) + rep, e.start + 1))
        return hname
    return name


def main():
    _register()
    for line in sys.stdin:
        parts = line.split()
        if len(parts) == 3:
            parts.append("")
        op, codec, errors, data = parts
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
