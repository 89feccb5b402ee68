#!/usr/bin/python3
"""Composes COUNT small messages with the email package and sends them
with smtplib over one connection; prints seconds and peak RSS as JSON.

Usage: python_smtp_many.py PORT COUNT"""
import json
import resource
import smtplib
import sys
import time
from email.message import EmailMessage
from email.utils import formatdate, make_msgid

BODY = ("Hello,\r\n\r\nThis is benchmark message number {n}. The nightly job finished "
        "without errors and the report is ready for review.\r\n\r\nRegards,\r\nThe bench\r\n")


def compose(n):
    msg = EmailMessage()
    msg["Subject"] = "Benchmark message %d" % n
    msg["From"] = '"Bench Sender" <sender@example.com>'
    msg["To"] = "rcpt@example.com"
    msg["Date"] = formatdate(localtime=True)
    msg["Message-ID"] = make_msgid(domain="example.com")
    msg.set_content(BODY.format(n=n))
    return msg


def main():
    port, count = int(sys.argv[1]), int(sys.argv[2])
    start = time.perf_counter()
    with smtplib.SMTP("127.0.0.1", port) as smtp:
        for n in range(count):
            smtp.send_message(compose(n))
    seconds = time.perf_counter() - start
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"seconds": seconds, "messages": count, "peak_rss_mib": peak_kib / 1024.0}))


if __name__ == "__main__":
    main()
