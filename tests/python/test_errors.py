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


# Runs in a child: snapshots of a 50/50 tree with a given amount of address
# space left, on one thread and on four. Before each snapshot the free space
# the process already holds is taken up by ballast, so the snapshot gets only
# what is left (otherwise a roomy heap would hide the limit). Each must succeed
# whole or raise; after the limit is lifted, a snapshot equals one taken
# before any limit.
MEMORY_CHILD = textwrap.dedent("""
    import collections, resource, sanperf
    def vm_bytes():
        with open("/proc/self/status") as f:
            return 1024 * next(int(l.split()[1]) for l in f if l.startswith("VmSize:"))
    def ballast():
        held = []
        for size in (1 << 20, 64 << 10, 4 << 10, 256):
            try:
                while True:
                    held.append(bytearray(size))
            except MemoryError:
                pass
        return held
    whole = sanperf.snapshot(threads=1)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = collections.Counter()
    for threads, left_kib in ((1, [0] + [16 << i for i in range(12)]),
                              (4, [0] + [4096 * i for i in range(1, 11)])):
        for kib in left_kib:
            snap = held = None
            try:
                full = vm_bytes()
                resource.setrlimit(resource.RLIMIT_AS, (full, hard))
                held = ballast()
                resource.setrlimit(resource.RLIMIT_AS, (full + kib * 1024, hard))
                snap = sanperf.snapshot(threads=threads)
                outcome = "whole" if len(snap.sockets) == len(whole.sockets) else "partial"
            except MemoryError:
                outcome = "MemoryError"
            except OSError:
                outcome = "OSError"
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            outcomes[threads, outcome] += 1
            del snap, held
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
    assert not any(outcome == "partial" for _, outcome in outcomes), outcomes
    # One thread runs out of memory, then has enough; four cannot start their
    # threads (OSError), then can.
    for threads, failure in ((1, "MemoryError"), (4, "OSError")):
        assert outcomes.get((threads, failure), 0) > 0, outcomes
        assert outcomes.get((threads, "whole"), 0) > 0, outcomes
