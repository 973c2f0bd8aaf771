"""Where a simulation's tensors lie in the box it simulates.

Sources, monitors and painted objects are given in the box's own indices
and coordinates. A one-process ``Simulation`` holds the whole box; a
``SlabSimulation`` holds one slab of it along a split axis. Features ask
the placement which part of their region the tensors here hold, and
combine their results through it, so the same feature code runs on either.

Along the split axis a slab holds cells [start, stop) of the box and nodes
start .. stop; neighbouring slabs share one cell. Each cell and node is
*owned* by exactly one slab: the shared cell and its low node by the slab
below, the box's last node by the last slab. Sources write everything a slab
holds (the halo exchange then overwrites the copies with the owner's
values), monitors sum what a slab owns.
"""
from __future__ import annotations

import torch


class WholeBox:
    """The placement of a simulation that holds the whole box."""

    axis: int | None = None
    rank, ranks = 0, 1

    def __init__(self, shape):
        self.shape = tuple(int(n) for n in shape)
        self.offset = (0, 0, 0)

    def start_stop(self, axis: int) -> tuple[int, int]:
        """Cells [start, stop) of the box held here along ``axis``."""
        return self.offset[axis], self.offset[axis] + self.shape[axis]

    def held(self, axis: int, first: int, stop: int, nodes: bool = True):
        """Local [lo, hi) of the box indices [first, stop) along ``axis`` that
        the tensors here hold (nodes: index 0 .. cells; cells: 0 .. cells-1),
        or None when none are."""
        s, e = self.start_stop(axis)
        lo, hi = max(first, s), min(stop, e + 1 if nodes else e)
        return (lo - s, hi - s) if lo < hi else None

    def owned_cells(self, axis: int) -> tuple[int, int]:
        """Box cells [c0, c1) along ``axis`` that this part alone accounts for."""
        return self.start_stop(axis)

    def owns_node(self, axis: int, node: int) -> bool:
        return True

    def owned(self, axis: int, first: int, last: int) -> tuple[int, int]:
        """Local first and last of the box cells first .. last along ``axis``
        that this part owns (last < first where it owns none)."""
        c0, c1 = self.owned_cells(axis)
        s = self.start_stop(axis)[0]
        return max(first, c0) - s, min(last, c1 - 1) - s

    def sum(self, tensors) -> None:
        """Add up ``tensors`` (in place) over the parts of the box."""

    def all_concat(self, parts: dict, dim: int) -> dict:
        """Each part's tensors ``parts`` (name → tensor) concatenated along
        ``dim`` in rank order, on every rank."""
        return parts

    def concat(self, parts: dict, dims: dict, trailing: dict):
        """The whole region of per-part accumulators ``parts`` (name → tensor
        of what this part owns, or None if it owns none of the region),
        concatenated along ``dims[name]`` in rank order, dropping each part's
        last entry but the final one's where ``trailing[name]``: a node that
        the next part starts with. On rank 0; None elsewhere."""
        return parts


class SlabPlacement(WholeBox):
    """One slab, cells [start, stop) along ``axis``, of a box of ``shape``
    cells split over the ranks of the default process group."""

    def __init__(self, shape, axis: int, start: int, stop: int, rank: int, ranks: int):
        super().__init__(shape)
        self.axis, self.rank, self.ranks = axis, rank, ranks
        self.start, self.stop = start, stop
        offset = [0, 0, 0]
        offset[axis] = start
        self.offset = tuple(offset)

    def start_stop(self, axis: int) -> tuple[int, int]:
        if axis != self.axis:
            return 0, self.shape[axis]
        return self.start, self.stop

    def owned_cells(self, axis: int) -> tuple[int, int]:
        s, e = self.start_stop(axis)
        return (s + 1 if axis == self.axis and self.rank > 0 else s), e

    def owns_node(self, axis: int, node: int) -> bool:
        c0, c1 = self.owned_cells(axis)
        last = axis == self.axis and self.rank == self.ranks - 1
        return c0 <= node < c1 or (last and node == c1)

    def sum(self, tensors) -> None:
        import torch.distributed as dist

        for t in tensors:
            dist.all_reduce(torch.view_as_real(t) if t.is_complex() else t)

    def all_concat(self, parts: dict, dim: int) -> dict:
        import torch.distributed as dist

        got = [None] * self.ranks
        dist.all_gather_object(got, {k: v.cpu() for k, v in parts.items()})
        return {k: torch.cat([g[k] for g in got], dim).to(v.device) for k, v in parts.items()}

    def concat(self, parts: dict, dims: dict, trailing: dict):
        import torch.distributed as dist

        mine = None if parts is None else {k: v.cpu() for k, v in parts.items()}
        got = [None] * self.ranks if self.rank == 0 else None
        dist.gather_object(mine, got, dst=0)
        if self.rank != 0:
            return None
        got = [g for g in got if g is not None]
        out = {}
        for name in dims:
            d = dims[name]
            pieces = [g[name] for g in got]
            if trailing[name]:
                pieces = [p.narrow(d, 0, p.size(d) - 1) for p in pieces[:-1]] + pieces[-1:]
            out[name] = torch.cat(pieces, d)
        return out
