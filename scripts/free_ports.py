"""Prints N distinct free TCP+UDP ports on 127.0.0.1, one per line.

All sockets stay bound until every port is chosen, so the ports differ;
a port is kept only when UDP is free on it too (dnsmasq needs both).
"""
import socket
import sys

count = int(sys.argv[1]) if len(sys.argv) > 1 else 1
held = []
ports = []
while len(ports) < count:
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    tcp.bind(("127.0.0.1", 0))
    port = tcp.getsockname()[1]
    held.append(tcp)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        udp.bind(("127.0.0.1", port))
    except OSError:
        udp.close()
        continue
    held.append(udp)
    if port >= 10000:
        ports.append(port)
for s in held:
    s.close()
print("\n".join(str(p) for p in ports))
