"""Errors as exceptions: a missing tree, a wrong time unit, bad arguments,
allocation failure. Never a crash, never a partial list."""

import errno
import subprocess
import sys
import textwrap

import pytest

import sanperf


def test_a_missing_tree_is_file_not_found(tree):
    with pytest.raises(FileNotFoundError) as raised:
        sanperf.snapshot()
    assert raised.value.errno == errno.ENOENT and raised.value.filename == "/sys/kernel"
    assert "none of disk_queue/, session/ and sock/" in str(raised.value)
    with pytest.raises(FileNotFoundError):
        sanperf.Sampler().next()
    # One block is a tree: the others read as empty, as in sanstat (a disk
    # queue without its directory is no record).
    tree.dir("sock")
    snap = sanperf.snapshot()
    assert (snap.disk_queues, snap.sessions, snap.sockets) == ([], [], [])


def test_a_wrong_time_unit_is_refused(tree, monkeypatch):
    tree.dir("session")
    monkeypatch.setenv("SANPERF_TIME_UNIT", "parsecs")
    message = "SANPERF_TIME_UNIT must be ns, us, ms or s, not 'parsecs'"
    for call in (sanperf.time_unit, sanperf.snapshot, sanperf.Sampler().next):
        with pytest.raises(ValueError, match=message):
            call()
    monkeypatch.setenv("SANPERF_TIME_UNIT", "")
    assert sanperf.time_unit() is None
    monkeypatch.setenv("SANPERF_TIME_UNIT", "ns")
    assert sanperf.time_unit() == "ns"


@pytest.mark.parametrize("threads", [0, -1, 257, 2**70])
def test_threads_out_of_range(tree, threads):
    with pytest.raises(ValueError, match=f"threads must be between 1 and 256, not {threads}$"):
        sanperf.snapshot(threads=threads)
    with pytest.raises(ValueError):
        sanperf.Sampler(threads=threads)


@pytest.mark.parametrize("call", [
    lambda: sanperf.snapshot(threads="2"),
    lambda: sanperf.snapshot(threads=1.5),
    lambda: sanperf.snapshot(threads=True),
    lambda: sanperf.snapshot(sessions="yes"),
    lambda: sanperf.snapshot(sessions=1),
    lambda: sanperf.snapshot(True),
    lambda: sanperf.snapshot(session=True),
    lambda: sanperf.Sampler(sockets=None),
    lambda: sanperf.Snapshot(),
    lambda: sanperf.Delta(),
], ids=["threads-str", "threads-float", "threads-bool", "block-str", "block-int", "positional",
        "unknown-keyword", "sampler-block-none", "Snapshot", "Delta"])
def test_bad_arguments_are_type_errors(tree, call):
    tree.dir("session")
    with pytest.raises(TypeError):
        call()


def test_threads_type_error_names_the_type(tree):
    with pytest.raises(TypeError, match="threads must be an int or None, not str"):
        sanperf.snapshot(threads="2")


# Runs in a child: snapshots of a 50/50 tree under address-space limits
# from none left to plenty, on one thread and on four. Each must
# succeed whole or raise; after the limit is lifted, a snapshot equals one
# taken before any limit.
MEMORY_CHILD = textwrap.dedent("""
    import collections, resource, sanperf
    def vm_kib():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmSize:"))
    whole = sanperf.snapshot(threads=1)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = collections.Counter()
    for threads, steps, step_kib in ((1, 64, 16), (4, 10, 4096)):
        for extra_kib in range(0, steps * step_kib, step_kib):
            snap = None
            resource.setrlimit(resource.RLIMIT_AS, ((vm_kib() + extra_kib) * 1024, hard))
            try:
                snap = sanperf.snapshot(threads=threads)
                outcome = "whole" if len(snap.sockets) == len(whole.sockets) else "partial"
            except MemoryError:
                outcome = "MemoryError"
            except OSError:
                outcome = "OSError"
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            outcomes[outcome] += 1
            del snap
    again = sanperf.snapshot(threads=1)
    same = [again.sessions, again.sockets] == [whole.sessions, whole.sockets]
    print(dict(outcomes), same)
""")


def test_allocation_failure_is_memory_error(tree):
    tree.simulate(50, 50)
    child = subprocess.run([sys.executable, "-c", MEMORY_CHILD], capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0, child.stderr
    print(child.stdout)
    outcomes, same = child.stdout.rsplit(" ", 1)
    outcomes = eval(outcomes)
    assert same.strip() == "True"
    assert "partial" not in outcomes
    assert outcomes.get("MemoryError", 0) > 0 and outcomes.get("whole", 0) > 0, outcomes
