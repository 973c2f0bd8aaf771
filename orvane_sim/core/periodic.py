"""Periodic x-y boundaries with a Bloch phase, for the driver.

The periodic pass fills the ghost layers i = 0 and i = NX of the electric
components with NX + 1 nodes along x (Ey, Ez) from the interior layers NX-1
and 1, so one period spans NX - 1 cells: a box of shape (NX, NY, NZ) repeats
every (NX - 1)·dx along x and (NY - 1)·dy along y. A Bloch wave vector
(kx, ky) makes the field of the next period that of this one times
exp(i·kx·(NX - 1)·dx): layer 0 receives exp(-i·kx·Px)·F(NX-1) and layer NX
receives exp(+i·kx·Px)·F(1). The phases are per b0, so batch entries along
B0 can carry different wave vectors.

A phase other than 1 is complex, so the fields must be complex: the run
needs b2 = 2 (split-complex form). With every kx = ky = 0 the ghosts are
plain copies: real fields (b2 = 1) suffice, at half the memory and less
time, and the same pass copies them with tensor copies in the kernel's order (x, then
y, the y pass reading the x ghosts).
"""
from __future__ import annotations

import torch

from ..grid.rectilinear import require_uniform


def wave_vectors(k, count: int, what: str = "bloch") -> torch.Tensor:
    """[count, 2] float64 from one (kx, ky) or one per batch entry; ``what``
    names the argument in errors. A NaN or an infinity is refused here: its
    phase would turn every field NaN at the first periodic pass."""
    try:
        t = torch.as_tensor(k, dtype=torch.float64)
    except (TypeError, ValueError, RuntimeError):
        raise TypeError(f"{what} must be numbers: one (kx, ky) or one per b0, got "
                        f"{k!r}") from None
    if t.dim() == 1:
        t = t.expand(count, -1)
    if t.shape != (count, 2):
        raise ValueError(f"{what} needs one (kx, ky) or {count} of them, got shape "
                         f"{tuple(t.shape)}")
    if not bool(torch.isfinite(t).all()):
        raise ValueError(f"{what} must be finite, got {k!r}")
    return t.clone()


def fields_needed(k, count: int) -> int:
    """b2 for Bloch wave vectors ``k`` (one (kx, ky) or one per b0): real
    fields where every phase is 1, complex ones otherwise."""
    return 1 if not bool(wave_vectors(k, count).any()) else 2


class BlochBoundary:
    """Periodic boundaries along x and/or y with Bloch wave numbers: ``k`` is
    one (kx, ky) or one per b0; ``kx``, ``ky`` are the scalar shorthand.
    Real fields (b2 = 1) need every k to be zero."""

    def __init__(self, sim, x: bool = True, y: bool = True, kx: float = 0.0, ky: float = 0.0,
                 k=None):
        B0 = sim.batch[0]
        self.k = wave_vectors((kx, ky) if k is None else k, B0)
        if sim.b2 != 2 and (sim.b2 != 1 or self.k.any()):
            raise ValueError(f"a periodic run needs complex fields (b2=2), or real ones (b2=1) "
                             f"with every Bloch k zero; got b2={sim.b2}")
        self.axes = tuple(a for a, on in ((0, x), (1, y)) if on)
        # the seam joins cell N-1 to cell 0, which must then be alike
        require_uniform(sim, "a periodic boundary", self.axes)
        for a in self.axes:
            if sim.layers[a] != 0:
                raise ValueError(f"a periodic axis has no absorbing layers, got {sim.layers[a]} "
                                 f"along {'xy'[a]}")
            if sim.shape[a] < 2:
                raise ValueError(f"a periodic axis needs at least 2 cells, got {sim.shape[a]}")
        # an axis that does not wrap here has no period (a slab's split axis,
        # whose wrap the halo exchange makes, may have unequal cells)
        self.periods = tuple((sim.shape[a] - 1) * sim.spacing[a] if a in self.axes else 0.0
                             for a in (0, 1))
        dev = sim.device

        def phase(angle: torch.Tensor) -> torch.Tensor:
            # [B0, 2·BC] = [cos, sin] per b0; applied with positive_phase
            # false, so layer 0 gets cos - i·sin = exp(-i·k·period).
            return torch.stack([angle.cos(), angle.sin()], 1).to(torch.float32).to(dev)

        self.phase_x, self.phase_y = (phase(self.k[:, a] * period)
                                      for a, period in enumerate(self.periods))
        self.flags = torch.tensor([int(x), int(y)], dtype=torch.int32, device=dev)

    def apply(self, sim) -> None:
        if sim.b2 == 1:
            self._copy(sim)
            return
        sim.module.Update_E_Periodic(sim.Ex, sim.Ey, sim.Ez, self.phase_x, self.phase_y,
                                     self.flags, False)

    def _copy(self, sim) -> None:
        """The pass for real fields (every phase 1): ghost layer 0 takes layer
        N-1 and ghost layer N takes layer 1, x before y."""
        for axis, fields in ((0, (sim.Ey, sim.Ez)), (1, (sim.Ex, sim.Ez))):
            if axis not in self.axes:
                continue
            d = 2 + axis
            for f in fields:
                n = f.size(d) - 1
                f.select(d, 0).copy_(f.select(d, n - 1))
                f.select(d, n).copy_(f.select(d, 1))
