"""The CPU walker's fast rows.

Contiguous fields with one or two trailing batch slots (real or complex
fields) run in rows cut into layer and interior segments, with their strides
pinned, and, on processors with AVX2 and FMA, as wide code. Every other layout runs the plain walk, cell
by cell, as the GPU does. The fast rows must give the reference's values and
the very bits of the plain walk and of the baseline build, for every way the
layers can cut a row.
"""
import dataclasses
import os
import pathlib
import subprocess
import sys

import pytest
import torch

import test_dispersion as disp
from layouts import every_other_trailing
from test_fields import (UPDATE_E, UPDATE_H, Case, check_against_reference, device_copy,
                         run_module)

# B2 = 1 or 2: the layouts the fast rows take.
FAST_CASES = {
    "complex-fields": Case((1, 1, 2), (11, 9, 13), (3, 2, 4)),
    "complex-batched": Case((2, 2, 2), (6, 7, 9), (2, 1, 3)),
    "layers-on-all-faces": Case((1, 1, 1), (11, 9, 13), (3, 2, 4)),
    "batched-B0-B1": Case((2, 3, 1), (6, 7, 9), (2, 1, 3)),
    "long-z-rows": Case((1, 1, 1), (3, 4, 45), (1, 1, 6)),
    "layers-overlap-2L-above-N": Case((1, 1, 1), (5, 3, 4), (3, 2, 3)),
    "layers-thicker-than-the-grid": Case((1, 1, 1), (4, 5, 3), (6, 7, 5)),
    "no-layers": Case((1, 2, 1), (4, 6, 17), (0, 0, 0)),
    "one-cell-along-y-and-z": Case((1, 1, 1), (6, 1, 1), (1, 0, 1)),
    "one-cell-along-x": Case((1, 1, 1), (1, 5, 19), (0, 2, 3)),
    "thickness-clamped-to-slots": Case((1, 1, 1), (7, 6, 12), (5, 5, 9), slots=(4, 2, 6)),
    "negative-thickness": Case((1, 1, 1), (5, 6, 11), (-3, 2, -1), slots=(0, 4, 2)),
    "oversized-tensors": Case((1, 1, 1), (7, 6, 10), (2, 2, 3), extra=1),
}
FUNCS = [pytest.param(UPDATE_H, id="H"), pytest.param(UPDATE_E, id="E")]


def z_strided(t: torch.Tensor) -> torch.Tensor:
    """The same values with no unit stride along z: the plain walk."""
    return every_other_trailing(t) if t.dim() >= 6 else t.clone()


@pytest.mark.parametrize("func", FUNCS)
@pytest.mark.parametrize("case", FAST_CASES.values(), ids=FAST_CASES.keys())
def test_fast_rows_match_the_reference(backend, func, case):
    check_against_reference(backend, func, case, seed=3)


def _run_both_layouts(func, case, seed):
    from conftest import _make_backend

    cpu = _make_backend("cpu")
    gen = torch.Generator().manual_seed(seed)
    args = func.build(case, gen)
    fast = [device_copy(cpu, a) for a in args]
    plain = [z_strided(a.clone()) for a in args]
    run_module(cpu, func, fast, case.layer_cells)
    run_module(cpu, func, plain, case.layer_cells)
    return [fast[i] for i in func.updated], [plain[i] for i in func.updated]


@pytest.mark.parametrize("func", FUNCS)
@pytest.mark.parametrize("case", FAST_CASES.values(), ids=FAST_CASES.keys())
def test_fast_rows_give_the_bits_of_the_plain_walk(func, case):
    for fast, plain in zip(*_run_both_layouts(func, case, seed=4)):
        assert torch.equal(fast, plain)


# Enough rows for several chunks of the CPU launcher's grain (16384 cells):
# 192 rows of 576 cells, 28 rows a chunk.
SHARED = Case((2, 2, 1), (48, 24, 24), (3, 2, 4))


@pytest.mark.parametrize("func", FUNCS)
@pytest.mark.parametrize("B2", [1, 2])
def test_rows_shared_between_threads_give_the_bits_of_one_thread(func, B2):
    from conftest import _make_backend

    cpu = _make_backend("cpu")
    case = dataclasses.replace(SHARED, batch=(*SHARED.batch[:2], B2))
    args = func.build(case, torch.Generator().manual_seed(7))
    results = []
    threads = torch.get_num_threads()
    try:
        for t in (1, 2):
            torch.set_num_threads(t)
            dev = [device_copy(cpu, a) for a in args]
            run_module(cpu, func, dev, case.layer_cells)
            results.append([dev[i] for i in func.updated])
    finally:
        torch.set_num_threads(threads)
    for one, two in zip(*results):
        assert torch.equal(one, two)


@pytest.mark.parametrize("B, N", [((1, 1, 1), (6, 5, 21)), ((2, 2, 1), (3, 4, 9)),
                                  ((1, 1, 1), (1, 1, 7)), ((1, 2, 2), (4, 5, 11))])
def test_dispersive_fast_rows(backend, B, N):
    args = disp.problem(B=B, N=N, seed=5)
    dev = disp.to_backend(backend, args)
    disp.run(backend.module, dev)
    disp.assert_matches(dev, disp.expected(args))
    if backend.name == "cpu":
        plain = {n: z_strided(t.clone()) for n, t in args.items()}
        disp.run(backend.module, plain)
        for name in disp.WRITTEN:
            assert torch.equal(dev[name], plain[name]), name


# The wide build against the baseline build, in fresh processes (the choice
# is made once per process).
_SCRIPT = """
import sys, torch
sys.path[:0] = [{root!r}, {tests!r}]
from test_cpu_rows import FAST_CASES, _run_both_layouts
from test_fields import UPDATE_E, UPDATE_H
out = {{}}
for name, case in FAST_CASES.items():
    for func in (UPDATE_H, UPDATE_E):
        out[name + func.name] = _run_both_layouts(func, case, seed=6)[0]
torch.save(out, {path!r})
"""


def _results_in_subprocess(tmp_path, baseline: bool):
    tests = pathlib.Path(__file__).resolve().parent
    path = str(tmp_path / f"baseline{int(baseline)}.pt")
    env = dict(os.environ, ORVANE_CPU_BASELINE="1" if baseline else "0")
    code = _SCRIPT.format(root=str(tests.parent), tests=str(tests), path=path)
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return torch.load(path)


def test_wide_and_baseline_builds_agree_bit_for_bit(tmp_path):
    wide = _results_in_subprocess(tmp_path, baseline=False)
    base = _results_in_subprocess(tmp_path, baseline=True)
    assert wide.keys() == base.keys()
    for key in wide:
        for a, b in zip(wide[key], base[key]):
            assert torch.equal(a, b), key
