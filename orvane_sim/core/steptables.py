"""Values that change from one time step to the next (a source's drive, a
monitor's Fourier factors), computed a block of steps at a time into one
table on the device.

A feature that read such a value as a Python number made a step depend on
the host: each number became a kernel argument fixed when the step was
launched, and a tensor built from it on the host was a transfer (a wait,
on a GPU) every step. A ``StepTable`` computes the values of ``CHUNK``
steps in one go and the step reads its row, a view. The table is filled in
place, so its rows keep their memory: a captured block of steps
(``core.capture``) reads the rows it was captured with, and a new block
only needs the table refilled (``fill``) before it is replayed.
"""
from __future__ import annotations

import contextlib
from typing import Callable

import torch

_frozen = False


@contextlib.contextmanager
def frozen():
    """Within: no table may be filled (a captured block reads the rows it
    was prepared with, and a fill there would be a transfer captured from
    memory that is gone when the graph replays)."""
    global _frozen
    was, _frozen = _frozen, True
    try:
        yield
    finally:
        _frozen = was


class StepTable:
    """Per-step values ``values(steps)`` ([m, ...] for the step numbers
    ``steps``, an int64 tensor [m] on the CPU; any device), ``CHUNK`` steps
    at a time, on ``device``. ``at(n)`` is the row of step n, filling the
    table with the chunk that holds n when n lies outside it (chunks start
    at multiples of ``CHUNK``, so that a run resumed from a checkpoint fills
    the tables that the run it continues had)."""

    CHUNK = 256

    def __init__(self, values: Callable[[torch.Tensor], torch.Tensor], device):
        self._values = values
        self._device = torch.device(device)
        self._table = None
        self._first = 0
        self._count = 0

    def fill(self, first: int, count: int | None = None) -> None:
        """Rows 0 .. count-1 take the values of steps first .. first+count-1
        (``CHUNK`` steps by default), in place once the table exists."""
        count = max(self.CHUNK, 1) if count is None else count
        if _frozen:
            raise RuntimeError(f"steps {first} .. {first + count - 1} were not prepared in a "
                               "per-step table before a captured block: its feature's "
                               "prepare_steps must fill them")
        new = self._values(torch.arange(first, first + count, dtype=torch.int64))
        table = self._table
        if table is None or table.shape[0] < count or table.shape[1:] != new.shape[1:] \
                or table.dtype != new.dtype:
            table = torch.empty((max(count, self.CHUNK), *new.shape[1:]), dtype=new.dtype,
                                device=self._device)
        if new.device != table.device and table.device.type == "cuda":
            # from pinned memory the copy is queued without the host waiting
            table[:count].copy_(new.pin_memory(), non_blocking=True)
        else:
            table[:count].copy_(new)
        self._table, self._first, self._count = table, first, count

    def covers(self, first: int, count: int) -> bool:
        return self._table is not None and self._first <= first \
            and first + count <= self._first + self._count

    def at(self, n: int) -> torch.Tensor:
        """The values of step ``n``: a view of the table's row."""
        if not self._first <= n < self._first + self._count or self._table is None:
            self.fill(n - n % self.CHUNK)
        return self._table[n - self._first]

    def invalidate(self) -> None:
        """The values have changed: refill at the next ``at``."""
        self._count = 0
