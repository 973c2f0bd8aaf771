"""The plane a picture shows and where its samples lie: one of x=, y=, z=
(a length), the component asked for, the staggered positions of a
component's nodes, and the image, axes and colourbar every picture here
shares."""
from __future__ import annotations

import numpy as np

from ..grid.arguments import real

AXES = "xyz"
# A plane this close to a face of the box (relative to the box) is on it.
ON_FACE = 1e-9


def one_plane(x, y, z, what: str) -> tuple[int, float]:
    """(axis, coordinate) of the one plane given as x=, y= or z=."""
    given = [(a, v) for a, v in enumerate((x, y, z)) if v is not None]
    if len(given) != 1:
        named = ", ".join(f"{AXES[a]}={v!r}" for a, v in given) or "none"
        raise ValueError(f"{what}: give one plane, as x=, y= or z= (a length), got {named}")
    a, v = given[0]
    return a, real(v, f"{what} {AXES[a]}")


def in_plane(axis: int) -> tuple[int, int]:
    """The plane's two axes in increasing order: the picture's horizontal
    and vertical axes (x, y on a z-plane; x, z on a y-plane; y, z on an
    x-plane)."""
    u, v = (t for t in range(3) if t != axis)
    return u, v


def component_axis(component, what: str, default: int | None = None) -> int:
    """0, 1, 2 from "x", "y", "z", "Ex", "Ey", "Ez" or the index itself."""
    if component is None and default is not None:
        return default
    if isinstance(component, str) and component.lower().lstrip("e") in ("x", "y", "z") \
            and len(component) <= 2:
        return AXES.index(component.lower()[-1])
    if isinstance(component, int) and not isinstance(component, bool) and 0 <= component <= 2:
        return component
    raise ValueError(f"{what} component must be 'Ex', 'Ey' or 'Ez' (or 'x', 'y', 'z', or "
                     f"0, 1, 2), got {component!r}")


def positions(first: int, count: int, h: float, half: bool) -> np.ndarray:
    """Coordinates of samples first .. first + count - 1 along an axis of
    spacing h: nodes at i·h, or half positions (i + ½)·h where the
    component points along the axis."""
    return (first + np.arange(count) + (0.5 if half else 0.0)) * h


def nearest(coordinates: np.ndarray, value: float) -> int:
    """Index of the coordinate nearest ``value`` (the first of a tie)."""
    return int(np.argmin(np.abs(coordinates - value)))


def show(ax, values: np.ndarray, u: np.ndarray, v: np.ndarray, cmap: str, **options):
    """An image of ``values`` [len(u), len(v)] with each sample's cell
    centred on its coordinates: u across, v up, in length units."""
    hu = u[1] - u[0] if len(u) > 1 else 1.0
    hv = v[1] - v[0] if len(v) > 1 else 1.0
    extent = (u[0] - hu / 2, u[-1] + hu / 2, v[0] - hv / 2, v[-1] + hv / 2)
    return ax.imshow(np.asarray(values).T, origin="lower", extent=extent, cmap=cmap,
                     interpolation="nearest", **options)


def label_axes(ax, horizontal: int, vertical: int) -> None:
    ax.set_xlabel(f"{AXES[horizontal]} (length units)")
    ax.set_ylabel(f"{AXES[vertical]} (length units)")
    ax.set_aspect("equal")


def figure_and_axes(ax, size=(6.4, 4.8)):
    """(figure, axes): the given axes and their figure, or a new pair
    through pyplot, so that ``plt.show()`` and notebooks show it."""
    if ax is not None:
        return ax.figure, ax
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=size, layout="constrained")
    return fig, ax
