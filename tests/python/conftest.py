"""Fixtures of the module's tests: the private /sys/kernel and its trees,
sanstat's JSON reports of the same trees, and the simulator."""

import json
import os
import shutil
import subprocess

import pytest

import sanperf

ROOT = "/sys/kernel"
SANSTAT = os.environ["SANSTAT"]
SANPERF_SIM = os.environ["SANPERF_SIM"]


def _tmpfs_over_root():
    """True when /sys/kernel is a tmpfs (the host's is sysfs)."""
    with open("/proc/self/mountinfo") as f:
        mounts = [line.split() for line in f]
    fstypes = [m[m.index("-") + 1] for m in mounts if m[4] == ROOT]
    return fstypes[-1:] == ["tmpfs"]


if not _tmpfs_over_root():
    pytest.exit("these tests write /sys/kernel: run them with tests/python/run.sh, which "
                "gives them a private tmpfs there", returncode=2)


class Tree:
    """Writes statistics trees under /sys/kernel in the server's formats."""

    def clear(self):
        for name in os.listdir(ROOT):
            path = os.path.join(ROOT, name)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)

    def file(self, relative, text):
        path = os.path.join(ROOT, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    def dir(self, relative):
        os.makedirs(os.path.join(ROOT, relative), exist_ok=True)

    def remove(self, relative):
        shutil.rmtree(os.path.join(ROOT, relative))

    @staticmethod
    def counters(samples=0, total_time=0, min_time=0, max_time=0, total_count=0, min_count=0,
                 max_count=0):
        """A counter line: the seven numbers in the order the file lists them."""
        return (f"{samples} {total_count} {max_count} {min_count} {total_time} {max_time} "
                f"{min_time}\n")

    def disk_queue(self, disk, queue, handler=None, processing=None, active=0):
        d = f"disk_queue/disk{disk}_{queue}/"
        self.file(d + "async_handler_task_perf_stats", self.counters(**(handler or {})))
        self.file(d + "async_processing_perf_stats", self.counters(**(processing or {})))
        self.file(d + "max_num_active", f"{active}\n")

    def session(self, id, lba=0, write=None, read=None, dir=None):
        """A session directory (named session<id> unless dir says otherwise)."""
        d = f"session/{dir or f'session{id}'}/"
        self.file(d + "id", f"{id}\n")
        self.file(d + "lba", f"{lba}\n")
        self.file(d + "write_perf_stats", self.counters(**(write or {})))
        self.file(d + "read_perf_stats", self.counters(**(read or {})))

    def socket(self, number, slots=None, dir=None):
        """A socket directory; slots maps slot names to counters, the rest are zero."""
        d = f"sock/{dir or f'sock{number}'}/"
        self.dir(d)
        for slot in sanperf.SOCKET_SLOTS:
            self.file(d + slot + "_stats", self.counters(**(slots or {}).get(slot, {})))

    def simulate(self, sessions, sockets, seed=1, extra=()):
        """A whole tree written by the simulator, once."""
        subprocess.run([SANPERF_SIM, ROOT, "--once", "--sessions", str(sessions), "--sockets",
                        str(sockets), "--seed", str(seed), *extra], check=True,
                       stdout=subprocess.DEVNULL)


@pytest.fixture
def tree():
    t = Tree()
    t.clear()
    yield t
    t.clear()


def sanstat_json(*args):
    """sanstat's JSON reports (one per line) of the tree, parsed."""
    out = subprocess.run([SANSTAT, "-o", "json", *args], check=True, capture_output=True,
                         text=True).stdout
    return [json.loads(line) for line in out.splitlines()]


def record_fields(record):
    """A record's fields as sanstat's JSON has them: seconds twins left out,
    a socket's slots as nested dicts."""
    return {k: record_fields(v) if hasattr(v, "_fields") else v
            for k, v in zip(record._fields, record) if not k.endswith("_seconds")}


def assert_matches_json(records, json_records):
    """Each record equals its JSON document in every field it shares with it."""
    assert len(records) == len(json_records)
    for record, doc in zip(records, json_records):
        mine = record_fields(record)
        assert {k: doc[k] if not isinstance(doc[k], dict) else
                {f: doc[k][f] for f in mine[k]} for k in mine} == mine
