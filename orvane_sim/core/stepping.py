"""The time step: the order in which one step runs the field updates and
the features (the path docs/layout.md traces), the run loop with its
checkpoints and watch for non-finite fields, and the conducting faces kept
at zero. ``Simulation`` takes it as a base class; the state it steps is
the simulation's own.
"""
from __future__ import annotations

import math
import warnings

import torch

from .threads import ThreadTuner


class NonFiniteFields(FloatingPointError):
    """A field holds a NaN or an infinity (``Simulation.check_finite``)."""


class Stepping:
    """``step``, ``run`` and what they call, for ``Simulation``."""

    @property
    def tune_threads(self) -> bool:
        """On the CPU: whether ``step`` takes the thread count that its own
        timings find fastest on the machine now (``orvane_sim.core.threads``; on
        by default, for a box not split over processes). PyTorch keeps that
        count between calls; ``run`` gives the caller's back when it returns,
        and so does setting this to False, which keeps PyTorch's count."""
        return self._threads is not None

    @tune_threads.setter
    def tune_threads(self, on: bool) -> None:
        if self._threads is not None:
            self._threads.release()
        self._threads = ThreadTuner() if on and self.device.type == "cpu" else None

    def step(self, count: int = 1) -> None:
        """Advance ``count`` time steps: H update and H sources, E update and
        dispersive pass, E sources, periodic ghosts, conducting faces, then
        the monitors (on the CPU with the thread count ``tune_threads``
        picks). A source that must see a certain medium (a plane wave's
        plane in vacuum) checks the one painted now, before any step, and a
        monitor that sums every k-th step settles k for the sources it runs
        with (``settle``). With ``cuda_graph`` on, whole blocks of steps run
        as captured CUDA graphs (``core.capture``)."""
        self.prepare_features()
        self._graphs_now = self._graph_runner()
        if self._threads is None:
            self._advance(count, True)
        else:
            self._threads.advance(count, self._advance)

    def prepare_features(self) -> None:
        """What the features settle before steps: each source that must see
        a certain medium checks the one painted now, each monitor chooses
        how often it sums."""
        for source in self.sources:
            check = getattr(source, "check_medium", None)
            if check is not None:
                check(self)
        self.settle_monitors()

    def settle_monitors(self) -> None:
        """Each monitor that may sum every k-th step chooses k for the
        sources it runs with (at a run's start; see
        ``monitors.frequency.Decimation``)."""
        for monitor in self.monitors:
            settle = getattr(monitor, "settle", None)
            if settle is not None:
                settle(self)

    @property
    def cuda_graph(self) -> bool:
        """Whether ``step`` runs whole blocks of steps as captured CUDA graphs
        (``orvane_sim.core.capture``): one launch per block instead of a few
        dozen per step. Where steps cannot be captured (on the CPU, a box
        split into slabs, a feature of the caller's own) the simulation
        steps as without it, warns once (``GraphFallback``) and keeps the
        reason in ``graph_refusal``."""
        return self._graph_wanted

    @cuda_graph.setter
    def cuda_graph(self, on: bool) -> None:
        self._graph_wanted = bool(on)
        self._graphs = None
        self.graph_refusal = None

    def _graph_runner(self):
        """The captured-block runner for the steps to come, or None."""
        if not self._graph_wanted:
            return None
        from .capture import CapturedSteps, GraphFallback, refusal

        reason = refusal(self)
        if reason is not None:
            if reason != self.graph_refusal:
                warnings.warn(f"cuda_graph: stepping without CUDA graphs, since {reason}",
                              GraphFallback, stacklevel=3)
            self.graph_refusal = reason
            return None
        self.graph_refusal = None
        if self._graphs is None:
            self._graphs = CapturedSteps(self)
        return self._graphs

    def _advance(self, count: int, first: bool) -> None:
        """``count`` steps; ``first``: they begin a call of ``step``."""
        graphs = getattr(self, "_graphs_now", None)
        if graphs is not None:
            graphs.advance(count, first)
        else:
            self._steps(count, first)

    def _steps(self, count: int, first: bool, whole_faces: bool | None = None) -> None:
        """``count`` steps, one after another; ``whole_faces``: clear the
        conducting faces whole after every step (a captured block does, so
        that it needs no first step of its own)."""
        m = self.module
        # Whatever the caller did to the faces between calls is cleared in a
        # call's first step; after that a step whose sources keep off the
        # faces only has the strips that the layer corrections write to
        # clear (a box in slabs clears its faces whole, as its halo exchange
        # does).
        if whole_faces is None:
            whole_faces = self.placement.axis is not None or any(
                getattr(source, "writes_faces", True) for source in self.sources)
        for n in range(count):
            self.update_magnetic()
            for source in self.sources:
                source.after_h(self)
            cg1, cg2, ce, ec = self.electric_coefficients()
            m.Update_E(self.Ex, self.Ey, self.Ez, self.Hx, self.Hy, self.Hz,
                       *cg1, *cg2, *ce, *self.epsi, *self.eb, *ec, self.layer_cells, self.spare)
            if self.medium is not None:
                self.medium.apply(m, self.Ex, self.Ey, self.Ez)
            if self.anisotropy is not None:
                self.apply_anisotropy()
            for source in self.sources:
                source.after_e(self)
            if self.periodic is not None:
                self.periodic.apply(self)
            if (first and n == 0) or whole_faces:
                self.zero_tangential_faces()
            else:
                self.zero_layer_strips()
            self.steps_done += 1
            for monitor in self.monitors:
                monitor.update(self)

    def electric_coefficients(self):
        """(cg1, cg2, ce, ec) of the electric update: the box's own, or with a
        background folded into it (``DispersiveMedium``) divided by its
        denominator."""
        if self.medium is None:
            return self.cg1, self.cg2, self.ce, self.ec
        return self.medium.electric(self.cg1, self.cg2, self.ce, self.ec)

    def apply_anisotropy(self) -> None:
        """The anisotropic pass (``core.anisotropy``), after the dispersive
        one (a slab completes its shared cells with its neighbours')."""
        self.anisotropy.apply(self)

    def update_magnetic(self) -> None:
        """The magnetic update of the whole box (one phase of ``step``; a slab
        of a split box runs it in parts around its halo)."""
        self.module.Update_H(self.Hx, self.Hy, self.Hz, self.Ex, self.Ey, self.Ez,
                             *self.ch, *self.hpsi, *self.hb, *self.hc,
                             self.layer_cells, self.spare)

    def run(self, steps: int | None = None, until: float | None = None,
            progress: bool | None = None, *, checkpoint=None, every: int | None = None,
            check_every: int = 200) -> None:
        """Advance ``steps`` steps, or until the electric field's time reaches
        ``until``. ``progress``: True shows a progress bar, False hides it,
        None shows it when standard error is a terminal.

        ``checkpoint``, ``every``: write the state to the file ``checkpoint``
        whenever the box's step count reaches a multiple of ``every`` (the
        latest replaces the one before; ``load`` continues from it).
        ``check_every``: steps between checks that the fields are finite
        (and at the end of the run, and before each checkpoint); a field that
        is not raises NonFiniteFields naming the step, the component and the
        first bad index. 0 checks nothing."""
        if (steps is None) == (until is None):
            raise ValueError("give either steps or until")
        if steps is None:
            if not math.isfinite(until):
                raise ValueError(f"until must be a finite time, got {until}")
            steps = max(0, math.ceil((until - self.time) / self.dt - 1e-9))
        elif isinstance(steps, bool) or not isinstance(steps, int) or steps < 0:
            raise ValueError(f"steps must be an integer >= 0, got {steps!r}")
        if checkpoint is not None and (isinstance(every, bool) or not isinstance(every, int)
                                       or every < 1):
            raise ValueError(f"a checkpoint needs every = an integer >= 1 (steps between "
                             f"saves), got {every!r}")
        if isinstance(check_every, bool) or not isinstance(check_every, int) or check_every < 0:
            raise ValueError(f"check_every must be an integer >= 0, got {check_every!r}")
        try:
            from tqdm.auto import tqdm
        except ImportError:  # the bar is a convenience: run without it
            tqdm = None
        bar = (tqdm(total=steps, unit="step", disable=(None if progress is None else not progress),
                    leave=False, dynamic_ncols=True) if tqdm else None)
        checked = self.steps_done
        chunk = self._run_chunk()
        try:
            done = 0
            while done < steps:
                n = min(chunk, steps - done)
                if checkpoint is not None:
                    n = min(n, every - self.steps_done % every)
                if check_every:
                    n = min(n, max(1, check_every - (self.steps_done - checked)))
                self.step(n)
                done += n
                if bar is not None:
                    bar.update(n)
                if check_every and self.steps_done - checked >= check_every:
                    self.check_finite()
                    checked = self.steps_done
                if checkpoint is not None and self.steps_done % every == 0:
                    if check_every and checked != self.steps_done:
                        self.check_finite()
                        checked = self.steps_done
                    self.save(checkpoint)
            if check_every and checked != self.steps_done:
                self.check_finite()
        finally:
            if bar is not None:
                bar.close()
            if self._threads is not None:
                self._threads.release()

    def _run_chunk(self) -> int:
        """Steps per call of ``step`` in ``run``: 50, or whole captured
        blocks, some 200 steps, where graphs are captured."""
        if not self._graph_wanted:
            return 50
        from .capture import block_length, refusal

        self.settle_monitors()  # their periods set the blocks
        if refusal(self) is not None:
            return 50
        length = block_length(self)
        return length * max(1, round(200 / length))

    def check_finite(self) -> None:
        """Raise NonFiniteFields if a field holds a NaN or an infinity: one
        reduction per component on the device and a single transfer of six
        flags; the search for the first bad index only when one is set."""
        names = ("Ex", "Ey", "Ez", "Hx", "Hy", "Hz")
        fields = [getattr(self, name) for name in names]
        flags = torch.stack([torch.isfinite(f).all() for f in fields])
        if self._all_ranks_finite(flags):
            return
        for name, f in zip(names, fields):
            bad = ~torch.isfinite(f)
            if bool(bad.any()):
                index = tuple(int(i) for i in bad.nonzero()[0])
                value = float(f[index])
                raise NonFiniteFields(
                    f"step {self.steps_done}: {name} is {value} at index {self._where(index)} "
                    "(b0, b1, i, j, k, b2); the run stopped there instead of carrying it into "
                    "its results")
        raise NonFiniteFields(f"step {self.steps_done}: another part of the box holds a "
                              "non-finite field")

    def _all_ranks_finite(self, flags: torch.Tensor) -> bool:
        return bool(flags.all())

    def _where(self, index: tuple) -> tuple:
        """An index into a field as the box counts it."""
        return index

    # (layer axis, component, face axis): inside the x layers the electric
    # update adds the x-layer corrections to Ey on the low z face and to Ez
    # on the low y face, and so on for y and z; it writes no other node of a
    # conducting face, and the dispersive pass none at all.
    LAYER_STRIPS = ((0, 1, 2), (0, 2, 1), (1, 2, 0), (1, 0, 2), (2, 0, 1), (2, 1, 0))

    def zero_layer_strips(self) -> None:
        """Tangential E = 0 where the electric update may have written a
        conducting face: on the low faces, within the layers of the other
        axes. Once ``zero_tangential_faces`` has cleared the faces and no
        source writes them, this keeps them as that would, at a fraction of
        the memory traffic."""
        periodic = self.periodic.axes if self.periodic is not None else ()
        fields = (self.Ex, self.Ey, self.Ez)
        key = (tuple(f.data_ptr() for f in fields), tuple(periodic))
        if not hasattr(self, "_strips"):
            from .checkpoint import Memo

            self._strips = Memo()
        for strip in self._strips.get(key, lambda: self._layer_strips(fields, periodic)):
            strip.zero_()

    def _layer_strips(self, fields, periodic) -> list:
        """The views ``zero_layer_strips`` clears, made once."""
        out = []
        for layer, c, face in self.LAYER_STRIPS:
            L = self.layers[layer]
            if L == 0 or face in periodic:
                continue
            plane = fields[c].select(2 + face, 0)
            d = 2 + layer - (layer > face)
            n = plane.size(d)  # N + 1 nodes: the layer's axis is not the component's
            out.append(plane.narrow(d, 0, min(L, n)))
            out.append(plane.narrow(d, max(n - 1 - L, 0), min(L + 1, n)))
        return out

    def zero_tangential_faces(self) -> None:
        """Perfect-conductor faces: tangential E = 0 at index 0 and N, except
        along the axes a periodic boundary fills."""
        periodic = self.periodic.axes if self.periodic is not None else ()
        Ex, Ey, Ez = self.Ex, self.Ey, self.Ez
        for f, dims in ((Ex, (3, 4)), (Ey, (2, 4)), (Ez, (2, 3))):
            for d in dims:
                if d - 2 in periodic:
                    continue
                f.select(d, 0).zero_()
                f.select(d, f.size(d) - 1).zero_()
