#!/usr/bin/env python3
"""Hostile clients for the exporter's network tests, over raw sockets.

  raw_http.py hold SOURCE PORT COUNT SECONDS [tls]
      opens up to COUNT idle connections from SOURCE (with tls, each past a
      TLS handshake without a client certificate), prints "held N" once
      they are open, and keeps them for SECONDS.
  raw_http.py trickle SOURCE PORT COUNT GAP LIMIT
      COUNT connections from SOURCE each send a request's headers one byte
      every GAP seconds; prints the longest time the server kept one open,
      and fails when one outlived LIMIT seconds.
  raw_http.py tls-without-cert SOURCE PORT COUNT LIMIT
      COUNT TLS handshakes without a client certificate; fails when the
      server answered a request on any, or kept one open beyond LIMIT.
  raw_http.py stall-tls SOURCE PORT COUNT SECONDS partial|full
      COUNT TLS handshakes from SOURCE that stop halfway: after the first
      10 bytes of a ClientHello, or after all of it; prints "stalled N"
      once they are sent and keeps them for SECONDS.
  raw_http.py slow-read SOURCE PORT COUNT SECONDS [gzip]
      COUNT connections from SOURCE, each with a 4 KiB receive buffer, ask
      for /metrics and read nothing of it; prints "asked N" once each
      response has begun, and keeps them for SECONDS.
  raw_http.py busy SOURCE PORT HOSTS COUNT GAP SECONDS
      from HOSTS addresses counted up from SOURCE (IPv4, or IPv6 to ::1),
      COUNT connections each,
      every one asking for /-/healthy every GAP seconds and opened again
      when closed; prints "busy N" once they are open, and keeps them for
      SECONDS.
  raw_http.py strict SOURCE PORT
      sends each request that RFC 9112 has a server refuse, and a few it
      must serve; fails unless each gets exactly one response, with its
      expected status.
  raw_http.py malformed SOURCE PORT LIMIT
      sends each malformed request; fails unless each gets a 4xx or a close
      within LIMIT seconds.
Every loop is bounded in count and time.
"""
import concurrent.futures
import ipaddress
import resource
import socket
import ssl
import sys
import time


def connect(source, port, timeout=5):
    """A connection from source to the exporter on loopback: 127.0.0.1, or
    ::1 from an IPv6 source."""
    v6 = ":" in source
    s = socket.socket(socket.AF_INET6 if v6 else socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("::1" if v6 else "127.0.0.1", port))
    return s


def hold(source, port, count, seconds, tls):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE

    def one(_):
        try:
            s = connect(source, port, timeout=5 if tls else 1)
            return context.wrap_socket(s) if tls else s
        except (OSError, ssl.SSLError):
            return None

    # Handshakes in parallel, so that the first are not idle for long
    # before the last are done.
    with concurrent.futures.ThreadPoolExecutor(16 if tls else 1) as pool:
        held = [s for s in pool.map(one, range(count)) if s is not None]
    print("held", len(held), flush=True)
    time.sleep(seconds)


def wait_closed(s, limit, start):
    """Seconds from start until the server closed s (reads end of file or an
    error), None when it stayed open past limit."""
    s.settimeout(0.1)
    while time.monotonic() - start < limit:
        try:
            if s.recv(65536) == b"":
                return time.monotonic() - start
        except socket.timeout:
            continue
        except OSError:
            return time.monotonic() - start
    return None


def trickle(source, port, count, gap, limit):
    request = b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 1000
    conns = [(connect(source, port), time.monotonic()) for _ in range(count)]
    open_for = {}
    sent = 0
    deadline = time.monotonic() + limit + 2
    while conns and time.monotonic() < deadline:
        still = []
        for s, start in conns:
            try:
                s.send(request[sent:sent + 1])
                s.settimeout(0)
                if s.recv(1) == b"":
                    raise ConnectionError
                still.append((s, start))
            except BlockingIOError:
                still.append((s, start))
            except OSError:
                open_for[s] = time.monotonic() - start
        conns = still
        sent += 1
        time.sleep(gap)
    longest = max(open_for.values(), default=0)
    print("longest open %.1f s, %d still open" % (longest, len(conns)))
    return not conns and longest <= limit


def tls_without_cert(source, port, count, limit):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    worst = 0.0
    for _ in range(count):
        raw = connect(source, port)
        start = time.monotonic()
        try:
            s = context.wrap_socket(raw)
            s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
            s.settimeout(limit)
            if s.recv(65536):
                print("FAIL: answered without a certificate")
                return False
        except (OSError, ssl.SSLError):
            pass
        took = time.monotonic() - start
        worst = max(worst, took)
        raw.close()
    print("worst %.2f s to be shut out" % worst)
    return worst <= limit


def client_hello(curve=None):
    """A ClientHello as Python's TLS client would send it; with curve, one
    offering that group alone."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    if curve:
        context.set_ecdh_curve(curve)
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing)
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def stall_tls(source, port, count, seconds, how):
    hello = client_hello()
    data = hello[:10] if how == "partial" else hello
    held = []
    for _ in range(count):
        s = connect(source, port)
        s.sendall(data)
        held.append(s)
    print("stalled", len(held), flush=True)
    time.sleep(seconds)


def slow_read(source, port, count, seconds, gzip):
    request = b"GET /metrics HTTP/1.1\r\nHost: x\r\n"
    if gzip:
        request += b"Accept-Encoding: gzip\r\n"
    held = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.settimeout(5)
        s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        s.sendall(request + b"\r\n")
        held.append(s)
    for s in held:
        s.settimeout(30)
        s.recv(1, socket.MSG_PEEK)
    print("asked", len(held), flush=True)
    time.sleep(seconds)


def busy(source, port, hosts, count, gap, seconds):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    first = ipaddress.ip_address(source)
    sources = [str(first + i) for i in range(hosts) for _ in range(count)]

    def one(address):
        try:
            return connect(address, port, timeout=1)
        except OSError:
            return None

    held = [one(a) for a in sources]
    print("busy", sum(s is not None for s in held), flush=True)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for i, s in enumerate(held):
            try:
                if s is None:
                    raise OSError
                s.sendall(b"GET /-/healthy HTTP/1.1\r\nHost: x\r\n\r\n")
                if not s.recv(4096):
                    raise OSError
            except OSError:
                if s is not None:
                    s.close()
                held[i] = one(sources[i])
        time.sleep(gap)


def malformed_requests():
    get = b"GET /metrics HTTP/1.1\r\nHost: x\r\n"
    return [
        ("1 MiB header", get + b"X-Big: " + b"a" * (1 << 20) + b"\r\n\r\n"),
        ("10,000 headers", get + b"".join(b"X-H%d: v\r\n" % i for i in range(10000)) + b"\r\n"),
        ("256 KiB URL", b"GET /" + b"a" * (256 << 10) + b" HTTP/1.1\r\nHost: x\r\n\r\n"),
        ("raw NUL in the path", b"GET /metrics\0junk HTTP/1.1\r\nHost: x\r\n\r\n"),
        ("%00 in the path", b"GET /metrics%00 HTTP/1.1\r\nHost: x\r\n\r\n"),
        ("unknown method", b"BREW /metrics HTTP/1.1\r\nHost: x\r\n\r\n"),
        ("HTTP/2 preface", b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"),
        ("binary junk", bytes(range(256)) * 16),
        ("Content-Length and Transfer-Encoding",
         get + b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"),
        ("a body on GET", get + b"Content-Length: 10\r\n\r\n0123456789"),
    ]


def strict_requests():
    get = b"GET /-/healthy HTTP/1.1\r\nHost: x\r\n"
    return [
        ("a plain request", get + b"\r\n", [b"200"]),
        ("space before the colon", get + b"Content-Length : 5\r\n\r\nGET /", [b"400"]),
        ("bare CR in a value", get + b"X-A: a\rb\r\n\r\n", [b"400"]),
        ("control byte in a name", get + b"X\x01A: v\r\n\r\n", [b"400"]),
        ("HTTP/1.1 without Host", b"GET /-/healthy HTTP/1.1\r\n\r\n", [b"400"]),
        ("two Host headers", get + b"Host: y\r\n\r\n", [b"400"]),
        ("two Content-Length headers", get + b"Content-Length: 0\r\nContent-Length: 0\r\n\r\n",
         [b"400"]),
        ("1,400 collect[]", b"GET /metrics?" + b"&".join([b"collect[]=sessions"] * 1400) +
         b" HTTP/1.1\r\nHost: x\r\n\r\n", [b"414", b"431"]),
        ("8,000 &", b"GET /metrics?" + b"&" * 8000 + b" HTTP/1.1\r\nHost: x\r\n\r\n",
         [b"414", b"431"]),
        ("absolute-form target", b"GET http://x/-/healthy HTTP/1.1\r\nHost: x\r\n\r\n",
         [b"200"]),
        ("HTTP/1.0 without Host", b"GET /-/healthy HTTP/1.0\r\n\r\n", [b"200"]),
        ("line folded with a space", get + b"X-A: a\r\n b\r\n\r\n", [b"400"]),
        ("line folded with a tab", get + b"X-A:\r\n\tb\r\n\r\n", [b"400"]),
    ]


def strict(source, port):
    ok = True
    for name, data, wanted in strict_requests():
        s = connect(source, port)
        s.sendall(data)
        # Whatever comes back within a second: one response, or the pair a
        # server that misreads the framing sends.
        s.settimeout(0.2)
        reply = b""
        deadline = time.monotonic() + 1
        while time.monotonic() < deadline:
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
            if not chunk:
                break
            reply += chunk
        s.close()
        statuses = [line.split(b" ")[1] for line in reply.split(b"\r\n")
                    if line.startswith(b"HTTP/1.") and len(line.split(b" ")) > 1]
        good = len(statuses) == 1 and statuses[0] in wanted
        print("%-30s %-12s want %s%s" % (name, b",".join(statuses).decode() or "nothing",
                                         b"/".join(wanted).decode(), "" if good else "  <- FAIL"))
        ok = ok and good
    return ok


def malformed(source, port, limit):
    ok = True
    for name, data in malformed_requests():
        s = connect(source, port)
        start = time.monotonic()
        try:
            s.sendall(data)
        except OSError:
            pass  # closed while sending: a close is an answer
        s.settimeout(limit)
        reply = b""
        try:
            while b"\r\n" not in reply:
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
        except OSError:
            pass
        took = time.monotonic() - start
        status = reply.split(b" ", 2)[1] if reply.startswith(b"HTTP/") else b""
        verdict = "closed" if not reply else status.decode(errors="replace")
        # 505 is the status for a protocol version the server does not speak.
        good = took <= limit and (not reply or status.startswith(b"4") or
                                  (name == "HTTP/2 preface" and status == b"505"))
        print("%-40s %s in %.2f s%s" % (name, verdict, took, "" if good else "  <- FAIL"))
        ok = ok and good
        s.close()
    return ok


def main(argv):
    what, source, port = argv[1], argv[2], int(argv[3])
    if what == "hold":
        hold(source, port, int(argv[4]), float(argv[5]), argv[6:] == ["tls"])
        return 0
    if what == "trickle":
        return 0 if trickle(source, port, int(argv[4]), float(argv[5]), float(argv[6])) else 1
    if what == "tls-without-cert":
        return 0 if tls_without_cert(source, port, int(argv[4]), float(argv[5])) else 1
    if what == "stall-tls":
        stall_tls(source, port, int(argv[4]), float(argv[5]), argv[6])
        return 0
    if what == "slow-read":
        slow_read(source, port, int(argv[4]), float(argv[5]), argv[6:] == ["gzip"])
        return 0
    if what == "busy":
        busy(source, port, int(argv[4]), int(argv[5]), float(argv[6]), float(argv[7]))
        return 0
    if what == "strict":
        return 0 if strict(source, port) else 1
    if what == "malformed":
        return 0 if malformed(source, port, float(argv[4])) else 1
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
