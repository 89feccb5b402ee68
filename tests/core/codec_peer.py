#!/usr/bin/env python3
"""Reference conversions from Python's codecs for the charset tests.

Each input line is "<op> <codec> <errors> <hex>"; each output line is the hex
of the result, or "!" when Python refuses. "enc" encodes UTF-8 text with the
codec; "dec" decodes bytes to UTF-8 ("dec16": to UTF-16LE).
"""
import sys

for line in sys.stdin:
    op, codec, errors, data = (line.split() + [""])[:4]
    try:
        raw = bytes.fromhex(data)
        if op == "enc":
            out = raw.decode("utf-8").encode(codec, errors)
        else:
            out = raw.decode(codec, errors).encode("utf-16-le" if op == "dec16" else "utf-8", "surrogatepass")
        print(out.hex())
    except (UnicodeError, LookupError):
        print("!")
