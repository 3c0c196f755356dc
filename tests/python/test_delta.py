"""Deltas against sanstat's interval report of the same two trees, and the
Sampler's rules."""

import json
import math
import subprocess

import pytest

import sanperf
from conftest import SANSTAT, record_fields

GROWN = {"samples": 10, "total_time": 1000, "min_time": 50, "max_time": 300}


def before_churn(t):
    t.disk_queue(1, 0, handler={"samples": 5, "total_time": 500, "total_count": 9})
    t.disk_queue(2, 3, processing={"samples": 50, "total_time": 900})
    t.session(1, write={"samples": 5, "total_time": 500})
    t.session(2, read={"samples": 5})
    t.session(4, write={"samples": 100, "total_time": 9000})
    t.session(5, write={"samples": 3, "total_time": 30})
    t.socket(1, {"aio_read": {"samples": 5, "total_time": 50}})
    t.socket(2, {"post_write": {"samples": 500, "total_time": 5000}})
    t.socket(4)


def after_churn(t):
    t.disk_queue(1, 0, handler={"samples": 15, "total_time": 2500, "total_count": 30})
    t.disk_queue(2, 3, processing={"samples": 5, "total_time": 90})  # went back
    t.session(1, write=GROWN)  # grown
    t.remove("session/session2")  # vanished
    t.session(3, write=GROWN)  # new
    t.session(4, write={"samples": 2, "total_time": 40})  # replaced: its counters went back
    # Session 5 is unchanged: no sample in the interval, so no average.
    t.socket(1, {"aio_read": {"samples": 25, "total_time": 450}})
    t.socket(2, {"post_write": {"samples": 1, "total_time": 7}})  # replaced
    t.socket(3, {"wait_for_space": GROWN})  # new
    t.remove("sock/sock4")  # vanished


def simulated_before(t):
    t.simulate(40, 40, seed=1)


def simulated_after(t):
    t.simulate(50, 35, seed=2)


def interval_report(tree, before, after):
    """sanstat's reports over an interval in which the tree changes from
    before to after, and snapshots of the same two trees."""
    before(tree)
    earlier = sanperf.snapshot()
    sanstat = subprocess.Popen([SANSTAT, "-o", "json", "1", "2"], stdout=subprocess.PIPE,
                               text=True)
    sanstat.stdout.readline()  # its first read is done; the next comes a second later
    after(tree)
    later = sanperf.snapshot()
    report, _ = sanstat.communicate(timeout=30)
    assert sanstat.returncode == 0
    return earlier, later, json.loads(report)


def same_rows(rows, docs, mine_interval, their_interval):
    """Rows equal sanstat's field for field; a rate, which depends on the
    length of the interval, as rate times interval."""
    def normalized(fields, interval):
        out = {}
        for k, v in fields.items():
            if isinstance(v, dict):
                out[k] = normalized(v, interval)
            elif k.endswith("samples_per_second") and v is not None:
                out[k] = round(v * interval, 6)
            else:
                out[k] = v
        return out

    assert len(rows) == len(docs)
    for row, doc in zip(rows, docs):
        assert normalized(record_fields(row), mine_interval) == normalized(doc, their_interval)


@pytest.mark.parametrize("before,after", [(before_churn, after_churn),
                                          (simulated_before, simulated_after)],
                         ids=["churn", "simulated"])
def test_delta_equals_sanstats_interval_report(tree, before, after, monkeypatch):
    monkeypatch.setenv("SANPERF_TIME_UNIT", "ms")
    earlier, later, report = interval_report(tree, before, after)
    d = sanperf.delta(earlier, later)
    assert d.interval > 0 and report["interval"] > 0
    for block in ("disk_queues", "sessions", "sockets"):
        same_rows(getattr(d, block), report[block], d.interval, report["interval"])


def test_interval_rules(tree):
    before_churn(tree)
    earlier = sanperf.snapshot()
    after_churn(tree)
    d = sanperf.delta(earlier, sanperf.snapshot())
    s = {row.id: row for row in d.sessions}
    assert sorted(s) == [1, 3, 4, 5]  # session 2 vanished
    assert s[3].totals and s[3].write_samples_per_second is None and s[3].write_samples == 10
    assert not s[1].totals and s[1].write_samples == 5 and s[1].write_avg_time == 100
    assert s[1].write_samples_per_second == pytest.approx(5 / d.interval)
    assert s[4].write_samples == 2 and not s[4].totals  # counted from zero after going back
    assert s[5].write_samples == 0 and s[5].write_avg_time is None
    assert s[5].write_samples_per_second == 0
    assert [sock.number for sock in d.sockets] == [1, 2, 3]
    assert d.sockets[0].aio_read.samples == 20 and d.sockets[0].aio_read.avg_time == 20
    assert "(1 new)" in repr(d)


def test_delta_refuses_snapshots_out_of_order(tree):
    tree.session(1)
    first, second = sanperf.snapshot(), sanperf.snapshot()
    with pytest.raises(ValueError, match="later was taken before earlier"):
        sanperf.delta(second, first)
    with pytest.raises(TypeError):
        sanperf.delta(first, None)
    with pytest.raises(TypeError):
        sanperf.delta({}, second)


def test_sampler_starts_afresh_after_a_failed_read(tree):
    tree.session(1, write={"samples": 1})
    sampler = sanperf.Sampler(disk_queues=False, threads=2)
    first = sampler.next()
    assert first.interval is None and first.sessions[0].totals and first.disk_queues == []
    tree.session(1, write={"samples": 4})
    second = sampler.next()
    assert not second.sessions[0].totals and second.sessions[0].write_samples == 3
    assert second.interval > 0 and math.isfinite(second.sessions[0].write_samples_per_second)
    tree.clear()
    with pytest.raises(FileNotFoundError):
        sampler.next()
    tree.session(1, write={"samples": 9})
    again = sampler.next()
    assert again.interval is None and again.sessions[0].totals
    assert again.sessions[0].write_samples == 9
