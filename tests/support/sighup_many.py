#!/usr/bin/env python3
"""Sends an exporter COUNT SIGHUPs, each after the one before has been taken:
its log (LOG) says "reloaded" once more. Exits 1 when a reload does not
show within 5 seconds.

Usage: sighup_many.py PID LOG COUNT
"""
import os
import signal
import sys
import time

pid, log, count = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])


def reloads():
    with open(log) as f:
        return f.read().count("reloaded")


done = reloads()
for _ in range(count):
    os.kill(pid, signal.SIGHUP)
    deadline = time.monotonic() + 5
    while reloads() == done and time.monotonic() < deadline:
        time.sleep(0.001)
    if reloads() == done:
        sys.exit(f"sighup_many: reload {done + 1} did not show within 5 s")
    done = reloads()
