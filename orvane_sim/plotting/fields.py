"""Fields on a plane: a frequency monitor's Fourier sums of one component
(``FrequencyMonitor.plot``) and a port's modes on its rectangle
(``ModePort.plot_modes``)."""
from __future__ import annotations

import numpy as np
import torch

from ..grid import arguments
from ..grid.rectilinear import coordinates
from .planes import (AXES, component_axis, figure_and_axes, in_plane, label_axes, nearest,
                     one_plane, show)

# A frequency asked for is one of the held ones within this share of it.
SAME_FREQUENCY = 1e-6


def pick_frequency(held, frequency, what: str, default: int = 0) -> int:
    """Index of ``frequency`` among ``held`` (within rounding), or
    ``default`` where it is None."""
    held = [float(f) for f in torch.as_tensor(held).flatten()]
    if frequency is None:
        return default
    frequency = arguments.real(frequency, f"{what} frequency")
    k = nearest(np.array(held), frequency)
    if abs(held[k] - frequency) > SAME_FREQUENCY * max(abs(frequency), abs(held[k])):
        listed = ", ".join(f"{f:g}" for f in held)
        raise ValueError(f"{what} frequency {frequency:g} is none of the frequencies held "
                         f"({listed})")
    return k


def plot_monitor(monitor, grid, component="Ez", frequency=None, x=None, y=None, z=None,
                 b0: int = 0, b1: int = 0, ax=None):
    """The picture ``FrequencyMonitor.plot`` draws (see there)."""
    what = "FrequencyMonitor.plot"
    if monitor.Ex is None:
        raise ValueError(f"{what}: this part of the box holds none of the monitor")
    c = component_axis(component, what)
    name = f"E{AXES[c]}"
    sums = getattr(monitor, name)  # [B0, B1, X, Y, Z, F]
    b0 = arguments.count(b0, f"{what} b0", 0, sums.shape[0] - 1)
    b1 = arguments.count(b1, f"{what} b1", 0, sums.shape[1] - 1)
    f = pick_frequency(monitor.frequencies, frequency, what)
    offset = monitor.placement.offset
    first = [int(r[0]) + o for r, o in zip(monitor.ranges, offset)]
    coords = [coordinates(grid[t], first[t], first[t] + sums.shape[2 + t], half=t == c).numpy()
              for t in range(3)]
    if (x, y, z) == (None, None, None):
        # the monitor's thinnest axis, at its first sample: a sheet's own plane
        a = min(range(3), key=lambda t: len(coords[t]))
        at = float(coords[a][0])
    else:
        a, at = one_plane(x, y, z, what)
        # (node coordinates by the box's index: one spacing times it on a uniform axis)
        def node_at(i):
            return float(coordinates(grid[a], i, i + 1, False)[0])

        last = int(monitor.ranges[a][1]) + offset[a] + 1
        lo, hi = node_at(first[a]), node_at(last)
        # half a cell either side: a half position's sample stands for its cell
        slack_lo, slack_hi = 0.5 * (node_at(first[a] + 1) - lo), 0.5 * (hi - node_at(last - 1))
        if not lo - slack_lo <= at <= hi + slack_hi:
            raise ValueError(f"{what}: {AXES[a]} = {at:g} lies outside the monitor's box, "
                             f"{AXES[a]} = {lo:g} .. {hi:g}")
    k = nearest(coords[a], at)
    values = sums[b0, b1, ..., f].abs().detach().cpu().double().numpy()
    plane = np.take(values, k, axis=a)
    u, v = in_plane(a)

    fig, ax = figure_and_axes(ax)
    image = show(ax, plane, coords[u], coords[v], cmap="magma",
                 edges=_edges(coords[u], coords[v]))
    fig.colorbar(image, ax=ax, label=f"|{name}|")
    nu = float(monitor.frequencies[f])
    ax.set_title(f"|{name}| at ν = {nu:g} on {AXES[a]} = {coords[a][k]:g}")
    label_axes(ax, u, v)
    return fig


def _edges(u: np.ndarray, v: np.ndarray):
    """Where the samples along u or v are unequally spaced: each sample's
    cell bounds along both, halfway to its neighbours (as far past an end
    sample as its neighbour lies), else None (equal cells: an image)."""
    def bounds(x):
        if len(x) < 2:
            return np.array([x[0] - 0.5, x[0] + 0.5])
        middle = 0.5 * (x[1:] + x[:-1])
        return np.r_[2 * x[0] - middle[0], middle, 2 * x[-1] - middle[-1]]

    steps = [np.diff(x) for x in (u, v) if len(x) > 1]
    if all(np.ptp(d) <= 1e-9 * d.max() for d in steps):
        return None
    return bounds(u), bounds(v)


def plot_port_modes(port, count=None, frequency=None):
    """The picture ``ModePort.plot_modes`` draws (see there)."""
    what = f"{port.name}.plot_modes"
    modes = port.modes
    held = modes.neff.shape[1]
    shown = held if count is None else arguments.count(count, f"{what} count", 1)
    if shown > held:
        raise ValueError(f"{what} count must be at most {held}: the port holds the modes "
                         f"0 .. {held - 1} that it solved for (its mode and those above it), "
                         f"got {shown}")
    carrier = float(getattr(port.waveform, "frequency", modes.frequencies[0]))
    f = pick_frequency(modes.frequencies, frequency, what,
                       default=nearest(modes.frequencies.numpy(), carrier))
    a = port.axis
    b, c = (a + 1) % 3, (a + 2) % 3  # the solver's x and y
    Eb, Ec = modes.Ex[f, :shown], modes.Ey[f, :shown]  # [m, Nb, Nc+1], [m, Nb+1, Nc]
    axis_b, axis_c = port.monitor.axes[1:]  # the box's, of equal cells or not

    def along(axis, first, count, half):
        return coordinates(axis, first, first + count, half).numpy()

    coords = {"b": (along(axis_b, port.lo[b], Eb.shape[1], True),
                    along(axis_c, port.lo[c], Eb.shape[2], False)),
              "c": (along(axis_b, port.lo[b], Ec.shape[1], False),
                    along(axis_c, port.lo[c], Ec.shape[2], True))}
    u, v = in_plane(a)

    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, shown, figsize=(3.4 * shown + 1.2, 3.6), squeeze=False,
                             layout="constrained")
    nu = float(modes.frequencies[f])
    for m, ax in enumerate(axes[0]):
        share = float(modes.polarization_fraction[f, m])  # of Σ|E_b|² in the transverse E
        along_b = share > 0.5
        field = (Eb if along_b else Ec)[m].abs().numpy()
        cb, cc = coords["b" if along_b else "c"]
        # drawn with the plane's axes in increasing order, as every picture here
        values, across, up = (field, cb, cc) if b == u else (field.T, cc, cb)
        image = show(ax, values / field.max(), across, up, cmap="magma", vmin=0.0, vmax=1.0,
                     edges=_edges(across, up))
        axis = AXES[b] if along_b else AXES[c]
        mostly = share if along_b else 1 - share
        launched = " (launched)" if m == port.mode else ""
        ax.set_title(f"mode {m}{launched}: n_eff = {float(modes.neff[f, m]):.4f}\n"
                     f"|E{axis}|, {mostly:.0%} of the transverse |E|²", fontsize="small")
        label_axes(ax, u, v)
    fig.colorbar(image, ax=list(axes[0]), label="|E| / its largest")
    where = port.monitor.node * port.monitor.spacing[0]  # where they were solved
    fig.suptitle(f"{port.name}: modes at ν = {nu:g}, {AXES[a]} = {where:g}")
    return fig
