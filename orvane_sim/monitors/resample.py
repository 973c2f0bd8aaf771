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

AXES = "xyz"
OFFSETS = {
    "Ex": (0.5, 0.0, 0.0), "Ey": (0.0, 0.5, 0.0), "Ez": (0.0, 0.0, 0.5),
    "Hx": (0.0, 0.5, 0.5), "Hy": (0.5, 0.0, 0.5), "Hz": (0.5, 0.5, 0.0),
}


def yee_coordinates(component: str, counts: Sequence[int], spacing,
                    origin: Sequence[float] = (0.0, 0.0, 0.0),
                    start: Sequence[int] = (0, 0, 0), device=None):
    """x, y, z node coordinates (float32) of `counts` nodes of a component
    from node index `start` on. ``spacing``: per axis one length, or the
    axis' node coordinates (an ``Axis`` of a box's grid, or a sequence from
    0) where its cells differ: a half position is then its cell's centre;
    or the box's whole grid (``sim.grid``)."""
    if component not in OFFSETS:
        raise ValueError(f"component must be one of {sorted(OFFSETS)}, got {component!r}")
    axes = getattr(spacing, "axes", spacing)
    out = []
    for a, (n, h, o, s, off) in enumerate(zip(counts, axes, origin, start, OFFSETS[component])):
        if h is None:
            raise ValueError(f"the {AXES[a]} axis is non-uniform (its spacing is None): give "
                             f"the box's grid (sim.grid) or that axis' node coordinates")
        # positions in double precision, rounded once to float32
        if isinstance(h, (int, float)):
            c = o + (torch.arange(n, dtype=torch.float64) + s + off) * h
        else:
            nodes = h.nodes if hasattr(h, "nodes") else torch.as_tensor(h, dtype=torch.float64)
            last = s + n - 1 + (1 if off else 0)
            if s < 0 or last > nodes.numel() - 1:
                raise ValueError(f"{component} nodes {s} .. {s + n - 1} along {AXES[a]} lie "
                                 f"outside the axis' {nodes.numel() - 1} cells")
            index = torch.arange(s, s + n)
            c = o + (0.5 * (nodes[index] + nodes[index + 1]) if off else nodes[index])
        out.append(c.to(device=device, dtype=torch.float32))
    return tuple(out)


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
    the monitor box from node `start`) resampled onto the target grid.
    ``spacing``: per axis one length or node coordinates, or the box's grid
    (see ``yee_coordinates``)."""
    out = {}
    for name, values in fields.items():
        base = yee_coordinates(name, values.shape[2:5], spacing, origin, start)
        out[name] = resample(module, values, base, targets, nearest)
    return out
