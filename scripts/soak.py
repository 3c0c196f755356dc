#!/usr/bin/env python3
"""sanperf_exporter under a long steady load, recorded every second.

Usage: soak.py BUILD_DIR SECONDS OUT_DIR   (as root: --root mounts a tree)

The exporter serves a churning simulated tree over TLS with basic auth. For
SECONDS it takes a scrape a second from an honest client (127.0.0.1); from
an attacker (127.0.0.2) a flood of idle connections, wrong passwords, TLS
handshakes stalled after a part of a ClientHello, slow readers of whole
scrapes and scrapes that vary collect[] and Accept-Encoding to defeat read
sharing; and a SIGHUP every two seconds. Each second its RSS, descriptors, threads
and the last scrape's latency go to OUT_DIR/soak.csv, drawn at the end into
OUT_DIR/soak.png with gnuplot.

It fails when, after the warm-up (half the run, at most five minutes), RSS
or descriptors are not flat: the mean
RSS of the last quarter of the samples may exceed that of the first quarter
by at most 2 MiB, and the median descriptor count may move by at most 16;
or when more than 1% of the honest scrapes fail.
"""
import base64
import csv
import http.client
import os
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time

RSS_TOLERANCE_KIB = 2048
FD_TOLERANCE = 16
FLOOD_CONNECTIONS = 100       # idle connections the attacker keeps open
WRONG_PASSWORDS_PER_SECOND = 5
SIGHUP_EVERY = 2.0
STALLED_HANDSHAKES = 8        # connections held after 10 bytes of a ClientHello
SLOW_READERS = 4              # scrapes read at 40 KB/s through a 4 KiB buffer
CACHE_BUSTING_PER_SECOND = 5
# The first bytes of a TLS ClientHello: a handshake record's header and the
# start of its message.
PARTIAL_CLIENT_HELLO = bytes.fromhex("16030102000100010003")
COLLECTOR_SETS = ["", "?collect[]=sessions", "?collect[]=sockets", "?collect[]=disk-queues",
                  "?collect[]=sessions&collect[]=sockets"]


def warm_up(seconds):
    """Samples before this many seconds are not judged: half the run, at most
    five minutes (the 30-minute run's RSS settles within four, as malloc's
    per-thread arenas and the TLS and login state fill up)."""
    return min(300.0, seconds / 2)


class Load:
    def __init__(self, port, ca_file, pid):
        self.port = port
        self.pid = pid
        self.context = ssl.create_default_context(cafile=ca_file)
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.last_latency_ms = float("nan")
        self.scrapes = 0
        self.failed = 0
        self.statuses = {}  # of the honest scrapes
        self.wrong_passwords = 0
        self.flood_opened = 0
        self.sighups = 0
        self.stalled = 0
        self.slow_reads = 0
        self.busting = 0

    def request(self, source, password, path="/metrics", encoding=None):
        conn = http.client.HTTPSConnection("localhost", self.port, timeout=10,
                                           source_address=(source, 0), context=self.context)
        token = base64.b64encode(b"soak:" + password).decode()
        headers = {"Authorization": "Basic " + token}
        if encoding:
            headers["Accept-Encoding"] = encoding
        try:
            conn.request("GET", path, headers=headers)
            response = conn.getresponse()
            response.read()
            return response.status
        finally:
            conn.close()

    def scrape(self):
        next_start = time.monotonic()
        while not self.stop.wait(max(0.0, next_start - time.monotonic())):
            start = time.monotonic()
            next_start = start + 1.0
            try:
                status = self.request("127.0.0.1", b"soak password")
            except OSError as e:
                status = type(e).__name__
            ok = status == 200
            with self.lock:
                self.scrapes += 1
                self.failed += not ok
                self.statuses[status] = self.statuses.get(status, 0) + 1
                self.last_latency_ms = (time.monotonic() - start) * 1000 if ok else float("nan")

    def wrong_passwords_loop(self):
        while not self.stop.wait(1.0 / WRONG_PASSWORDS_PER_SECOND):
            try:
                self.request("127.0.0.2", b"wrong")
            except OSError:
                pass
            self.wrong_passwords += 1

    def flood(self):
        held = []
        while not self.stop.wait(0.5):
            # Connections the exporter closed (the header deadline) are
            # replaced, so that the number held stays level.
            held = [s for s in held if not closed_by_peer(s)]
            while len(held) < FLOOD_CONNECTIONS and not self.stop.is_set():
                s = socket.socket()
                s.bind(("127.0.0.2", 0))
                try:
                    s.connect(("127.0.0.1", self.port))
                except OSError:
                    s.close()
                    break
                held.append(s)
                self.flood_opened += 1
        for s in held:
            s.close()

    def stall_handshakes(self):
        """Connections that stop after a part of a ClientHello, each
        replaced once the header deadline has closed it."""
        held = []
        while not self.stop.wait(0.5):
            held = [s for s in held if not closed_by_peer(s)]
            while len(held) < STALLED_HANDSHAKES and not self.stop.is_set():
                s = socket.socket()
                s.bind(("127.0.0.2", 0))
                try:
                    s.connect(("127.0.0.1", self.port))
                    s.sendall(PARTIAL_CLIENT_HELLO)
                except OSError:
                    s.close()
                    break
                held.append(s)
                self.stalled += 1
        for s in held:
            s.close()

    def slow_reader(self):
        """Whole scrapes read at 40 KB/s through a 4 KiB receive buffer, one
        after another."""
        token = base64.b64encode(b"soak:soak password").decode()
        request = (f"GET /metrics HTTP/1.1\r\nHost: localhost\r\n"
                   f"Authorization: Basic {token}\r\nConnection: close\r\n\r\n").encode()
        while not self.stop.is_set():
            raw = socket.socket()
            raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            raw.bind(("127.0.0.2", 0))
            raw.settimeout(10)
            try:
                raw.connect(("127.0.0.1", self.port))
                s = self.context.wrap_socket(raw, server_hostname="localhost")
                s.sendall(request)
                while not self.stop.wait(0.1) and s.recv(4096):
                    pass
                self.slow_reads += 1
            except (OSError, ssl.SSLError):
                self.stop.wait(0.5)
            finally:
                raw.close()

    def cache_busting(self):
        """Scrapes for ever-changing collectors and encodings, so that few
        can share a read."""
        i = 0
        while not self.stop.wait(1.0 / CACHE_BUSTING_PER_SECOND):
            i += 1
            try:
                self.request("127.0.0.2", b"soak password", "/metrics" + COLLECTOR_SETS[i % 5],
                             "gzip" if i % 2 else "identity")
            except OSError:
                pass
            self.busting += 1

    def sighup(self):
        while not self.stop.wait(SIGHUP_EVERY):
            os.kill(self.pid, signal.SIGHUP)
            self.sighups += 1


def closed_by_peer(s):
    """Whether the server closed s; if so, s is closed here too."""
    try:
        if s.recv(1, socket.MSG_DONTWAIT) != b"":
            return False
    except BlockingIOError:
        return False
    except OSError:
        pass
    s.close()
    return True


def proc_sample(pid):
    rss = threads = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return rss, len(os.listdir(f"/proc/{pid}/fd")), threads


def quarter_means(values):
    q = max(1, len(values) // 4)
    return values[:q], values[-q:]


def plot(csv_path, png_path, seconds):
    script = f"""
set terminal pngcairo noenhanced size 1000,900 font ",10"
set output "{png_path}"
set datafile separator ","
set key off
set grid
set offsets 0, 0, 1, 1
set multiplot layout 4,1 title "sanperf_exporter soak, {seconds} s: scrapes; idle connections, wrong passwords, stalled handshakes, slow readers, cache-busting; SIGHUPs"
set xlabel "minutes"
set ylabel "RSS (MiB)"
plot "{csv_path}" using ($1/60):($2/1024) every ::1 with lines lw 2
set ylabel "descriptors"
plot "{csv_path}" using ($1/60):3 every ::1 with lines lw 2
set ylabel "threads"
plot "{csv_path}" using ($1/60):4 every ::1 with lines lw 2
set ylabel "scrape (ms)"
plot "{csv_path}" using ($1/60):5 every ::1 with points pt 7 ps 0.4
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    build, seconds, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    exporter = os.path.join(build, "tools/sanperf_exporter/sanperf_exporter")
    sim = os.path.join(build, "tools/sanperf-sim/sanperf-sim")
    os.makedirs(out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="sanperf-soak-")
    procs = []
    try:
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=DNS:localhost", "-keyout", f"{work}/key.pem",
                        "-out", f"{work}/cert.pem"], check=True, capture_output=True)
        hashed = subprocess.run([exporter, "--hash-password"], input="soak password\n", text=True,
                                check=True, capture_output=True).stdout.strip()
        with open(f"{work}/web.yml", "w") as f:
            f.write(f"tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\n"
                    f"basic_auth_users:\n  soak: '{hashed}'\n")
        procs.append(subprocess.Popen([sim, f"{work}/tree", "--sessions", "200", "--sockets", "200",
                                       "--interval", "1000"], stdout=subprocess.DEVNULL,
                                      stderr=open(f"{out}/sim.log", "w")))
        while not os.path.exists(f"{work}/tree/session/session200"):
            time.sleep(0.05)
        log_path = f"{out}/exporter.log"
        exp = subprocess.Popen([exporter, "--web.listen-address=127.0.0.1:0", f"--root={work}/tree",
                                f"--web.config.file={work}/web.yml"], stderr=open(log_path, "w"))
        procs.append(exp)
        port = None
        for _ in range(200):
            with open(log_path) as f:
                text = f.read()
            if "listening on 127.0.0.1:" in text:
                port = int(text.split("listening on 127.0.0.1:")[1].split('"')[0].split(",")[0])
                break
            if exp.poll() is not None:
                sys.exit("soak: the exporter did not start:\n" + text)
            time.sleep(0.05)
        if port is None:
            sys.exit("soak: the exporter never said where it listens")

        load = Load(port, f"{work}/cert.pem", exp.pid)
        attacks = [load.wrong_passwords_loop, load.flood, load.stall_handshakes,
                   load.cache_busting] + [load.slow_reader] * SLOW_READERS
        threads = [threading.Thread(target=t, daemon=True) for t in
                   [load.scrape, load.sighup] + attacks]
        for t in threads:
            t.start()
        csv_path = f"{out}/soak.csv"
        rows = []
        start = time.monotonic()
        with open(csv_path, "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["seconds", "rss_kib", "descriptors", "threads", "scrape_ms"])
            for i in range(1, seconds + 1):
                time.sleep(max(0.0, start + i - time.monotonic()))
                if exp.poll() is not None:
                    sys.exit(f"soak: the exporter exited with {exp.returncode} after {i} s")
                rss, fds, nthreads = proc_sample(exp.pid)
                with load.lock:
                    latency = load.last_latency_ms
                row = [i, rss, fds, nthreads, "" if latency != latency else f"{latency:.1f}"]
                w.writerow(row)
                f.flush()
                rows.append(row)
        load.stop.set()
        for t in threads:
            t.join(15)
        exp.send_signal(signal.SIGTERM)
        exp.wait(10)
        plot(csv_path, f"{out}/soak.png", seconds)

        judged = [r for r in rows if r[0] > warm_up(seconds)]
        rss_first, rss_last = quarter_means([r[1] for r in judged])
        fd_first, fd_last = quarter_means([r[2] for r in judged])
        rss_growth = statistics.mean(rss_last) - statistics.mean(rss_first)
        fd_move = statistics.median(fd_last) - statistics.median(fd_first)
        latencies = sorted(float(r[4]) for r in rows if r[4] != "")
        with open(log_path) as f:
            log_lines = sum(1 for _ in f)
        p = (lambda q: latencies[min(len(latencies) - 1, int(q * len(latencies)))]) if latencies else (lambda q: float("nan"))
        print(f"soak: {seconds} s, {load.scrapes} scrapes ({load.failed} failed; statuses "
              f"{', '.join(f'{k}: {v}' for k, v in sorted(load.statuses.items(), key=str))}), "
              f"{load.wrong_passwords} wrong passwords, {load.flood_opened} flood connections, "
              f"{load.stalled} stalled handshakes, {load.slow_reads} slow reads, "
              f"{load.busting} cache-busting scrapes, {load.sighups} SIGHUPs, {log_lines} log lines")
        print(f"soak: RSS {min(r[1] for r in judged) / 1024:.1f}-{max(r[1] for r in judged) / 1024:.1f} MiB "
              f"after warm-up, last quarter {rss_growth / 1024:+.2f} MiB against the first; "
              f"descriptors {min(r[2] for r in judged)}-{max(r[2] for r in judged)}, median {fd_move:+.0f}; "
              f"threads {min(r[3] for r in rows)}-{max(r[3] for r in rows)}; "
              f"scrape median {p(0.5):.1f} ms, p95 {p(0.95):.1f} ms, max {p(1.0):.1f} ms")
        print(f"soak: {csv_path}, {out}/soak.png")
        problems = []
        if rss_growth > RSS_TOLERANCE_KIB:
            problems.append(f"RSS grew {rss_growth:.0f} KiB after warm-up (tolerance {RSS_TOLERANCE_KIB})")
        if abs(fd_move) > FD_TOLERANCE:
            problems.append(f"descriptors moved by {fd_move:+.0f} (tolerance {FD_TOLERANCE})")
        if load.failed * 100 > load.scrapes:
            problems.append(f"{load.failed} of {load.scrapes} honest scrapes failed")
        if problems:
            sys.exit("soak: FAIL: " + "; ".join(problems))
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
