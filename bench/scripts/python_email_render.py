#!/usr/bin/python3
"""Builds the benchmark message with Python's email package and serialises
it with as_bytes(); prints seconds and peak RSS as JSON.

Usage: python_email_render.py ATTACHMENT BODYFILE"""
import json
import resource
import sys
import time
from email import policy
from email.message import EmailMessage


def main():
    attachment, body_file = sys.argv[1], sys.argv[2]
    start = time.perf_counter()
    with open(body_file, encoding="utf-8") as f:
        body = f.read()
    msg = EmailMessage(policy=policy.SMTP)
    msg["Subject"] = "Weekly status report"
    msg["From"] = '"Report Server" <reports@example.com>'
    msg["To"] = "boss@example.com"
    msg.set_content(body, cte="quoted-printable")
    with open(attachment, "rb") as f:
        data = f.read()
    msg.add_attachment(data, maintype="application", subtype="octet-stream", filename="payload.bin")
    out = msg.as_bytes()
    seconds = time.perf_counter() - start
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "peak_rss_mib": peak_kib / 1024.0, "bytes": len(out)}))


if __name__ == "__main__":
    main()
