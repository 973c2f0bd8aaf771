"""Which instantiation a call runs, and that the choice changes no bit.

The field updates, the dispersive pass and the monitor have a compact
instantiation (32-bit offsets, strides known from the sizes) that a call
takes when every tensor is contiguous with the extents it needs, and the
general one otherwise. ORVANE_LAYOUT, read once per process, overrides the
choice: `strided` always takes the general one, `compact` requires the
compact one and fails a call that cannot have it. Each setting runs in its
own interpreter; every class of input must give the same bits under every
setting that accepts it, and match the float64 reference.
"""
import os
import pathlib
import subprocess
import sys

import torch

import test_dispersion as dispersion
import test_fields as fields
import test_monitor as monitor
from layouts import every_other_trailing, reversed_storage

HERE = pathlib.Path(__file__).resolve().parent


def _field_update(func, case, change=None):
    args = func.build(case, torch.Generator().manual_seed(3))

    def run(backend):
        dev = [backend.tensor(a.clone()) for a in args]
        if change:
            dev[0] = change(dev[0])
        fields.run_module(backend, func, dev, case.layer_cells)
        return [dev[i] for i in func.updated]

    return run, lambda: fields.expected(func, args, case.layer_cells)


def _dispersive_pass(args, change=None):
    def run(backend):
        dev = dispersion.to_backend(backend, args)
        if change:
            dev["Ex"] = change(dev["Ex"])
        dispersion.run(backend.module, dev)
        return [dev[n] for n in dispersion.WRITTEN]

    return run, lambda: list(dispersion.expected(args).values())


def _monitor(case, change=None):
    args = monitor.monitor_args(case)

    def run(backend):
        dev = {n: backend.tensor(t.clone()) for n, t in args.items()}
        if change:
            dev["Ex"] = change(dev["Ex"])
        backend.module.Monitor_Update_E(*dev.values())
        return [dev["Ex_acc"], dev["Ey_acc"], dev["Ez_acc"]]

    return run, lambda: list(monitor.expected(args))


H, E = fields.UPDATE_H, fields.UPDATE_E
Case = fields.Case
BOX = ((1, 4), (2, 5), (0, 3))
# name: (whether the compact instantiation takes it, what runs it)
CLASSES = {
    "H contiguous": (True, lambda: _field_update(H, Case((1, 1, 1), (7, 6, 5), (2, 1, 2)))),
    "H contiguous, batched, B2 = 2": (True, lambda: _field_update(H, Case((2, 3, 2), (5, 4, 6),
                                                                           (1, 2, 1)))),
    "H oversized tensors": (False, lambda: _field_update(H, Case((1, 2, 1), (5, 4, 6), (1, 1, 1),
                                                                 extra=1))),
    "E contiguous, B2 = 2": (True, lambda: _field_update(E, Case((1, 1, 2), (6, 5, 7), (2, 2, 1)))),
    "E batched": (True, lambda: _field_update(E, Case((2, 2, 1), (4, 5, 3), (1, 1, 1)))),
    "E with a permuted Ex": (False, lambda: _field_update(E, Case((1, 1, 1), (6, 5, 7), (2, 2, 1)),
                                                          reversed_storage)),
    "dispersive pass contiguous": (True, lambda: _dispersive_pass(dispersion.problem(B=(1, 1, 1)))),
    "dispersive pass batched": (True, lambda: _dispersive_pass(dispersion.problem(B=(2, 3, 2)))),
    "dispersive pass oversized grids": (False, lambda: _dispersive_pass(dispersion.problem(
        extra=1))),
    "dispersive pass, Ex a strided view": (False, lambda: _dispersive_pass(
        dispersion.problem(B=(1, 1, 1)), every_other_trailing)),
    "monitor contiguous": (True, lambda: _monitor(monitor.Monitor((1, 1), 1, 1, BOX))),
    "monitor, Ex a strided view (fields may be)": (True, lambda: _monitor(
        monitor.Monitor((2, 3), 4, 4, BOX), every_other_trailing)),
    "monitor oversized accumulators": (False, lambda: _monitor(monitor.Monitor((2, 2), 3, 1, BOX,
                                                                               extra=2))),
}


def outcomes(backend_name: str) -> dict:
    """Each class's updated tensors (on the CPU), or the message of its
    failure, under this process's ORVANE_LAYOUT."""
    from conftest import _make_backend

    backend = _make_backend(backend_name)
    out = {}
    for name, (_, make) in CLASSES.items():
        run, _ = make()
        try:
            out[name] = [t.cpu() for t in run(backend)]
        except RuntimeError as exc:
            out[name] = str(exc)
    return out


def _outcomes_with(setting: str, backend_name: str, tmp_path) -> dict:
    path = tmp_path / f"{setting}.pt"
    code = (f"import sys, torch; sys.path.insert(0, {str(HERE)!r}); import test_layouts; "
            f"torch.save(test_layouts.outcomes({backend_name!r}), {str(path)!r})")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=300,
                   env={**os.environ, "ORVANE_LAYOUT": setting})
    return torch.load(path)


def test_each_input_class_takes_its_path_and_every_path_gives_the_same_bits(backend, tmp_path):
    chosen = outcomes(backend.name)
    strided = _outcomes_with("strided", backend.name, tmp_path)
    compact = _outcomes_with("compact", backend.name, tmp_path)
    unknown = _outcomes_with("fastest", backend.name, tmp_path)
    for name, (takes_compact, make) in CLASSES.items():
        got = chosen[name]
        for other in [strided[name]] + [compact[name]] * takes_compact:
            assert all(torch.equal(a, b) for a, b in zip(got, other, strict=True)), name
        if not takes_compact:
            assert "ORVANE_LAYOUT=compact, but the tensors do not all have" in compact[name], name
        assert "ORVANE_LAYOUT must be auto, strided or compact, got 'fastest'" in unknown[name]
        for a, w in zip(got, make()[1](), strict=True):
            torch.testing.assert_close(a.to(w.dtype), w, atol=2e-5, rtol=2e-5, msg=name)

