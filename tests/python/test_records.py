"""A snapshot's records against sanstat's JSON report of the same tree,
field for field, on ten shapes of tree."""

import signal
import subprocess
import time

import pytest

import sanperf
from conftest import SANPERF_SIM, ROOT, assert_matches_json, sanstat_json

BIG = 2**63 - 1
NO_SAMPLE = 4294967295


def empty_blocks(t):
    for block in ("disk_queue", "session", "sock"):
        t.dir(block)


def sessions_only(t):
    t.session(1, lba=7, write={"samples": 3, "total_time": 30, "min_time": 5, "max_time": 15})
    t.session(2, read={"samples": 1, "total_time": 9, "min_time": 9, "max_time": 9})


def simulated(t):
    t.simulate(20, 20, seed=7)


def simulated_after_churn(t):
    # A running simulator ends and replaces sessions and sockets, some under
    # their old numbers, and starts idle streams.
    sim = subprocess.Popen([SANPERF_SIM, ROOT, "--sessions", "30", "--sockets", "30",
                            "--interval", "20", "--seed", "3"], stdout=subprocess.PIPE)
    sim.stdout.readline()  # the first state is written
    time.sleep(1)
    sim.send_signal(signal.SIGTERM)
    assert sim.wait(10) == 0


def simulated_big(t):
    t.simulate(300, 300, seed=5)


def extremes(t):
    # Minima without samples, saturating and out-of-range numbers, a minus
    # sign (skipped), ids and values wider than 32 bits.
    t.disk_queue(1, 0, handler={"samples": BIG, "total_time": BIG, "min_time": NO_SAMPLE,
                                "min_count": NO_SAMPLE, "max_count": 12},
                 active=2**32 + 5)
    t.file("disk_queue/disk2_3/async_processing_perf_stats",
           "-5 99999999999999999999 3 4 -100 6 7\n")
    t.session(2**32 + 4, lba=2**33 + 9, dir="session4",
              write={"samples": 1, "min_time": NO_SAMPLE, "max_time": NO_SAMPLE - 1})
    t.socket(1, {"aio_read": {"samples": BIG, "min_time": NO_SAMPLE},
                 "wait_for_space": {"samples": 2, "total_time": 2 * BIG}})


def listing_order(t):
    for n in (10, 2, 33, 1):
        t.session(n, lba=n, write={"samples": n})
        t.socket(n, {"socket_read": {"samples": n}})


def aliases_and_vanished(t):
    t.session(4, write={"samples": 4})
    t.session(4, dir="session_alias")  # names session4 again: one object
    t.session(9, dir="session5")  # names session9, which is not there
    t.dir("session/session6")  # no id file: id 0, and no session0
    t.session(8, dir="session08")  # read from session8, which is not there


def odd_socket_names(t):
    t.socket(7, {"aio_write": {"samples": 7}})
    t.socket(7, {"aio_write": {"samples": 70}}, dir="sock07")  # the same number
    t.socket(3, dir="sockets3")  # read from sock3, which is not there
    t.dir("sock/sock5")  # no files: all zeros, but there


def garbled_files(t):
    t.file("disk_queue/disk1_1/async_handler_task_perf_stats", "12 34\n")  # short
    t.file("disk_queue/disk1_2/async_handler_task_perf_stats", "none yet\n")
    t.file("disk_queue/disk1_3/max_num_active", "")
    t.session(3, write={"samples": 1})
    t.file("session/session3/read_perf_stats", "\n\n")
    t.file("session/session3/lba", "  lba: 42\n")
    t.socket(2)
    t.file("sock/sock2/post_read_stats", "1 2 3\n4 5 6 7 8 9 10\n")


SHAPES = [empty_blocks, sessions_only, simulated, simulated_after_churn, simulated_big, extremes,
          listing_order, aliases_and_vanished, odd_socket_names, garbled_files]


@pytest.mark.parametrize("shape", SHAPES, ids=[s.__name__ for s in SHAPES])
def test_records_equal_sanstats_json(tree, shape, monkeypatch):
    monkeypatch.setenv("SANPERF_TIME_UNIT", "us")
    shape(tree)
    [report] = sanstat_json()
    for threads in (1, 4):
        snap = sanperf.snapshot(threads=threads)
        assert snap.time_unit == report["time_unit"] == "us"
        assert_matches_json(snap.disk_queues, report["disk_queues"])
        assert_matches_json(snap.sessions, report["sessions"])
        assert_matches_json(snap.sockets, report["sockets"])
        # With no earlier snapshot, a delta is sanstat's report of totals,
        # rates (none), averages and flags included.
        totals = sanperf.delta(None, snap)
        assert totals.interval is None
        for block in ("disk_queues", "sessions", "sockets"):
            assert_matches_json(getattr(totals, block), report[block])


def test_seconds_follow_the_time_unit(tree, monkeypatch):
    tree.session(1, write={"samples": 2, "total_time": 1500, "min_time": 700, "max_time": 800})
    for unit, per_second in (("ns", 1e9), ("us", 1e6), ("ms", 1e3), ("s", 1)):
        monkeypatch.setenv("SANPERF_TIME_UNIT", unit)
        [s] = sanperf.snapshot().sessions
        assert (s.write_total_seconds, s.write_min_seconds, s.write_max_seconds) == \
            (1500 / per_second, 700 / per_second, 800 / per_second)
        assert sanperf.delta(None, sanperf.snapshot()).sessions[0].write_avg_seconds == \
            750 / per_second
    monkeypatch.delenv("SANPERF_TIME_UNIT")
    snap = sanperf.snapshot()
    [s] = snap.sessions
    assert snap.time_unit is None and sanperf.time_unit() is None
    assert (s.write_total_time, s.write_total_seconds, s.read_min_seconds) == (1500, None, None)
    assert sanperf.delta(None, snap).sessions[0].write_avg_seconds is None


def test_blocks_not_chosen_are_not_read(tree):
    listing_order(tree)
    snap = sanperf.snapshot(disk_queues=False, sockets=False)
    assert (snap.disk_queues, snap.sockets) == ([], [])
    assert [s.id for s in snap.sessions] == [1, 2, 10, 33]


def test_records_read_as_a_user_expects(tree):
    listing_order(tree)
    snap = sanperf.snapshot()
    sock = snap.sockets[1]
    assert sock.socket_read.samples == 2
    assert sanperf.SOCKET_SLOTS == sanperf.SockInfo._fields[1:]
    as_dict = sock._asdict()
    assert as_dict["number"] == 2 and as_dict["socket_read"]["samples"] == 2
    assert snap.sessions[0]._asdict()["lba"] == 1
    assert repr(snap.sessions[0]).startswith("SessionInfo(id=1, lba=1, write_samples=1,")
    assert repr(snap).endswith(": 0 disk queues, 4 sessions, 4 sockets, time unit None>")
    assert snap.time == pytest.approx(time.time(), abs=60)
