#!/usr/bin/env python3
"""sanstat top on a pseudo-terminal: the first screen, keys, a resize, and the
terminal left as it was found after q, Ctrl-C, SIGTERM and a vanished tree;
the replay of an archive, stepped with t and T and following its end while
it is recorded; then the refusal of anything but a terminal.

Usage: sanstat_top_test.py SANSTAT SANPERF_SIM
"""
import fcntl
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time

SANSTAT, SIM = sys.argv[1], sys.argv[2]
ENTER = b"\x1b[?1049h"
LEAVE = b"\x1b[?25h\x1b[?1049l"
failures = []


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    failures.append(message)


def set_size(fd, rows, columns):
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))


class View:
    """sanstat top running on a fresh pseudo-terminal of rows x columns."""

    def __init__(self, args, rows=30, columns=100):
        self.master, self.slave = os.openpty()
        set_size(self.slave, rows, columns)
        self.original = termios.tcgetattr(self.slave)
        self.output = b""

        def controlling_terminal():
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.process = subprocess.Popen(
            [SANSTAT, "top"] + args, stdin=self.slave, stdout=self.slave, stderr=self.slave,
            start_new_session=True, preexec_fn=controlling_terminal)

    def read(self, seconds):
        """Takes what the view wrote within seconds."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.master], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                break
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                break
            if not chunk:
                break
            self.output += chunk

    def wait_for(self, pattern, since=0, seconds=10):
        """True once pattern (bytes, a regular expression) appears after since."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if re.search(pattern, self.output[since:]):
                return True
            self.read(0.1)
        return bool(re.search(pattern, self.output[since:]))

    def painted(self, mark, row):
        """Waits until a screen painted after mark reaches row."""
        self.wait_for(rb"\x1b\[%d;1H" % row, mark)
        self.read(0.2)

    def key(self, keys):
        mark = len(self.output)
        os.write(self.master, keys)
        return mark

    def finish(self, what, code):
        """Waits for the end; checks its exit code and that the terminal is
        as it was: its modes, the cursor shown, the normal screen back."""
        try:
            got = self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            fail(f"{what}: still running after 10 s")
            return
        self.read(0.2)
        if got != code:
            fail(f"{what}: exit {got}, expected {code}")
        if termios.tcgetattr(self.slave) != self.original:
            fail(f"{what}: the terminal's modes were not restored")
        entered = self.output.rfind(ENTER)
        if entered < 0 or self.output.find(LEAVE, entered) < 0:
            fail(f"{what}: the cursor and the normal screen did not come back")
        os.close(self.master)
        os.close(self.slave)


def frame_after(output, mark):
    """The rows painted after mark: {row: text} with escape sequences
    removed, from the view's "row;1H" positioning."""
    rows = {}
    for match in re.finditer(rb"\x1b\[(\d+);1H([^\x1b]*)", output[mark:]):
        rows[int(match.group(1))] = match.group(2)
    return rows


QUEUE_ROW = rb"\x1b\[\d+;1Hdisk\d_\d "


def session_rows(output, mark):
    """How many session rows (an id, then an lba) the frame after mark has."""
    return sum(1 for text in frame_after(output, mark).values()
               if re.match(rb"\d+\*? +\d+ ", text))


MOMENT = rb"report \d+ from the archive(?:, [^\x1b]*? to | at )(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"


def moments(output, mark):
    """The archived moments the screens after mark show, in order."""
    return [m.group(1) for m in re.finditer(MOMENT, output[mark:])]


def replay(work):
    """An archive replayed while it is recorded: t a step forward, T one
    back, and at the end each new sampling as it comes."""
    tree, archive = os.path.join(work, "rtree"), os.path.join(work, "archive.db")
    sim = subprocess.Popen([SIM, tree, "--interval", "100"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    recorder = None
    try:
        time.sleep(0.5)
        start = int(time.time())
        recorder = subprocess.Popen([SANSTAT, "record", "--archive", archive, "--root", tree,
                                     "--interval", "0.5"])
        time.sleep(4)
        view = View(["--archive", archive, "--begin", f"@{start + 2}", "-d", "1"])
        if not view.wait_for(rb"replaying .*archive.db, steps of 1 s") or \
                not view.wait_for(MOMENT):
            fail("replay: no first screen: %r" % view.output[-300:])
        first = moments(view.output, 0)[-1:]
        mark = view.key(b"t")
        view.wait_for(MOMENT, mark)
        later = moments(view.output, mark)[-1:]
        mark = view.key(b"T")
        view.wait_for(MOMENT, mark)
        back = moments(view.output, mark)[-1:]
        if not first or not later or later <= first or back != first:
            fail(f"replay: t and T moved from {first} to {later} and back to {back}")
        # Past the end it follows the recorder.
        mark = view.key(b"t" * 20)
        view.read(3.5)
        seen = moments(view.output, mark)
        if len(set(seen)) < 3 or seen != sorted(seen):
            fail(f"replay at the end: the moments shown were {seen}")
        view.key(b"q")
        view.finish("replay", 0)
    finally:
        for process in (recorder, sim):
            if process:
                process.terminate()
                process.wait()


def main():
    work = tempfile.mkdtemp()
    try:
        tree = os.path.join(work, "tree")
        subprocess.run([SIM, tree, "--once", "--sessions", "40", "--sockets", "3"], check=True,
                       stdout=subprocess.DEVNULL)

        # A long interval: every repaint below comes from a key or a resize.
        view = View(["--root", tree, "60"])
        if not view.wait_for(rb"sanstat top: disk queues by rate") or \
                not view.wait_for(QUEUE_ROW):
            fail("first screen: no title or no disk queue rows: %r" % view.output[-300:])
        mark = view.key(b"b")
        if not view.wait_for(rb"sanstat top: sessions", mark) or \
                not view.wait_for(rb"\x1b\[\d+;1Hsession ", mark):
            fail("key b: the session block did not come")
        view.painted(mark, 30)
        # 40 sessions do not fit in 30 rows: the screen is filled and no more.
        shown = session_rows(view.output, mark)
        if not 5 < shown < 30 or max(frame_after(view.output, mark)) != 30:
            fail(f"sessions: {shown} rows shown, not as many as fit in 30 rows")
        mark = view.key(b"-")
        view.painted(mark, 30)
        if session_rows(view.output, mark) != shown - 1:
            fail(f"key -: {session_rows(view.output, mark)} sessions shown, not {shown - 1}")
        mark = view.key(b"++")
        view.painted(mark, 30)
        if session_rows(view.output, mark) != shown:
            fail(f"key +: {session_rows(view.output, mark)} sessions shown, "
                 f"expected the {shown} that fit")
        mark = view.key(b"s")
        if not view.wait_for(rb"sessions by avg", mark) or \
                not view.wait_for(rb"sorted by avg", mark):
            fail("key s: the sort key did not change to avg")
        mark = view.key(b"\t")
        if not view.wait_for(rb"sanstat top: sockets", mark) or \
                not view.wait_for(rb"busiest slot", mark):
            fail("key Tab: the socket block did not come, one row per socket")
        mark = view.key(b"p")
        if not view.wait_for(rb"PAUSED", mark):
            fail("key p: not shown as paused")

        before = frame_after(view.output, 0)
        if max(before, default=0) != 30:
            fail(f"first screen: rows painted down to {max(before, default=0)}, not 30")
        mark = len(view.output)
        set_size(view.master, 12, 50)
        view.painted(mark, 12)
        after = frame_after(view.output, mark)
        if max(after, default=0) != 12:
            fail(f"resize: rows painted down to {max(after, default=0)}, expected 12")
        if any(len(text) > 50 for text in after.values()):
            fail("resize: a row is wider than 50 columns")
        view.key(b"q")
        view.finish("q", 0)

        # --sort and --top set where the view starts.
        view = View(["--root", tree, "-s", "--sort", "max", "--top", "3", "60"])
        view.wait_for(rb"sessions by max")
        view.read(0.3)
        if b"sessions by max" not in view.output or session_rows(view.output, 0) != 3:
            fail(f"--sort max --top 3: {session_rows(view.output, 0)} sessions, "
                 "or not sorted by max")
        view.key(b"q")
        view.finish("q after --top", 0)

        # Filters: the header counts the rows shown, "-" takes one away at
        # once, and at 80 columns the header is broken between its parts.
        idle = os.path.join(work, "idle")
        shutil.copytree(tree, idle, symlinks=True)
        for n in range(1, 31):
            for direction in ("read", "write"):
                with open(os.path.join(idle, "session", f"session{n}",
                                       f"{direction}_perf_stats"), "w") as f:
                    f.write("0 0 0 4294967295 0 0 4294967295\n")
        view = View(["--root", idle, "-s", "--active", "--min-avg", "1", "60"], columns=80)
        view.wait_for(rb"averaging at least 1\b")
        view.read(0.3)
        frame = frame_after(view.output, 0)
        shown = session_rows(view.output, 0)
        said = re.search(rb"the first (\d+)", b" ".join(frame.values()))
        if not 3 < shown <= 10 or (said and int(said.group(1)) != shown):
            fail(f"--active: {shown} of at most 10 active sessions shown, header says {said}")
        header = [text for text in frame.values() if text.startswith((b"sorted", b"only"))]
        if any(len(text) > 80 for text in frame.values()) or \
                b" ".join(header) != b"sorted by rate, highest first; only objects with "\
                                     b"samples; only objects averaging at least 1":
            fail("--active --min-avg at 80 columns: the header is cut: %r" % frame)
        mark = view.key(b"-")
        view.painted(mark, 6)
        if session_rows(view.output, mark) != shown - 1:
            fail(f"--active, key -: {session_rows(view.output, mark)} shown, not {shown - 1}")
        view.key(b"q")
        view.finish("q after --active", 0)

        for what, stop in (("SIGTERM", lambda v: v.process.send_signal(signal.SIGTERM)),
                           ("Ctrl-C", lambda v: os.write(v.master, b"\x03"))):
            view = View(["--root", tree, "60"])
            if not view.wait_for(QUEUE_ROW):
                fail(f"{what}: no first screen")
            stop(view)
            view.finish(what, 0)

        # The tree goes away under a running view: the screen is restored,
        # then one line says why.
        gone = os.path.join(work, "gone")
        shutil.copytree(tree, gone, symlinks=True)
        view = View(["--root", gone, "0.2"])
        if not view.wait_for(QUEUE_ROW):
            fail("vanished tree: no first screen")
        for name in os.listdir(gone):
            shutil.rmtree(os.path.join(gone, name))
        view.finish("vanished tree", 1)
        tail = view.output[view.output.rfind(LEAVE):]
        if b"holds no SAN server statistics" not in tail:
            fail("vanished tree: no message after the restored screen: %r" % tail[-200:])

        replay(work)

        # Anything but a terminal is refused, pointing to --top.
        for what, stdin in (("output to a pipe", None), ("input from /dev/null", "null")):
            if stdin:
                master, slave = os.openpty()
                with open(os.devnull) as null:
                    run = subprocess.run([SANSTAT, "top", "--root", tree], stdin=null,
                                         stdout=slave, stderr=subprocess.PIPE, timeout=10)
                os.close(master)
                os.close(slave)
            else:
                run = subprocess.run([SANSTAT, "top", "--root", tree], stdin=subprocess.DEVNULL,
                                     capture_output=True, timeout=10)
            if run.returncode != 1 or b"--top" not in run.stderr:
                fail(f"{what}: exit {run.returncode}, stderr {run.stderr!r}")
        for args in (["-o", "json"], ["--write", os.path.join(work, "f")], ["1", "2"]):
            run = subprocess.run([SANSTAT, "top", "--root", tree] + args, capture_output=True,
                                 timeout=10)
            if run.returncode != 2 or not run.stderr.startswith(b"sanstat: "):
                fail(f"top {' '.join(args)}: exit {run.returncode}, expected a usage error")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        sys.exit(1)
    print("sanstat top: first screen, keys, resize, restoring and refusals all hold")


main()
