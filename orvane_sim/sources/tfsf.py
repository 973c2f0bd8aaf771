"""A plane wave that fills a box: total field inside, scattered field outside.

The box is given by its node corners (i0, j0, k0) .. (i1, j1, k1). The
electric components whose positions lie in the closed box hold the total
field, every other component the scattered field only. Each update of a
component on one side of a face reads components on the other side; the
box adds the incident field there, so that each side sees its own kind of
field. On the face normal to axis a at node n0 (low) or n1 (high), with
(a, b, c) cyclic, the corrections are (δ = dt/h_a, on unequal cells the
coefficient of the update corrected: dt/Δ*_a of the face's node for E,
dt/Δ_a of the cell outside it for H; incident fields at the positions of the
components they correct):

    low face:  E_b(n0) += δ·H_c,inc(n0 - 1/2)     H_b(n0 - 1/2) -= δ·E_c,inc(n0)
               E_c(n0) -= δ·H_b,inc(n0 - 1/2)     H_c(n0 - 1/2) += δ·E_b,inc(n0)
    high face: E_b(n1) -= δ·H_c,inc(n1 + 1/2)     H_b(n1 + 1/2) += δ·E_c,inc(n1)
               E_c(n1) += δ·H_b,inc(n1 + 1/2)     H_c(n1 + 1/2) -= δ·E_b,inc(n1)

The magnetic corrections follow the magnetic update and use E at n·dt, the
electric ones follow the electric update and use H at (n + 1/2)·dt.

The incident wave travels along one axis p, in either direction. Its fields
come from an ``IncidentLine`` with the box's spacing along p and time step
(along a non-uniform p, the box's own cells: ``BoxIncidentLine``):
a wave along a grid axis with no transverse variation obeys exactly the
line's one-dimensional equations, so an empty box's corrections cancel to
rounding and nothing leaks out. The line lies along its own z with its x, y
mapped to the box's transverse axes so that the frame stays right-handed:
(v, w) = (p + 1, p + 2) travelling +p, (w, v) travelling -p.
"""
from __future__ import annotations

import torch

from ..core.checkpoint import Memo
from ..core.descriptions import recorded
from ..grid import positions
from ..grid.arguments import frequencies as checked_frequencies, waveform as checked_waveform
from .incident import IncidentLine, LineDriven, LineSpectra
from .waveforms import Waveform, slot_factor


class TotalFieldBox(LineDriven):
    """A plane wave ``waveform`` travelling along ``direction`` ("+x" .. "-z")
    through a box of the simulation, total field inside and scattered field
    outside.

    ``box``: ((x0, y0, z0), (x1, y1, z1)) in length units, or ``nodes``, the
    same as node indices; it lies a cell or more clear of the absorbing layers
    (or the box's faces), with its faces in vacuum; any axis may have
    unequal cells. ``polarization``: the electric field's direction, a
    transverse axis name or a vector normal to ``direction`` (the first
    transverse axis by default: y for ±x, z for ±y, x for ±z). The wave
    ``waveform(t)`` reaches the box's entry face at time t (complex values
    allowed; a real run, b2 = 1, carries the real part). ``frequencies``:
    record the incident spectrum at the entry face, for ``intensity()``
    (in cycles per unit time). ``duration``: the run's length in time units,
    which sizes the incident line at first (it grows as the run goes on).
    """

    @recorded
    def __init__(self, sim, waveform: Waveform, direction="+z", polarization=None, box=None,
                 nodes=None, frequencies=None, duration: float | None = None):
        if (box is None) == (nodes is None):
            raise ValueError("give the box either in length units (box=) or as nodes (nodes=)")
        checked_waveform(waveform, "TotalFieldBox")
        if frequencies is not None:
            checked_frequencies(frequencies, "TotalFieldBox", sim.dt)
        if box is not None:
            nodes = positions.node_box(sim, box, "TotalFieldBox box")
        lo, hi = positions.check_nodes(sim, nodes, "TotalFieldBox box")
        cells = sim.placement.shape
        for a in range(3):
            # the magnetic cell just outside a face is corrected with the
            # interior's dt / Δ: it may not be a layer's (stretched) cell
            low, high = (f + 1 for f in sim.faces[a])
            if lo[a] < low or hi[a] > cells[a] - high:
                raise ValueError(f"TotalFieldBox box needs a cell between each face and the "
                                 f"box's edge or absorbing layer: nodes along {'xyz'[a]} within "
                                 f"{low} .. {cells[a] - high} "
                                 f"({positions.span(sim, a, low, cells[a] - high)}), got "
                                 f"{lo[a]} .. {hi[a]}")
        self.lo, self.hi = lo, hi
        p, s = positions.direction(direction)
        self.axis, self.sign = p, s
        v, w = (p + 1) % 3, (p + 2) % 3
        self.line_axes = (v, w) if s > 0 else (w, v)
        pol = self._polarization(polarization, p, v)
        B0 = sim.batch[0]
        line_pol = torch.tensor([[pol[self.line_axes[0]], pol[self.line_axes[1]]]],
                                dtype=torch.float64).expand(B0, 2)
        axis = sim.grid[p]
        self.entry = lo[p] if s > 0 else hi[p]
        # the drive sits in cells as long as the one just outside the entry face
        hp = axis.uniform or float(axis.primal[self.entry - 1 if s > 0 else self.entry])
        gap = 4
        # (a uniform axis counts cells, where the nodes' difference would round)
        span = (hi[p] - lo[p] + 2) * hp if axis.uniform is not None else \
            float(axis.nodes[hi[p] + 1] - axis.nodes[lo[p] - 1])
        duration = max(float(duration or 0.0), 2.0 * span + 200.0 * sim.dt)
        k = torch.zeros(B0, 2, dtype=torch.float64)
        lead = lambda t: waveform(t + gap * hp)  # noqa: E731
        if axis.uniform is None:
            from .graded_line import BoxIncidentLine, GradedLineSpectra as Spectra

            self.line = BoxIncidentLine(k, line_pol, lead, axis, self.entry, s, sim.dt,
                                        sim.device, duration, gap)
        else:
            Spectra = LineSpectra
            self.line = IncidentLine(k, line_pol, lead, (1.0, 1.0, hp), sim.dt, sim.device,
                                     duration, gap)
        self.factor = slot_factor(sim)
        self.b2 = sim.b2
        self.waveform = waveform
        self.spectra = None if frequencies is None else Spectra(self.line, frequencies, sim,
                                                                "TotalFieldBox", self.band())
        self._faces = list(self._face_writes(sim))
        self._corrections = [self._gathered(sim, electric) for electric in (False, True)]
        self._plans = Memo()
        self._checked_medium = None

    # The box lies a cell or more inside every face (checked above): its
    # corrections never write a conducting face, which the step then keeps
    # at zero as it does without sources.
    writes_faces = False

    @staticmethod
    def _polarization(value, p: int, default: int) -> list[float]:
        if value is None:
            value = "xyz"[default]
        if isinstance(value, str):
            if value not in ("x", "y", "z"):
                raise ValueError(f"polarization must be an axis name or a vector, got {value!r}")
            vec = [0.0, 0.0, 0.0]
            vec[positions.AXES.index(value)] = 1.0
        else:
            vec = [float(c) for c in value]
            if len(vec) != 3:
                raise ValueError(f"polarization needs 3 components, got {value!r}")
        norm = sum(c * c for c in vec) ** 0.5
        if norm == 0 or abs(vec[p]) > 1e-9 * norm:
            raise ValueError(f"polarization must be a nonzero vector normal to the direction of "
                             f"travel (along {'xyz'[p]}), got {value!r}")
        return [c / norm for c in vec]

    def _face_writes(self, sim):
        """Per face and corrected component: whether it is electric, the
        component corrected and the one read, the coefficient, the local
        slices of the field, and where along p the incident values lie."""
        place = sim.placement
        p = self.axis
        for a in range(3):
            b, c = (a + 1) % 3, (a + 2) % 3
            axis = sim.grid[a]
            for high in (False, True):
                n = self.hi[a] if high else self.lo[a]
                h_index = n if high else n - 1
                # the coefficients of the updates corrected: an electric
                # node's dt / Δ*, a magnetic cell's dt / Δ
                if axis.uniform is not None:
                    delta_e = delta_h = sim.dt / axis.uniform
                else:
                    delta_e, delta_h = (sim.dt / float(axis.dual[n]),
                                        sim.dt / float(axis.primal[h_index]))
                out = 1.0 if high else -1.0
                # (electric?, component corrected, component read, sign)
                for electric, comp, source, sign in (
                        (True, b, c, -out), (True, c, b, out),
                        (False, b, c, out), (False, c, b, -out)):
                    if source == p:  # the incident wave has no field along p
                        continue
                    # the corrected component's own axis is a half position,
                    # the other tangential axis a node; E_b and H_c share
                    # positions, as do E_c and H_b
                    half_axis = comp if electric else source
                    ranges = {a: (n, n + 1) if electric else (h_index, h_index + 1)}
                    for t in (b, c):
                        ranges[t] = (self.lo[t], self.hi[t] + (0 if t == half_axis else 1))
                    # the tensors hold a node index along every axis but E's
                    # own, where they hold cells; H holds cells along all
                    # three (along its own axis nodes 0 .. N-1)
                    local = [place.held(t, *ranges[t], nodes=electric and t != comp)
                             for t in range(3)]
                    if any(r is None for r in local):
                        continue
                    index = [slice(lo, hi) for lo, hi in local]
                    # box indices along p of the incident values read: the
                    # corrected values' own, or on a face normal to p the one
                    # plane across it (H half a cell out, E on the face)
                    if a == p:
                        first, count = (h_index if electric else n), 1
                    else:
                        first, count = local[p][0] + place.offset[p], local[p][1] - local[p][0]
                    delta = delta_e if electric else delta_h
                    yield dict(electric=electric, comp=comp, source=source, coef=sign * delta,
                               index=index, first=first, count=count)

    def _gathered(self, sim, electric: bool) -> dict:
        """The corrections of one phase as flat index lists, so that a step
        makes them in a fixed number of operations whatever the faces: one
        gather of the incident values from the line, one product with each
        value's coefficient (in double precision, rounded once to single),
        and one ``index_add_`` per component and group. A node on two faces (an edge) takes two
        corrections; each group holds at most one of a node's, in the order
        of the faces, so that every addition is the one the faces would make
        one after another (and none races on a GPU).

        Returns the line rows and batch entries read ([n]: row·B0 + b0), the
        indices along the line relative to its ``node``, the coefficients
        (complex128), the additions (component, first, end, flat indices
        into the field), the entries sorted by component and group, and room
        for the values (complex64)."""
        B0, B1 = sim.batch
        line = self.line
        silent = line.zero_rows()  # rows that stay zero add nothing
        fields = (sim.Ex, sim.Ey, sim.Ez) if electric else (sim.Hx, sim.Hy, sim.Hz)
        p = self.axis
        per_comp = {0: [], 1: [], 2: []}
        for face in self._faces:
            if face["electric"] != electric:
                continue
            j = self.line_axes.index(face["source"])
            row = (3, 2)[j] if electric else j  # H rows (Hx, Hy) are 3, 2; E rows 0, 1
            if row in silent:
                continue
            comp = face["comp"]
            st = fields[comp].stride()
            axes = [torch.arange(s.start, s.stop) for s in face["index"]]
            spatial = (axes[0][:, None, None] * st[2] + axes[1][None, :, None] * st[3]
                       + axes[2][None, None, :] * st[4])
            # position along p within the face's range, where the values vary
            m = torch.zeros(spatial.shape, dtype=torch.int64)
            if face["count"] > 1:
                shape = [1, 1, 1]
                shape[p] = -1
                m = m + (axes[p] - axes[p][0]).reshape(shape)
            first = face["first"]
            if self.sign > 0:
                rel = first - self.entry + m
            else:  # travelling -p: box index m maps to node + entry - m (nodes)
                rel = self.entry - first - (1 if electric else 0) - m
            b0 = torch.arange(B0)[:, None, None, None, None]
            b1 = torch.arange(B1)[None, :, None, None, None]
            target = (b0 * st[0] + b1 * st[1] + spatial).reshape(-1)
            read = (row * B0 + b0 + 0 * b1 + 0 * spatial).reshape(-1)
            rel = (rel + 0 * b0 + 0 * b1).reshape(-1)
            coef = torch.full(target.shape, face["coef"] * self.factor, dtype=torch.complex128)
            per_comp[comp].append((target, read, rel, coef))
        reads, rels, coefs, adds, n = [], [], [], [], 0
        slots = 1 if self.b2 == 1 else 2
        for comp, parts in per_comp.items():
            if not parts:
                continue
            target, read, rel, coef = (torch.cat(t) for t in zip(*parts))
            group = _occurrence(target)
            for g in range(int(group.max()) + 1 if group.numel() else 0):
                pick = group == g
                count = int(pick.sum())
                reads.append(read[pick])
                rels.append(rel[pick])
                coefs.append(coef[pick])
                index = target[pick]
                if slots == 2:  # real and imaginary parts, interleaved as view_as_real has them
                    index = torch.stack([index, index + fields[comp].stride(5)], 1).reshape(-1)
                adds.append((comp, n * slots, (n + count) * slots, index.to(sim.device)))
                n += count
        if not adds:
            return None
        coef = torch.cat(coefs).to(sim.device)
        return dict(read=torch.cat(reads), rel=torch.cat(rels), coef=coef, adds=adds,
                    values=torch.empty(coef.shape, dtype=torch.complex64, device=sim.device))

    def _plan(self, sim) -> list:
        """Per phase, the views a step's corrections use: the line's values
        flat, the indices gathered from it (they move when the line grows),
        each addition's field flat, its indices and its part of the values;
        made once per length of the line."""
        line = self.line
        fields = (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz)

        def make():
            length = line.fields.shape[2]
            out = []
            for electric, c in zip((False, True), self._corrections):
                if c is None:
                    out.append(None)
                    continue
                parts = torch.view_as_real(c["values"])
                parts = parts[:, 1] if self.b2 == 1 else parts.view(-1)
                comps = fields[:3] if electric else fields[3:]
                out.append(dict(
                    line=line.fields.view(-1), values=c["values"], coef=c["coef"],
                    gather=(c["read"] * length + line.node + c["rel"]).to(line.fields.device),
                    adds=[(comps[comp].view(-1), index, parts[lo:hi])
                          for comp, lo, hi, index in c["adds"]]))
            return out
        key = (line.fields.data_ptr(), line.cells, line.node) + tuple(f.data_ptr() for f in fields)
        return self._plans.get(key, make)

    def _write(self, sim, electric: bool) -> None:
        plan = self._plan(sim)[int(electric)]
        if plan is None:
            return
        # the product in double precision, rounded once into the values
        torch.mul(plan["line"].index_select(0, plan["gather"]), plan["coef"], out=plan["values"])
        for field, index, part in plan["adds"]:
            field.index_add_(0, index, part)

    def after_h(self, sim) -> None:
        self._write(sim, electric=False)
        self.line.step_h()

    def after_e(self, sim) -> None:
        self._write(sim, electric=True)
        self.line.step_e()
        if self.spectra is not None:
            self.spectra.record(sim)

    def check_medium(self, sim) -> None:
        """Refuse faces that do not lie in vacuum: the incident wave is that
        of vacuum, and where it is not the wave there, part of it stays on
        the scattered side. Checked before steps that follow a new
        painting."""
        if sim.medium is None or self._checked_medium is sim.medium:
            return
        den = sim.permittivity()
        for face in self._faces:
            if face["electric"]:
                grid = den[face["comp"]]
                idx = [min(s.stop, grid.size(1 + t)) for t, s in enumerate(face["index"])]
                part = grid[(slice(None), *(slice(s.start, e) for s, e in
                                            zip(face["index"], idx)))]
                if part.numel() and (part - 1.0).abs().max() > 1e-6:
                    raise ValueError("the TotalFieldBox's faces must lie in vacuum: an object "
                                     "or the background reaches them")
        self._checked_medium = sim.medium

    def intensity(self) -> torch.Tensor:
        """The incident wave's intensity (flux per unit area along its
        direction) at the entry face, [B0, F] float64."""
        if self.spectra is None:
            raise ValueError("give the TotalFieldBox frequencies to record its incident spectrum")
        return self.spectra.flux()


def _occurrence(index: torch.Tensor) -> torch.Tensor:
    """For each entry of ``index``, how many entries before it hold the same
    value (0 for a value's first)."""
    order = torch.sort(index, stable=True).indices
    ordered = index[order]
    position = torch.arange(len(index))
    new_run = torch.ones(len(index), dtype=torch.bool)
    new_run[1:] = ordered[1:] != ordered[:-1]
    run_start = torch.cummax(torch.where(new_run, position, 0), 0).values
    out = torch.empty_like(index)
    out[order] = position - run_start
    return out
