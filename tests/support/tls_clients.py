#!/usr/bin/env python3
"""TLS clients for the exporter's handshake tests and benchmarks.

  tls_clients.py handshakes SOURCE PORT COUNT [CERT KEY]
      COUNT full TLS handshakes from SOURCE, one after another, each sending
      a request for /-/healthy (with a client certificate when given);
      prints "answered A refused R", refused being those closed before a
      200 came.
  tls_clients.py resumed SOURCE PORT CERT KEY [PID LOG]
      a handshake with a client certificate, a request, then a second
      connection offering the first one's session and a request on it;
      prints "resumed yes|no status CODE" for the second. With PID, the
      exporter is sent SIGHUP between the two, and LOG watched until it
      says "reloaded" once more.
  tls_clients.py flood SOURCE PORT SECONDS THREADS
      for SECONDS, THREADS threads each send a recorded ClientHello (P-256
      alone) on a new connection, wait for the server's first bytes and close, so the
      server does the handshake's cryptography and the client none; prints
      "sent N".
  tls_clients.py stall-write SOURCE PORT COUNT SECONDS
      COUNT connections from SOURCE with a small receive buffer each send a
      whole ClientHello and read nothing of the server's answer; prints
      "stalled N" once they are sent and keeps them for SECONDS.
Every loop is bounded in count and time.
"""
import os
import signal
import socket
import ssl
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from raw_http import client_hello, connect  # noqa: E402


def context(cert=None, key=None):
    c = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    c.check_hostname = False
    c.verify_mode = ssl.CERT_NONE
    if cert:
        c.load_cert_chain(cert, key)
    return c


def request(tls):
    """The status of a GET /-/healthy on tls, or 0 when none came."""
    tls.sendall(b"GET /-/healthy HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    reply = b""
    while True:
        chunk = tls.recv(4096)
        if not chunk:
            break
        reply += chunk
    return int(reply.split(b" ", 2)[1]) if reply.startswith(b"HTTP/") else 0


def handshakes(source, port, count, cert, key):
    c = context(cert, key)
    answered = refused = 0
    for _ in range(count):
        raw = connect(source, port)
        try:
            with c.wrap_socket(raw) as tls:
                ok = request(tls) == 200
        except (OSError, ssl.SSLError, ValueError):
            ok = False
        answered += ok
        refused += not ok
        raw.close()
    print("answered", answered, "refused", refused)


def reload(pid, log):
    def count():
        with open(log) as f:
            return f.read().count("reloaded")
    before = count()
    os.kill(pid, signal.SIGHUP)
    end = time.monotonic() + 10
    while count() == before:
        if time.monotonic() > end:
            sys.exit("no reload after SIGHUP")
        time.sleep(0.05)


def resumed(source, port, cert, key, pid, log):
    c = context(cert, key)
    with c.wrap_socket(connect(source, port)) as first:
        request(first)  # the ticket comes after the handshake
        session = first.session
    if pid:
        reload(pid, log)
    with c.wrap_socket(connect(source, port), session=session) as second:
        status = request(second)
        print("resumed", "yes" if second.session_reused else "no", "status", status)


def flood(source, port, seconds, threads):
    # P-256 alone: every server takes its key share at once, with no
    # HelloRetryRequest, which would cost it nothing.
    hello = client_hello("prime256v1")
    end = time.monotonic() + seconds
    sent = [0] * threads

    def one(i):
        while time.monotonic() < end:
            try:
                s = connect(source, port, timeout=2)
                s.sendall(hello)
                s.recv(1)
                sent[i] += 1
                s.close()
            except OSError:
                pass

    workers = [threading.Thread(target=one, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    print("sent", sum(sent))


def stall_write(source, port, count, seconds):
    hello = client_hello()
    held = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        # Set before the connection, so the window the server sees is small.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        s.sendall(hello)
        held.append(s)
    print("stalled", len(held), flush=True)
    time.sleep(seconds)


def main(argv):
    what, source, port = argv[1], argv[2], int(argv[3])
    if what == "handshakes":
        handshakes(source, port, int(argv[4]), *(argv[5:7] or [None, None]))
    elif what == "resumed":
        resumed(source, port, argv[4], argv[5], int(argv[6]) if argv[6:] else 0, argv[7] if argv[7:] else None)
    elif what == "flood":
        flood(source, port, float(argv[4]), int(argv[5]))
    elif what == "stall-write":
        stall_write(source, port, int(argv[4]), float(argv[5]))
    else:
        print(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
