"""Monitor fields on a user's grid: node positions of the Yee components and
resampling between rectilinear grids with the module's interpolation.

On the Yee grid of cell size (dx, dy, dz), node (i, j, k) of each component
sits at origin + ((i + ox) dx, (j + oy) dy, (k + oz) dz) with the offsets

    Ex (1/2, 0, 0)   Ey (0, 1/2, 0)   Ez (0, 0, 1/2)
    Hx (0, 1/2, 1/2) Hy (1/2, 0, 1/2) Hz (1/2, 1/2, 0)

A monitor that records a box of nodes starting at node ``start`` holds
complex tensors [B0, B1, X, Y, Z, B2]; ``fields_on_grid`` moves them all to
the nodes of one rectilinear grid of the user's choosing (trilinear blend, or
nearest node), so that the components can be compared point by point.
Targets outside a component's nodes take the value of the boundary node
along that axis (no extrapolation).
"""
from __future__ import annotations

from typing import Mapping, Sequence

import torch

OFFSETS = {
    "Ex": (0.5, 0.0, 0.0), "Ey": (0.0, 0.5, 0.0), "Ez": (0.0, 0.0, 0.5),
    "Hx": (0.0, 0.5, 0.5), "Hy": (0.5, 0.0, 0.5), "Hz": (0.5, 0.5, 0.0),
}


def yee_coordinates(component: str, counts: Sequence[int], spacing: Sequence[float],
                    origin: Sequence[float] = (0.0, 0.0, 0.0),
                    start: Sequence[int] = (0, 0, 0), device=None):
    """x, y, z node coordinates (float32) of `counts` nodes of a component
    from node index `start` on."""
    if component not in OFFSETS:
        raise ValueError(f"component must be one of {sorted(OFFSETS)}, got {component!r}")
    # Positions in double precision, rounded once to float32.
    return tuple((o + (torch.arange(n, dtype=torch.float64) + s + off) * h)
                 .to(device=device, dtype=torch.float32)
                 for n, h, o, s, off in zip(counts, spacing, origin, start, OFFSETS[component]))


def _f32(coords, device):
    return tuple(c.to(device=device, dtype=torch.float32) for c in coords)


def resample(module, values: torch.Tensor, base, targets, nearest: bool = False) -> torch.Tensor:
    """Complex values on the base grid (x, y, z vectors) read at the target grid's nodes."""
    device = values.device
    return module.Trilinear_interpolation(*_f32(base, device), values, *_f32(targets, device),
                                          bool(nearest))


def spread(module, values: torch.Tensor, base, targets) -> torch.Tensor:
    """Transpose of the trilinear ``resample``: complex values on the target
    grid spread onto the base grid (each base node sums what it receives)."""
    device = values.device
    return module.Trilinear_reverse_interpolation(*_f32(base, device), values,
                                                  *_f32(targets, device))


def fields_on_grid(module, fields: Mapping[str, torch.Tensor], spacing, targets,
                   origin=(0.0, 0.0, 0.0), start=(0, 0, 0), nearest: bool = False):
    """Each component of `fields` (name -> complex [B0, B1, X, Y, Z, B2],
    the monitor box from node `start`) resampled onto the target grid."""
    out = {}
    for name, values in fields.items():
        if None in tuple(spacing):
            axis = "xyz"[tuple(spacing).index(None)]
            raise ValueError(f"fields_on_grid needs a uniform grid along {axis} (one spacing "
                             f"per axis); it does not take a non-uniform axis yet")
        base = yee_coordinates(name, values.shape[2:5], spacing, origin, start)
        out[name] = resample(module, values, base, targets, nearest)
    return out
