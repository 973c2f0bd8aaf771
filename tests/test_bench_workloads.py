"""The workload benchmark's quick mode runs every configuration, and its
table has each configuration's rows, with shares that add up and fall on
the parts the rows add."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("scipy")  # the waveguide's mode ports solve for their modes

ROOT = Path(__file__).resolve().parent.parent
PARTS = ("fields", "dispersive", "anisotropic", "sources", "monitors", "boundaries", "host")
ROWS = {
    "(a)": ["empty box 16³", "empty box 24³"],
    "(b)": ["empty box", "+ sphere (ε = 2.25, r = 0.5)", "+ total-field box",
            "+ two flux boxes, 12 frequencies"],
    "(c)": ["empty box", "strip in silica", "+ two mode ports, 20 frequencies"],
    "(d)": ["empty box", "forward run", "adjoint run"],
}
# the parts each row adds must take a share of its step (a port is a source
# and a monitor)
ADDED = {"+ sphere (ε = 2.25, r = 0.5)": ("dispersive", "anisotropic"),
         "+ total-field box": ("sources",), "+ two flux boxes, 12 frequencies": ("monitors",),
         "strip in silica": ("dispersive",),  # its faces lie along the axes: no couplings
         "+ two mode ports, 20 frequencies": ("sources", "monitors"),
         "forward run": ("sources", "monitors"), "adjoint run": ("sources", "monitors")}


def tables(markdown: str) -> dict:
    """{"(a)": [row cells, ...], ...} from the benchmark's Markdown."""
    out, current = {}, None
    for line in markdown.splitlines():
        title = re.match(r"(\([a-d]\)) ", line)
        if title:
            current = out.setdefault(title.group(1), [])
        elif line.startswith("| ") and not line.startswith("| configuration"):
            current.append([cell.strip() for cell in line.strip("|").split("|")])
    return out


def test_quick_run_gives_every_configurations_rows_and_shares(tmp_path):
    path = tmp_path / "workloads.md"
    done = subprocess.run([sys.executable, str(ROOT / "bench/bench_workloads.py"), "--quick",
                           "--threads", "1", "2", "--repeats", "1", "--markdown", str(path)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    found = tables(path.read_text())
    assert sorted(found) == sorted(ROWS)
    for config, rows in found.items():
        # one row per thread count, in the order the configuration adds things
        assert [r[0] for r in rows] == [label for label in ROWS[config] for _ in (1, 2)]
        assert [r[1] for r in rows] == ["1", "2"] * len(ROWS[config])
        for row in rows:
            shares = dict(zip(PARTS, (float(c.rstrip(" %")) for c in row[5:12])))
            assert all(0 <= s <= 100 for s in shares.values()), row
            assert abs(sum(shares.values()) - 100) < 0.5, row
            assert shares["fields"] > 0 and float(row[2]) > 0 and float(row[4]) > 0, row
            assert all(shares[part] > 0 for part in ADDED.get(row[0], ())), row
            if row[0].startswith("empty box"):
                assert shares["dispersive"] == shares["anisotropic"] == shares["sources"] == \
                    shares["monitors"] == 0, row
