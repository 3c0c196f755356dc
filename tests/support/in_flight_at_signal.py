#!/usr/bin/env python3
"""Requests truly in flight when a signal reaches the exporter.

  in_flight_at_signal.py PORT PID SIGNAL COUNT

Sends COUNT metric requests on connections of their own, waits until the
exporter has accepted every connection and read every request (the
kernel's queues for the port are empty), then sends SIGNAL to PID while
no answer has arrived, and reads each answer. Prints "in flight N" on
standard error and fails unless every request got a whole 200 and at least one of them was
still unanswered when the signal went; prints when the signal went (ns
since the epoch, as date +%s%N) on standard output. Bounded in time.
"""
import os
import select
import signal
import socket
import sys
import time


def queued(port):
    """Bytes or connections the kernel holds for the exporter's side of port."""
    total = 0
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            local_port = int(fields[1].split(":")[1], 16)
            if local_port == port:
                total += int(fields[4].split(":")[1], 16)  # rx_queue (accept queue when listening)
    return total


def main():
    port, pid, signame, count = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
    conns = []
    for i in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
        s.sendall(b"GET /metrics?client=%d HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n" % i)
        conns.append(s)
    deadline = time.monotonic() + 10
    while queued(port) > 0:
        if time.monotonic() > deadline:
            sys.exit("FAIL: the exporter never took the requests")
        time.sleep(0.001)
    unanswered = [s for s in conns if not select.select([s], [], [], 0)[0]]
    signalled = time.time_ns()
    os.kill(pid, getattr(signal, "SIG" + signame))
    for i, s in enumerate(conns):
        data = b""
        while True:
            chunk = s.recv(1 << 16)
            if not chunk:
                break
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 200 ") or b"\nsanperf_exporter_tree_reads_total " not in body:
            sys.exit("FAIL: request %d at SIG%s got %r" % (i, signame, data[:200]))
    print(signalled)
    print("in flight", len(unanswered), file=sys.stderr)
    if not unanswered:
        sys.exit("FAIL: every request was answered before SIG%s: none was in flight" % signame)


main()
