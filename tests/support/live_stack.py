"""Real servers for the live monitoring tests: simulated SAN servers, their
exporters, Prometheus and Alertmanager, all on loopback in one scratch
directory. Every process is started here and stopped again when the stack
closes; every wait is bounded.
"""

import glob
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

import yaml


class Failure(Exception):
    """A check failed; the message says which."""


def need(directory, programs):
    """Each program is in directory, or the test is skipped (exit 77); under
    CI=true it fails instead, as CI must run it."""
    missing = [p for p in programs
               if not directory or not os.access(os.path.join(directory, p), os.X_OK)]
    if not missing:
        return
    print(f"SKIP: no {' '.join(missing)} in '{directory}' (scripts/get-prometheus.sh DIR and "
          "scripts/get-alertmanager.sh DIR, then -DPROMETHEUS_DIR=DIR)")
    sys.exit(1 if os.environ.get("CI") == "true" else 77)


def free_port():
    """A loopback port nobody listens on now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(what, probe, seconds):
    """probe()'s first true value, polled for at most seconds."""
    deadline = time.monotonic() + seconds
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"{what}: not within {seconds} s")
        time.sleep(0.25)


def http_json(url, params=None):
    if params:
        url += "?" + urllib.parse.urlencode(params)
    with urllib.request.urlopen(url, timeout=10) as response:
        return json.load(response)


def query(base, expr):
    """The result of an instant query: a list of samples (or a scalar's pair)."""
    answer = http_json(base + "/api/v1/query", {"query": expr})
    if answer.get("status") != "success":
        raise Failure(f"query failed: {expr}: {answer}")
    return answer["data"]["result"]


def monitoring_files(source):
    """The rule files and dashboards in source/monitoring, found by what they
    hold, so that files added later are taken too: rule files are YAML with
    rule groups, dashboards JSON with panels."""
    root = os.path.join(os.path.abspath(source), "monitoring")
    rules, dashboards = [], []
    for path in sorted(glob.glob(os.path.join(root, "**", "*.y*ml"), recursive=True)):
        with open(path) as f:
            content = yaml.safe_load(f)
        if isinstance(content, dict) and isinstance(content.get("groups"), list):
            rules.append(path)
    for path in sorted(glob.glob(os.path.join(root, "**", "*.json"), recursive=True)):
        with open(path) as f:
            content = json.load(f)
        if isinstance(content, dict) and isinstance(content.get("panels"), list):
            dashboards.append(path)
    if not rules or not dashboards:
        raise Failure(f"no rule files or no dashboards under {root}")
    return rules, dashboards


def rules_in(paths):
    """Every rule of the files, as (path, group name, rule) triples."""
    found = []
    for path in paths:
        with open(path) as f:
            for group in yaml.safe_load(f)["groups"]:
                for rule in group.get("rules") or []:
                    found.append((path, group["name"], rule))
    return found


class Stack:
    def __init__(self):
        self.work = tempfile.mkdtemp(prefix="sanperf-live-")
        self.processes = []

    def __enter__(self):
        return self

    def __exit__(self, exc_type, *_):
        if exc_type is not None:
            print(self.logs_tail(), file=sys.stderr)
        self.close()

    def close(self):
        for p in self.processes:
            if p.poll() is None:
                p.terminate()
        for p in self.processes:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(self.work, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def write(self, name, content):
        """Writes a file in the scratch directory; dicts as YAML."""
        with open(self.path(name), "w") as f:
            f.write(content if isinstance(content, str) else yaml.safe_dump(content))
        return self.path(name)

    def log(self, name):
        try:
            with open(self.path(name + ".log")) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def logs_tail(self):
        """The end of every process' log, for a failure report."""
        parts = []
        for path in sorted(glob.glob(self.path("*.log"))):
            with open(path) as f:
                lines = f.read().splitlines()[-15:]
            parts.append(f"--- {os.path.basename(path)}\n" + "\n".join(lines))
        return "\n".join(parts)

    def spawn(self, name, argv, env=None):
        log = open(self.path(name + ".log"), "w")
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                             env=None if env is None else {**os.environ, **env})
        log.close()
        self.processes.append(p)
        return p

    def alive(self, p, name):
        if p.poll() is not None:
            raise Failure(f"{name} exited with {p.returncode}")
        return True

    def simulator(self, name, program, args):
        """A simulated server writing its tree in the scratch directory, once
        its first state is written; returns the tree's directory."""
        tree = self.path(name)
        p = self.spawn(name, [program, tree] + args)
        wait_until(f"{name} ready", lambda: self.alive(p, name) and "ready" in self.log(name), 20)
        return tree

    def exporter(self, name, program, tree, args=(), env=None):
        """An exporter on a port of its choosing; returns HOST:PORT."""
        p = self.spawn(name, [program, "--web.listen-address=127.0.0.1:0", "--root=" + tree,
                              *args], env)

        def address():
            self.alive(p, name)
            m = re.search(r"listening on (127\.0\.0\.1:[0-9]+)", self.log(name))
            return m and m.group(1)
        return wait_until(f"{name} listening", address, 20)

    def prometheus(self, name, directory, config, args=()):
        """A Prometheus server; returns its base URL once it is ready."""
        port = free_port()
        p = self.spawn(name, [os.path.join(directory, "prometheus"),
                              "--config.file=" + self.write(name + ".yml", config),
                              "--storage.tsdb.path=" + self.path(name + "-data"),
                              f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn",
                              *args])
        base = f"http://127.0.0.1:{port}"
        wait_until(f"{name} ready", lambda: self.alive(p, name) and self.ready(base), 30)
        return base

    def alertmanager(self, name, directory, config):
        """An Alertmanager, alone (no cluster); returns its base URL once it is
        ready."""
        port = free_port()
        p = self.spawn(name, [os.path.join(directory, "alertmanager"),
                              "--config.file=" + self.write(name + ".yml", config),
                              "--storage.path=" + self.path(name + "-data"),
                              f"--web.listen-address=127.0.0.1:{port}",
                              "--cluster.listen-address=", "--log.level=warn"])
        base = f"http://127.0.0.1:{port}"
        wait_until(f"{name} ready", lambda: self.alive(p, name) and self.ready(base), 30)
        return base

    @staticmethod
    def ready(base):
        try:
            with urllib.request.urlopen(base + "/-/ready", timeout=2) as response:
                return response.status == 200
        except OSError:
            return False


def run(main):
    """Runs main(), turning a Failure into exit code 1 with its message."""
    try:
        main()
    except Failure as e:
        print(f"FAIL: {e}", file=sys.stderr)
        sys.exit(1)
