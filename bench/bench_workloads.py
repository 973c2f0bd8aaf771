"""What a step costs on the runs users bring, and where its time goes.

    python3 bench/bench_workloads.py                        # CPU, 1 and 2 threads
    python3 bench/bench_workloads.py --backend cuda
    python3 bench/bench_workloads.py --configs mie waveguide --markdown table.md
    python3 bench/bench_workloads.py --quick                # small sizes, seconds

Four configurations, each a small table whose rows add one thing at a time:

  empty      an empty box of N³ cells with 10-cell layers (N = 60 and 128).
  mie        the sphere against Mie: a 60³ box at 20 cells per unit with
             10-cell layers; + a dielectric sphere (ε = 2.25, r = 0.5) at
             its centre; + the total-field box (±0.6, a pulse along +z
             recording its incident spectrum); + two closed flux boxes
             (±0.55 and ±0.7) of 12 frequencies, as ``orvane_sim mie`` sets
             them up.
  waveguide  a silicon strip (0.5 × 0.22 µm, n = 3.48) along x in silica
             (n = 1.444: substrate and cladding are one medium, painted as
             the background), 3 × 2 × 2 µm at 40 cells per µm with 10-cell
             layers; + two mode ports of 20 frequencies (λ 1.5 … 1.6 µm),
             the first one lit, as ``s_parameters(..., lit=[0])`` runs them.
  design     the metagrating of ``orvane_sim design`` (30 cells per unit):
             the step of its forward run and of its adjoint run (the same
             box with the adjoint sources). The runs are cut to 8 time
             units (420 steps; the demo runs 120): a step costs the same
             all through a run, and the gradient is not what is measured.

Each configuration also times an empty box of its own size (same cells,
layers, batch, real or complex fields and periodic axes, nothing painted
and no features): the "× empty" column is a row's step over that one's.

Per row and thread count (CPU: ``torch.set_num_threads``, with the
driver's thread tuner off so that the count is the one asked for; CUDA:
one row): the median over ``--repeats`` blocks of ``--steps`` steps (one
``Simulation.step`` call each, rounded up to whole periods of the monitors
that sum every k-th step, so that each block holds its share of their sums;
a design block is one forward and one adjoint run) of the time per step, in interleaved rounds so that the
machine's slow spells fall on every row alike; cell updates per second
(cells × batch entries per step); and the share of each part of the step.

How the shares are measured. The driver is measured from outside,
unchanged: for separate blocks (not the ones the times above come from)
the benchmark wraps what a step calls, each wrapper adding the wall time
of its call to a part (on CUDA with a device synchronisation before and
after it):

  fields      Update_H and Update_E, through a stand-in for ``sim.module``
              that forwards every call of the extension module;
  dispersive  the medium's ``apply`` (Update_E_Dispersion);
  anisotropic the smoothed tensor's couplings (Update_E_Anisotropic);
  sources     every source's ``after_h`` and ``after_e``, whole: the
              module's injections and the tensor operations around them;
  monitors    every monitor's ``update`` (a port is both: its injection
              counts as a source, its mode monitor as a monitor);
  boundaries  the periodic pass's ``apply`` and the conducting faces'
              clearing (``zero_tangential_faces``, ``zero_layer_strips``);
  host        the rest of the step: the driver's Python between those
              calls (and any module function not named above).

Limits: a wrapped call counts wholly to its part, whatever it calls inside
(the outermost wrapper wins), so the tensor operations inside a feature's
hook are that feature's. The wrappers cost time of their own (a few µs a
call on the CPU), most of it outside the timed calls: the host share is an
upper bound, and the table gives the instrumented step ("timed ms") beside
the plain one. On CUDA each timed call ends in a synchronisation, so host
and device work no longer overlap: the shares describe that serialised
step, and a host share that the plain step hides behind the kernels still
shows. "ops/step" counts, in one more step, the module's calls and the
tensor operations the driver's Python issues that are not views (each a
kernel launch or more on CUDA; ones inside the module's own calls are
not counted), as a ``TorchDispatchMode`` sees them, averaged over a block.
The parts can be told apart only while a step calls the module through
``sim.module`` and the features through their hooks; a step that stops
(fused, or captured whole) shows no field updates, and a warning says so.

``--quick`` runs every configuration at a fraction of its size, with few
steps, in seconds: a check that the benchmark runs, not a measurement.
"""
from __future__ import annotations

import argparse
import contextlib
import math
import pathlib
import statistics
import sys
import time
import warnings
from collections import defaultdict

import torch
from torch.utils._python_dispatch import TorchDispatchMode

# The modules built in place at the repository root come first.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

from orvane_sim import (Box, Dielectric, FluxBox, Object, Simulation, Sphere,  # noqa: E402
                        TotalFieldBox, gaussian)

PARTS = ("fields", "dispersive", "anisotropic", "sources", "monitors", "boundaries", "host")
MODULE_PARTS = {"Update_H": "fields", "Update_E": "fields",
                "Update_E_Dispersion": "dispersive", "Update_E_Anisotropic": "anisotropic",
                "Update_E_Periodic": "boundaries",
                "Inject_E": "sources", "Inject_H": "sources", "Inject_J": "sources",
                "Monitor_Update_E": "monitors"}
CONFIGS = ("empty", "mie", "waveguide", "design")
EMPTY = "empty box"


# -- timing what a step calls ----------------------------------------------

class PartClock:
    """Wall time per part of the step; nested timed calls count to the
    outermost one."""

    def __init__(self, cuda: bool):
        self.cuda = cuda
        self.seconds = defaultdict(float)
        self.depth = 0
        self.in_module = False  # inside an extension call: its own tensor work is not counted

    def sync(self) -> None:
        if self.cuda:
            torch.cuda.synchronize()

    def timed(self, part: str, fn):
        def call(*args, **kwargs):
            if self.depth:
                return fn(*args, **kwargs)
            self.depth += 1
            self.sync()
            t0 = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                self.sync()
                self.seconds[part] += time.perf_counter() - t0
                self.depth -= 1
        call.timed_part = part
        return call

    def take(self) -> dict:
        out, self.seconds = dict(self.seconds), defaultdict(float)
        return out


class TimedModule:
    """Stands in for the extension module: forwards every function, timing
    those of ``MODULE_PARTS`` and counting every call."""

    def __init__(self, module, clock: PartClock):
        self._module, self._clock, self._wrapped = module, clock, {}
        self.calls = 0

    def __getattr__(self, name):
        fn = self._wrapped.get(name)
        if fn is None:
            real = getattr(self._module, name)
            if not callable(real):
                return real
            part = MODULE_PARTS.get(name)
            timed = self._clock.timed(part, real) if part else real

            def fn(*args, **kwargs):
                self.calls += 1
                self._clock.in_module = True
                try:
                    return timed(*args, **kwargs)
                finally:
                    self._clock.in_module = False
            self._wrapped[name] = fn
        return fn


class OpCounter(TorchDispatchMode):
    """Counts the tensor operations that do work (views left out), outside
    the extension's own calls."""

    def __init__(self, clock: PartClock):
        super().__init__()
        self.clock, self.ops = clock, 0

    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        if not self.clock.in_module and not func.is_view:
            self.ops += 1
        return func(*args, **(kwargs or {}))


class Instruments:
    """The wrappers on one simulation: put on before a step (idempotent, so
    that features a run builds afresh are wrapped too), taken off after."""

    def __init__(self, sim, clock: PartClock):
        self.sim, self.clock = sim, clock
        self.module = None
        self.patched = []  # (object, attribute, what its own __dict__ held)

    def _wrap(self, obj, name: str, part: str) -> None:
        current = getattr(obj, name, None)
        if current is None or getattr(current, "timed_part", None):
            return
        self.patched.append((obj, name, obj.__dict__.get(name)))
        setattr(obj, name, self.clock.timed(part, current))

    def install(self) -> None:
        sim = self.sim
        if self.module is None:
            self.module = TimedModule(sim.module, self.clock)
            sim.module = self.module
        for source in sim.sources:
            self._wrap(source, "after_h", "sources")
            self._wrap(source, "after_e", "sources")
        for monitor in sim.monitors:
            self._wrap(monitor, "update", "monitors")
        if sim.medium is not None:
            self._wrap(sim.medium, "apply", "dispersive")
        if sim.periodic is not None:
            self._wrap(sim.periodic, "apply", "boundaries")
        self._wrap(sim, "zero_tangential_faces", "boundaries")
        self._wrap(sim, "zero_layer_strips", "boundaries")

    def remove(self) -> None:
        for obj, name, own in reversed(self.patched):
            if own is None:
                delattr(obj, name)
            else:
                setattr(obj, name, own)
        self.patched = []
        if self.module is not None:
            self.sim.module = self.module._module
            self.module = None


class StepRecorder:
    """Wraps ``sim.step`` (who calls it, the benchmark or a Design, does not
    matter): each call's time and steps go to the row named ``bucket``;
    with ``parts`` on, the call runs instrumented and its parts are kept;
    with ``counting`` on, its module calls and tensor operations."""

    def __init__(self, sim, bucket: str):
        self.sim, self.bucket = sim, bucket
        self.clock = PartClock(sim.device.type == "cuda")
        self.instruments = Instruments(sim, self.clock)
        self.parts = self.counting = False
        self.clear()
        self._step = sim.step
        sim.step = self.step

    def clear(self) -> None:
        self.seconds, self.steps = defaultdict(float), defaultdict(int)
        self.part_seconds = defaultdict(lambda: defaultdict(float))
        self.ops = defaultdict(int)

    def step(self, count: int = 1) -> None:
        instrumented = self.parts or self.counting
        if instrumented:
            self.instruments.install()
            calls = self.instruments.module.calls
        counter = OpCounter(self.clock) if self.counting else contextlib.nullcontext()
        self.clock.sync()
        t0 = time.perf_counter()
        with counter:
            self._step(count)
        self.clock.sync()
        b = self.bucket
        self.seconds[b] += time.perf_counter() - t0
        self.steps[b] += count
        if instrumented:
            for part, s in self.clock.take().items():
                self.part_seconds[b][part] += s
        if self.counting:
            self.ops[b] += counter.ops + self.instruments.module.calls - calls

    def plain(self) -> None:
        self.parts = self.counting = False
        self.instruments.remove()


# -- the configurations ----------------------------------------------------

class SimRow:
    """A row that is one simulation stepped ``steps`` at a time."""

    def __init__(self, label: str, sim):
        self.labels = (label,)
        self.sim = sim
        self.recorder = StepRecorder(sim, label)
        self.cells = math.prod(sim.shape) * math.prod(sim.batch)

    def block(self, steps: int) -> None:
        self.sim.step(whole_periods(self.sim, steps))


def whole_periods(sim, steps: int) -> int:
    """``steps`` rounded up to whole periods of the features (a monitor that
    sums every k-th step has period k), so that every block holds its share
    of their sums."""
    sim.settle_monitors()
    period = 1
    for feature in list(sim.sources) + list(sim.monitors):
        period = math.lcm(period, int(getattr(feature, "period", 1)))
    return period * math.ceil(steps / period)


class DesignRows:
    """The forward and the adjoint run of an inverse-design problem (one
    gradient of the metagrating's efficiency), a row each; ``block`` runs
    both."""

    labels = ("forward run", "adjoint run")

    def __init__(self, problem):
        self.problem = problem
        self.sim = sim = problem.sim
        self.recorder = StepRecorder(sim, self.labels[0])
        self.cells = math.prod(sim.shape) * math.prod(sim.batch)
        design = problem.design
        for method, label in zip(("forward", "backward"), self.labels):
            setattr(design, method, self._in_bucket(getattr(design, method), label))
        gen = torch.Generator().manual_seed(0)
        self.rho = torch.rand(*problem.region.shape, dtype=torch.float64, generator=gen)

    def _in_bucket(self, run, label):
        def wrapped(*args, **kwargs):
            self.recorder.bucket = label
            return run(*args, **kwargs)
        return wrapped

    def block(self, steps: int) -> None:
        rho = self.rho.clone().requires_grad_()
        with warnings.catch_warnings():
            # the runs are cut short of the fields' decay on purpose
            warnings.simplefilter("ignore", RuntimeWarning)
            self.problem.efficiency(rho).backward()


def empty_like(sim):
    """A box of ``sim``'s cells, spacing, layers, batch, fields and periodic
    axes, with nothing in it."""
    from orvane_sim import BlochBoundary

    empty = Simulation(shape=sim.shape, spacing=sim.spacing, layers=sim.faces,
                       backend=sim.backend, b2=sim.b2, batch=sim.batch)
    if sim.periodic is not None:
        axes = sim.periodic.axes
        empty.periodic = BlochBoundary(empty, x=0 in axes, y=1 in axes, k=sim.periodic.k)
    return empty


def empty_rows(quick: bool, backend: str):
    sizes, layers = ((16, 24), 4) if quick else ((60, 128), 10)
    return [SimRow(f"{EMPTY} {n}³", Simulation(shape=n, layers=layers, backend=backend))
            for n in sizes]


def mie_rows(quick: bool, backend: str):
    from orvane_sim.demos.mie import box_cells, size_parameters

    resolution, layers = (10, 5) if quick else (20, 10)
    size, radius = 3.0, 0.5
    c = size / 2
    inner, total, outer, _ = box_cells(resolution)
    nu = (size_parameters(12) / (2 * math.pi * radius)).tolist()

    def around(cells):
        half = cells / resolution
        return ((c - half,) * 3, (c + half,) * 3)

    def box(sphere=False, tfsf=False, flux=False):
        objects = [Object(Sphere((c, c, c), radius), Dielectric(2.25))] if sphere else None
        sim = Simulation(size=size, resolution=resolution, layers=layers, backend=backend,
                         objects=objects)
        if tfsf:
            centre, width = 0.5 * (nu[0] + nu[-1]), 1.0
            sim.add(TotalFieldBox(sim, gaussian(4 * width, width, centre), direction="+z",
                                  polarization="x", box=around(total), frequencies=nu))
        if flux:
            sim.add(FluxBox(sim, nu, box=around(outer)))
            sim.add(FluxBox(sim, nu, box=around(inner)))
        return sim

    return [SimRow(EMPTY, box()),
            SimRow("+ sphere (ε = 2.25, r = 0.5)", box(sphere=True)),
            SimRow("+ total-field box", box(sphere=True, tfsf=True)),
            SimRow("+ two flux boxes, 12 frequencies", box(sphere=True, tfsf=True, flux=True))]


def waveguide_rows(quick: bool, backend: str):
    from orvane_sim.circuits import ModePort

    if quick:
        resolution, layers, (length, width, height) = 20, 6, (1.6, 1.6, 1.6)
    else:
        resolution, layers, (length, width, height) = 40, 10, (3.0, 2.0, 2.0)
    silica, silicon = Dielectric(1.444**2), Dielectric(3.48**2)
    cy, cz = width / 2, height / 2
    strip = Object(Box((-1.0, cy - 0.25, cz - 0.11), (length + 1.0, cy + 0.25, cz + 0.11)),
                   silicon)
    nu = (1.0 / torch.linspace(1.6, 1.5, 20, dtype=torch.float64)).tolist()
    margin = layers / resolution + 0.1  # clear of the layers

    def guide(ports: bool):
        sim = Simulation(size=(length, width, height), resolution=resolution, layers=layers,
                         backend=backend, objects=[strip], background=silica)
        if ports:
            def plane(x):
                return ((x, margin, margin), (x, width - margin, height - margin))

            lit = sim.add(ModePort(sim, nu, box=plane(margin), direction="+x"))
            dark = sim.add(ModePort(sim, nu, box=plane(length - margin), direction="-x"))
            lit.lit, dark.lit = torch.tensor([True]), torch.tensor([False])
        return sim

    plain = guide(False)
    return [SimRow(EMPTY, empty_like(plain)), SimRow("strip in silica", plain),
            SimRow("+ two mode ports, 20 frequencies", guide(True))]


def design_rows(quick: bool, backend: str):
    from orvane_sim.demos.metagrating import Metagrating

    problem = Metagrating(resolution=10 if quick else 30, backend=backend, run_time=8.0)
    return [SimRow(EMPTY, empty_like(problem.sim)), DesignRows(problem)]


BUILDERS = {"empty": empty_rows, "mie": mie_rows, "waveguide": waveguide_rows,
            "design": design_rows}
TITLES = {"empty": "(a) the empty box", "mie": "(b) the Mie configuration",
          "waveguide": "(c) a silicon strip waveguide",
          "design": "(d) the metagrating design's runs"}


# -- measuring ---------------------------------------------------------------

def measure(rows, steps: int, repeats: int, threads) -> dict:
    """{(label, threads): result} for every row of one configuration."""
    out = {}
    plain = defaultdict(list)  # (label, threads) -> seconds per step, one per block
    settings = threads or [None]

    def use(t):
        if t is not None:
            torch.set_num_threads(t)

    for row in rows:
        if row.sim.device.type == "cpu":
            row.sim.tune_threads = False  # the count is the one asked for
    for t in settings:  # one block each to warm up
        use(t)
        for row in rows:
            row.block(steps)
    for _ in range(repeats):
        for t in settings:
            use(t)
            for row in rows:
                row.recorder.clear()
                row.block(steps)
                for label in row.labels:
                    r = row.recorder
                    plain[label, t].append(r.seconds[label] / r.steps[label])
    for t in settings:
        use(t)
        for row in rows:
            r = row.recorder
            r.clear()
            r.parts = True
            for _ in range(repeats):
                row.block(steps)
            parts, seconds, counted = r.part_seconds, dict(r.seconds), dict(r.steps)
            r.clear()
            r.parts, r.counting = False, True
            row.block(steps)
            ops = {label: r.ops[label] / r.steps[label] for label in row.labels}
            r.plain()
            for label in row.labels:
                timed = seconds[label] / counted[label]
                shares = {p: parts[label].get(p, 0.0) / seconds[label] for p in PARTS[:-1]}
                shares["host"] = 1.0 - sum(shares.values())
                if shares["fields"] == 0:
                    # the step no longer reaches Update_H/E through sim.module (a fused or
                    # captured step): the wrappers cannot tell its parts apart
                    print(f"warning: {label}: no field update went through sim.module; the "
                          f"shares are not the step's", file=sys.stderr)
                out[label, t] = dict(seconds=statistics.median(plain[label, t]), timed=timed,
                                     shares=shares, ops=ops[label], cells=row.cells)
    for (label, t), result in out.items():
        # an empty box of (a) is its own yardstick; every other row has its configuration's
        result["ratio"] = result["seconds"] / out[label if label.startswith(EMPTY) else EMPTY,
                                                  t]["seconds"]
    return out


def table(results: dict, labels, markdown: bool) -> str:
    head = ["configuration", "threads", "ms/step", "Mcell/s", "× empty", *PARTS,
            "timed ms", "ops/step"]
    rows = []
    for label in labels:
        for (lab, t), r in results.items():
            if lab != label:
                continue
            rows.append([label, "GPU" if t is None else str(t), f"{r['seconds'] * 1e3:.3f}",
                         f"{r['cells'] / r['seconds'] / 1e6:.1f}", f"{r['ratio']:.2f}",
                         *(f"{100 * r['shares'][p]:.1f} %" for p in PARTS),
                         f"{r['timed'] * 1e3:.3f}", f"{r['ops']:.0f}"])
    if markdown:
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        lines += ["| " + " | ".join(r) + " |" for r in rows]
        return "\n".join(lines)
    widths = [max(len(x[i]) for x in [head] + rows) for i in range(len(head))]
    fmt = [f"{{:<{w}}}" if i == 0 else f"{{:>{w}}}" for i, w in enumerate(widths)]
    return "\n".join("  ".join(f.format(x) for f, x in zip(fmt, line)) for line in [head] + rows)


def device_line(backend: str, threads) -> str:
    if backend == "cuda":
        return f"device: {torch.cuda.get_device_name()}"
    return (f"device: CPU; threads {', '.join(map(str, threads))} (PyTorch's default here: "
            f"{torch.get_num_threads()})")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    ap.add_argument("--configs", nargs="+", choices=CONFIGS, default=list(CONFIGS),
                    help="which configurations (default: all)")
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2],
                    help="CPU thread counts (default: 1 2)")
    ap.add_argument("--steps", type=int, default=None,
                    help="steps per timed block (default 20, 4 with --quick)")
    ap.add_argument("--repeats", type=int, default=None,
                    help="timed blocks per row and thread count (default 5, 2 with --quick)")
    ap.add_argument("--quick", action="store_true",
                    help="every configuration at a fraction of its size: a check that it runs")
    ap.add_argument("--markdown", metavar="FILE", help="also write the tables as Markdown")
    args = ap.parse_args(argv)
    steps = args.steps or (4 if args.quick else 20)
    repeats = args.repeats or (2 if args.quick else 5)
    if steps < 1 or repeats < 1 or min(args.threads) < 1:
        ap.error("--steps, --repeats and --threads take whole numbers of 1 or more")
    if args.backend == "cuda" and not torch.cuda.is_available():
        ap.error("--backend cuda needs a CUDA device")
    threads = None if args.backend == "cuda" else args.threads
    saved = torch.get_num_threads()
    head = (f"{device_line(args.backend, threads or [])}; {steps} steps a block, median of "
            f"{repeats} blocks{'; --quick sizes' if args.quick else ''}")
    print(head, flush=True)
    markdown = [head, ""]
    try:
        for name in [c for c in CONFIGS if c in args.configs]:
            rows = BUILDERS[name](args.quick, args.backend)
            labels = [label for row in rows for label in row.labels]
            results = measure(rows, steps, repeats, threads)
            print(f"\n{TITLES[name]}\n{table(results, labels, False)}", flush=True)
            markdown += [f"{TITLES[name]}:", "", table(results, labels, True), ""]
    finally:
        torch.set_num_threads(saved)
    if args.markdown:
        pathlib.Path(args.markdown).write_text("\n".join(markdown))
        print(f"\nwrote {args.markdown}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
