#!/usr/bin/env python3
"""sanperf_exporter's basic-auth logins under attack, on loopback.

  1. What a wrong login costs, by user: median server time over 50 tries
     each for a known user at cost 10, a known user at cost 4 and an unknown
     user, interleaved. Each try is one request on a new connection from its
     own address in 127.0.1.0/24, so the limit on failed logins per address
     never answers instead of bcrypt; the time is from the request sent to
     the response's first byte.
  2. An honest client on 127.0.0.1 scraping a 200/200 tree with a cached
     login, one keep-alive connection, while 16 clients on 127.0.0.2 send
     (a) no credentials, (b) wrong passwords, as fast as they are answered:
     median and p95 of the honest scrape, and the p95 ratio (b)/(a). Then,
     under (b), first logins of users never seen before (not cached).

Usage (as root, for the tree's mount namespace):
  exporter_login_bench.py EXPORTER SANPERF_SIM [SCRAPES]
"""

import base64
import http.client
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from exporter_bench import Exporter  # noqa: E402

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt  # bcrypt hashes at any cost; --hash-password makes cost 10 only


def die(message):
    sys.exit("exporter_login_bench: " + message)


def bcrypt(cost, password):
    return crypt.crypt(password, crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=2 ** cost))


def auth(user, password):
    return {"Authorization": "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()}


def get(conn, headers):
    conn.request("GET", "/metrics", headers=headers)
    response = conn.getresponse()
    response.read()
    return response.status


def timed(conn, headers):
    """Seconds from the request sent to the first byte of its response, and
    the status."""
    conn.connect()
    start = time.monotonic()
    conn.request("GET", "/metrics", headers=headers)
    response = conn.getresponse()
    took = time.monotonic() - start
    response.read()
    return took, response.status


def p95(values):
    return sorted(values)[int(0.95 * (len(values) - 1))]


def wrong_login_costs(binary, work):
    path = os.path.join(work, "costs.yml")
    with open(path, "w") as f:
        f.write(f"basic_auth_users:\n  slow: '{bcrypt(10, 'right')}'\n  fast: '{bcrypt(4, 'right')}'\n")
    exporter = Exporter(binary, None, ["--web.config.file=" + path, "--no-collector.disk-queues",
                                       "--no-collector.sessions", "--no-collector.sockets"])
    kinds = {"known user, cost 10": "slow", "known user, cost 4": "fast", "unknown user": "nobody"}
    times = {kind: [] for kind in kinds}
    address = 0
    for _ in range(50):
        for kind, user in kinds.items():
            address = address % 250 + 1
            conn = exporter.connection(f"127.0.1.{address}")
            took, status = timed(conn, auth(user, "wrong"))
            conn.close()
            if status != 401:
                die(f"{kind}: answered {status}")
            times[kind].append(took)
    exporter.stop()
    print("1. a wrong password, median server time of 50 tries:")
    for kind, values in times.items():
        print(f"   {kind:22} {statistics.median(values) * 1000:7.2f} ms")


def flood(exporter, clients, headers, stop, answers):
    def client():
        conn = exporter.connection("127.0.0.2")
        for _ in range(100000):
            if stop.is_set():
                return
            try:
                status = get(conn, headers)
            except (OSError, http.client.HTTPException):
                conn.close()
                conn = exporter.connection("127.0.0.2")
                status = "error"
            answers[status] = answers.get(status, 0) + 1

    threads = [threading.Thread(target=client) for _ in range(clients)]
    for t in threads:
        t.start()
    return threads


def honest_scrapes(exporter, headers, count):
    conn = exporter.connection()
    get(conn, headers)  # logs in: later ones are cached
    times = []
    for _ in range(count):
        start = time.monotonic()
        status = get(conn, headers)
        times.append(time.monotonic() - start)
        if status != 200:
            die(f"an honest scrape answered {status}")
    return times


def under_flood(binary, sim, work, scrapes):
    tree = os.path.join(work, "tree")
    subprocess.run([sim, tree, "--once", "--sessions", "200", "--sockets", "200"], check=True)
    path = os.path.join(work, "users.yml")
    right = bcrypt(10, "right")
    with open(path, "w") as f:
        f.write("basic_auth_users:\n  honest: '" + right + "'\n  victim: '" + right + "'\n")
        for i in range(5):
            f.write(f"  new{i}: '{right}'\n")
    exporter = Exporter(binary, tree, ["--web.config.file=" + path])
    honest = auth("honest", "right")
    results = {}
    alone = honest_scrapes(exporter, honest, scrapes)
    for name, headers in (("(a) no credentials", {}), ("(b) wrong passwords", auth("victim", "wrong"))):
        stop, answers = threading.Event(), {}
        threads = flood(exporter, 16, headers, stop, answers)
        time.sleep(1)
        results[name] = honest_scrapes(exporter, honest, scrapes)
        if name.startswith("(b)"):
            firsts = []
            for i in range(5):
                conn = exporter.connection()
                start = time.monotonic()
                status = get(conn, auth(f"new{i}", "right"))
                firsts.append((time.monotonic() - start, status))
                conn.close()
        stop.set()
        for t in threads:
            t.join()
        results[name + " answers"] = answers
    exporter.stop()
    print(f"2. honest scrapes of a 200/200 tree with a cached login ({scrapes} each):")
    print(f"   alone:               median {statistics.median(alone) * 1000:6.1f} ms, "
          f"p95 {p95(alone) * 1000:6.1f} ms")
    for name in ("(a) no credentials", "(b) wrong passwords"):
        values = results[name]
        print(f"   {name + ':':20} median {statistics.median(values) * 1000:6.1f} ms, "
              f"p95 {p95(values) * 1000:6.1f} ms; flood answered {results[name + ' answers']}")
    ratio = p95(results["(b) wrong passwords"]) / p95(results["(a) no credentials"])
    print(f"   p95 (b)/(a): {ratio:.2f} (target <= 1.5)")
    print("   first logins under (b): " +
          ", ".join(f"{status} in {took * 1000:.0f} ms" for took, status in firsts) +
          " (target: 200 within 1 s)")


def main():
    if len(sys.argv) < 3:
        die("usage: exporter_login_bench.py EXPORTER SANPERF_SIM [SCRAPES]")
    binary, sim = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2])
    scrapes = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    with tempfile.TemporaryDirectory() as work:
        wrong_login_costs(binary, work)
        under_flood(binary, sim, work, scrapes)


if __name__ == "__main__":
    main()
