#!/usr/bin/python3
"""Composes one message with a file attachment with the email package and
sends it with smtplib; prints seconds and peak RSS as JSON.

Usage: python_smtp_large.py PORT ATTACHMENT BODY"""
import json
import os
import resource
import smtplib
import sys
import time
from email.message import EmailMessage


def main():
    port, attachment, body = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    start = time.perf_counter()
    msg = EmailMessage()
    msg["Subject"] = "Large attachment"
    msg["From"] = '"Bench Sender" <sender@example.com>'
    msg["To"] = "rcpt@example.com"
    msg.set_content(body)
    with open(attachment, "rb") as f:
        data = f.read()
    msg.add_attachment(data, maintype="application", subtype="octet-stream",
                       filename=os.path.basename(attachment))
    with smtplib.SMTP("127.0.0.1", port) as smtp:
        smtp.send_message(msg)
    seconds = time.perf_counter() - start
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "peak_rss_mib": peak_kib / 1024.0}))


if __name__ == "__main__":
    main()
