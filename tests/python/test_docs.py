"""The recipes of docs/python.md pass mypy --strict and run; the type stub
names what the module has."""

import ast
import csv
import io
import os
import re
import subprocess
import sys
import time

import pytest

import sanperf

HERE = os.path.dirname(os.path.abspath(__file__))
STUB = os.path.join(os.path.dirname(sanperf.__file__), "__init__.pyi")
with open(os.path.join(HERE, "../../docs/python.md")) as f:
    RECIPES = re.findall(r"^```python\n(.*?)^```$", f.read(), re.S | re.M)


def test_the_recipes_pass_mypy_strict(tmp_path):
    files = []
    for i, recipe in enumerate(RECIPES):
        files.append(tmp_path / f"recipe{i}.py")
        files[-1].write_text(recipe)
    assert len(files) == 3
    env = dict(os.environ, MYPYPATH=os.path.dirname(os.path.dirname(STUB)))
    checked = subprocess.run([sys.executable, "-m", "mypy", "--config-file",
                              os.path.join(HERE, "mypy.ini"), *map(str, files)],
                             capture_output=True, text=True, env=env)
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_the_stub_names_what_the_module_has():
    stub = ast.parse(open(STUB).read())
    classes = {c.name: c for c in stub.body if isinstance(c, ast.ClassDef)}
    names = set(classes) | {f.name for f in stub.body if isinstance(f, ast.FunctionDef)} | {
        a.target.id for a in stub.body if isinstance(a, ast.AnnAssign)}
    assert names == set(sanperf.__all__)
    for name, c in classes.items():
        if c.bases and ast.unparse(c.bases[0]) == "NamedTuple":
            fields = tuple(a.target.id for a in c.body if isinstance(a, ast.AnnAssign))
            assert fields == getattr(sanperf, name)._fields, name


class GrowingSessions:
    """Stands in for time.sleep: each call adds samples to every session."""

    def __init__(self, tree, sessions):
        self.tree, self.sessions, self.calls = tree, sessions, 0

    def __call__(self, seconds):
        self.calls += 1
        for n in range(1, self.sessions + 1):
            self.tree.session(n, write={"samples": self.calls * n, "total_time": 10 * self.calls},
                              read={"samples": self.calls, "total_time": 5 * n * self.calls})


def run_recipe(recipe, tree, monkeypatch, capsys, sessions=3):
    grow = GrowingSessions(tree, sessions)
    grow(0)
    monkeypatch.setattr(time, "sleep", grow)
    exec(compile(recipe, "recipe", "exec"), {})
    return capsys.readouterr().out


def test_the_slowest_session_recipe(tree, monkeypatch, capsys):
    monkeypatch.setenv("SANPERF_TIME_UNIT", "us")
    out = run_recipe(RECIPES[0], tree, monkeypatch, capsys)
    # Over the interval session n adds n + 1 samples and 10 + 5n ticks: session 1 is slowest.
    assert out == "session 1: 7.5 ticks (us) per operation\n"


def test_the_csv_recipe(tree, monkeypatch, capsys):
    rows = list(csv.DictReader(io.StringIO(run_recipe(RECIPES[1], tree, monkeypatch, capsys))))
    assert len(rows) == 60 * 3
    assert {r["id"] for r in rows} == {"1", "2", "3"} and {r["totals"] for r in rows} == {"False"}
    assert all(float(r["write_samples_per_second"]) > 0 for r in rows)


def test_the_dataframe_recipe(tree, monkeypatch, capsys):
    pytest.importorskip("pandas")
    assert "write_max_seconds" in run_recipe(RECIPES[2], tree, monkeypatch, capsys)
