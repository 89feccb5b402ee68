#!/usr/bin/python3
"""One message to 1 and to 20 recipients over a slow link: a relay that
holds each chunk DELAY ms each way in front of a local SMTP sink that
offers PIPELINING. Times the ostmail program, Python's smtplib and curl
(neither of the last two pipelines); prints the best of RUNS per case and
the 20/1 ratio of each client.

Usage: rtt_recipients.py OSTMAIL [DELAY_MS] [RUNS]"""
import select
import smtplib
import socket
import subprocess
import sys
import threading
import time


def sink(listener):
    """Answers every command at once, in order, as a pipelining server does."""
    def session(conn):
        conn.sendall(b"220 sink\r\n")
        buf, in_data = b"", False
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                return
            buf += chunk
            while b"\r\n" in buf:
                line, buf = buf.split(b"\r\n", 1)
                if in_data:
                    if line == b".":
                        in_data = False
                        conn.sendall(b"250 queued\r\n")
                    continue
                verb = line[:4].upper()
                if verb == b"EHLO":
                    conn.sendall(b"250-sink\r\n250 PIPELINING\r\n")
                elif verb == b"DATA":
                    in_data = True
                    conn.sendall(b"354 go\r\n")
                elif verb == b"QUIT":
                    conn.sendall(b"221 bye\r\n")
                    return
                else:
                    conn.sendall(b"250 ok\r\n")
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=session, args=(conn,), daemon=True).start()


def relay(listener, target, delay):
    def pump(src, dst):
        held = []
        while True:
            wait = 0.05 if not held else max(0.0, held[0][0] - time.time())
            if select.select([src], [], [], wait)[0]:
                data = src.recv(65536)
                if not data:
                    break
                held.append((time.time() + delay, data))
            while held and held[0][0] <= time.time():
                dst.sendall(held.pop(0)[1])
        for _, data in held:
            dst.sendall(data)
        dst.shutdown(socket.SHUT_WR)
    while True:
        client, _ = listener.accept()
        server = socket.create_connection(("127.0.0.1", target))
        for s in (client, server):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=pump, args=(client, server), daemon=True).start()
        threading.Thread(target=pump, args=(server, client), daemon=True).start()


def listen(handler, *args):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(64)
    threading.Thread(target=handler, args=(s,) + args, daemon=True).start()
    return s.getsockname()[1]


def main():
    ostmail = sys.argv[1]
    delay = (int(sys.argv[2]) if len(sys.argv) > 2 else 25) / 1000.0
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    port = listen(relay, listen(sink), delay)
    message = b"Subject: rtt\r\n\r\nx\r\n"

    def with_ostmail(rcpts):
        args = [ostmail, "send", "--server", "127.0.0.1", "--port", str(port), "--from", "a@example.test",
                "--subject", "rtt", "--body", "x"]
        for r in rcpts:
            args += ["--to", r]
        subprocess.run(args, check=True, capture_output=True)

    def with_smtplib(rcpts):
        with smtplib.SMTP("127.0.0.1", port) as s:
            s.sendmail("a@example.test", rcpts, message)

    def with_curl(rcpts):
        args = ["curl", "-s", "smtp://127.0.0.1:%d" % port, "--mail-from", "a@example.test", "-T", "-"]
        for r in rcpts:
            args += ["--mail-rcpt", r]
        subprocess.run(args, input=message, check=True, capture_output=True)

    for name, send in (("ostmail", with_ostmail), ("smtplib", with_smtplib), ("curl", with_curl)):
        best = {}
        for n in (1, 20):
            rcpts = ["r%d@example.test" % i for i in range(n)]
            best[n] = min(timed(send, rcpts) for _ in range(runs))
        print("%-8s 1 rcpt %.3f s  20 rcpts %.3f s  ratio %.2f" % (name, best[1], best[20], best[20] / best[1]))


def timed(send, rcpts):
    start = time.time()
    send(rcpts)
    return time.time() - start


if __name__ == "__main__":
    main()
