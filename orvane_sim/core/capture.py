"""Blocks of time steps captured as one CUDA graph and replayed
(``Simulation(..., cuda_graph=True)``).

Why: a step launches a few dozen kernels, many of them small (a source's
corrections, a monitor's sums), and on a GPU the host's time to launch them
can exceed the device's time to run them. A CUDA graph holds a whole block
of steps and launches it in one call.

What that asks of a step, and how the driver meets it:

- Nothing in a step waits for the device or decides on a tensor's value:
  the values that change from step to step come from ``StepTable``s, and
  the checks that read tensors (a plane in vacuum, finite fields) run
  between calls.
- A replay reads and writes the memory it was captured with: each feature
  says, in ``prepare_steps(sim, first, count)``, that it has filled its
  tables for the block in place, or why the block cannot be captured (an
  incident line that grows during it replaces its tensor). Such a block
  runs step by step and the graph is captured again after it.
- The Python numbers a step advances (the step counts) change by the same
  amount in every block: the capture notes how each changed, puts them
  back (nothing ran yet), and each replay applies those changes.
- A step's pattern repeats: a monitor that sums every k-th step, or a
  source's spectrum recorded so, sums on the same steps of every block when
  blocks start at multiples of a common period (each feature's
  ``period``, 1 where it has none).

Steps before the first whole block, a call's last partial block, and the
first block (run on a side stream, so that whatever a kernel sets up on
first use is set up outside the capture) run step by step. A feature of
the caller's own (no ``prepare_steps``), a box split into slabs (its halo
travels between processes inside a step) or a run on the CPU is not
captured: ``refusal`` says why, and the simulation steps as it would
without the option.
"""
from __future__ import annotations

import math

import torch

from . import steptables

# Steps per captured block, at least: enough that one launch replaces many.
BLOCK = 64


def refusal(sim) -> str | None:
    """Why the simulation's steps cannot be captured as CUDA graphs, or
    None where they can."""
    if sim.placement.axis is not None:
        return "a box split into slabs exchanges its halo with other processes within a step"
    periodic = sim.periodic
    if periodic is not None and type(periodic).__module__ != "orvane_sim.core.periodic":
        return f"the periodic pass {type(periodic).__name__} is not one of the driver's own"
    for kind, features in (("source", sim.sources), ("monitor", sim.monitors)):
        for feature in features:
            if not hasattr(feature, "prepare_steps"):
                return (f"the {kind} {type(feature).__name__} does not say how it prepares "
                        "its per-step values for a captured block (prepare_steps)")
    if block_length(sim) is None:
        return (f"the features' periods (monitors summing every k-th step) repeat only after "
                f"more than {steptables.StepTable.CHUNK} steps")
    if sim.device.type != "cuda":
        return ("CUDA graphs hold GPU work, and this simulation runs on the CPU "
                "(backend='cpu')")
    return None


def _features(sim):
    seen = set()
    for feature in list(sim.sources) + list(sim.monitors):
        if id(feature) not in seen:  # a port is both
            seen.add(id(feature))
            yield feature


def block_length(sim) -> int | None:
    """Steps per block: a multiple of every feature's period, at least
    ``BLOCK``, at most a table's ``CHUNK`` (None where none fits)."""
    period = 1
    for feature in _features(sim):
        period = math.lcm(period, int(getattr(feature, "period", 1)))
    length = period * math.ceil(BLOCK / period)
    return length if length <= steptables.StepTable.CHUNK else None


def _numbers(sim) -> dict:
    """{path: (value, owner, key)} of the Python numbers the simulation and
    its features hold (the walk a checkpoint makes)."""
    from .checkpoint import entries

    return {p: e for p, e in entries(sim).items()
            if e[0] is not None and not isinstance(e[0], torch.Tensor)}


def _tensor_places(sim) -> dict:
    """{path: data pointer} of every tensor the simulation and its features
    hold: where a replay reads and writes."""
    from .checkpoint import entries

    return {p: v.data_ptr() for p, (v, _, _) in entries(sim).items()
            if isinstance(v, torch.Tensor)}


def _restore(numbers: dict) -> None:
    """Put back the numbers of ``_numbers`` that have changed since."""
    for value, owner, key in numbers.values():
        if not isinstance(owner, tuple) and _value(owner, key) != value:
            _assign(owner, key, value)


def _assign(owner, key, value) -> None:
    if isinstance(owner, (list, dict)):
        owner[key] = value
    else:
        setattr(owner, key, value)


class GraphFallback(UserWarning):
    """``cuda_graph`` was asked for where steps cannot be captured: the
    simulation steps without graphs, for the reason given."""


class CudaGraph:
    """One captured block: ``capture(run)`` records what ``run()`` launches
    without running it, ``replay()`` runs it."""

    def __init__(self, sim):
        self.graph = torch.cuda.CUDAGraph()

    def capture(self, run) -> None:
        with torch.cuda.graph(self.graph):
            run()

    def replay(self) -> None:
        self.graph.replay()

    @staticmethod
    def warm_up(run) -> None:
        """Run ``run()`` on a side stream, as work before a capture should."""
        side = torch.cuda.Stream()
        side.wait_stream(torch.cuda.current_stream())
        with torch.cuda.stream(side):
            run()
        torch.cuda.current_stream().wait_stream(side)


class Rehearsal:
    """A stand-in for ``CudaGraph`` on any device, so that everything the
    graph path does on the host is exercised where no GPU is (tests):
    ``capture`` runs the block's Python as a capture does and then puts
    every tensor back, as if nothing had run; ``replay`` runs it again and
    puts the Python numbers back, as a replay leaves them."""

    def __init__(self, sim):
        self.sim = sim
        self.run = None

    def capture(self, run) -> None:
        from .checkpoint import entries

        kept = [(v, v.clone()) for v, _, _ in entries(self.sim).values()
                if isinstance(v, torch.Tensor) and 0 not in v.stride()]
        run()
        with torch.no_grad():
            for tensor, value in kept:
                tensor.copy_(value)
        self.run = run

    def replay(self) -> None:
        kept = _numbers(self.sim)
        with steptables.frozen():
            self.run()
        _restore(kept)

    @staticmethod
    def warm_up(run) -> None:
        run()


class CapturedSteps:
    """Steps of a simulation in captured blocks (see the module's text).
    ``graphs``: the class of the blocks' graphs (``CudaGraph``, or
    ``Rehearsal`` to exercise the path anywhere)."""

    TRANSIENT = True  # no state of the run: a checkpoint passes it by

    def __init__(self, sim, graphs=CudaGraph):
        self.sim = sim
        self.graphs = graphs
        self.graph = None
        self.length = None
        self.deltas = []  # (owner, key, change) of each number a block advances
        self.places = None  # where the tensors were when the graph was captured
        self.parts = None  # the medium, the anisotropic and periodic passes and the features it was captured with
        self.warm = False

    def advance(self, count: int, first: bool) -> None:
        """``count`` steps; ``first``: they begin a call of ``step``."""
        sim = self.sim
        length = block_length(sim)
        if length != self.length:
            self._drop()
            self.length = length
        checked = False  # whether the graph still fits where the tensors are
        done = 0
        while done < count:
            left = count - done
            to_edge = -sim.steps_done % length
            if to_edge or left < length:  # up to the next block's start, or the last steps
                n = min(left, to_edge or left)
                sim._steps(n, first and done == 0)
                done += n
                continue
            if not checked:  # (between calls the caller may have replaced tensors or features)
                if self.graph is not None and (_tensor_places(sim) != self.places
                                               or not _same(_parts(sim), self.parts)):
                    self._drop()
                checked = True
            if self._prepare(length) is not None:  # the block changes where tensors are
                sim._steps(length, first and done == 0)
                self._drop()
            elif not self.warm:
                self.graphs.warm_up(lambda: sim._steps(length, first and done == 0))
                self.warm = True
            else:
                if self.graph is None:
                    self._capture(length)
                self.graph.replay()
                for owner, key, change in self.deltas:
                    _assign(owner, key, _value(owner, key) + change)
            done += length

    def _prepare(self, length: int) -> str | None:
        """Every feature's per-step values for the block that starts now;
        the first reason one gives why the block cannot be captured."""
        sim = self.sim
        for feature in _features(sim):
            reason = feature.prepare_steps(sim, sim.steps_done, length)
            if reason is not None:
                return reason
        return None

    def _capture(self, length: int) -> None:
        sim = self.sim
        before = _numbers(sim)
        places = _tensor_places(sim)
        graph = self.graphs(sim)
        try:
            with steptables.frozen():
                graph.capture(lambda: sim._steps(length, False, whole_faces=True))
            after = _numbers(sim)
            moved = [p for p, ptr in _tensor_places(sim).items() if places.get(p) != ptr]
        finally:
            _restore(before)
        if moved:
            raise RuntimeError(f"a captured block of steps replaced {', '.join(moved[:3])}: the "
                               "graph would write where nothing reads; step without "
                               "cuda_graph")
        deltas = []
        for path, (value, owner, key) in after.items():
            old = before.get(path, (None,))[0]
            if value == old:
                continue
            if not (isinstance(value, int) and isinstance(old, int)) or isinstance(value, bool) \
                    or isinstance(owner, tuple):
                raise RuntimeError(f"a captured block of steps changed {path} from {old!r} to "
                                   f"{value!r}, which a replay cannot repeat; step without "
                                   "cuda_graph")
            deltas.append((owner, key, value - old))
        # held, so that none of what the graph reads is freed while it lives
        self.graph, self.deltas, self.places, self.parts = graph, deltas, places, _parts(sim)

    def _drop(self) -> None:
        self.graph, self.deltas, self.places, self.parts = None, [], None, None


def _parts(sim) -> list:
    return [sim.medium, sim.anisotropy, sim.periodic, *_features(sim)]


def _same(a, b) -> bool:
    return b is not None and len(a) == len(b) and all(x is y for x, y in zip(a, b))


def _value(owner, key):
    return owner[key] if isinstance(owner, (list, dict)) else getattr(owner, key)
