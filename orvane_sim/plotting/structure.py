"""A simulation on one plane: the permittivity its material grids hold,
the outlines of its objects, its sources, monitors and ports where they
cross the plane, and its absorbing layers shaded (``Simulation.plot``)."""
from __future__ import annotations

import math

import numpy as np
import torch

from ..geometry.shapes import Box, Sphere
from ..grid.arguments import count, real
from ..materials.discrete import discrete_permittivity
from .planes import (AXES, ON_FACE, component_axis, figure_and_axes, in_plane, label_axes,
                     nearest, one_plane, positions, show)

# Samples per cell along each axis of the plane where a shape's outline is
# traced, and at most this many along an axis, so that a large box stays
# quick: the outline lies within half a sample of the shape's.
OUTLINE_SAMPLES = 8
OUTLINE_MAX = 800

COLOURS = {"source": "tab:red", "monitor": "tab:blue", "port": "tab:green",
           "object": "tab:orange", "layer": "0.5"}


def painted_permittivity(sim, component: int, frequency: float | None = None, b1: int = 0):
    """(ε [X, Y, Z] float64 NumPy, ν): the permittivity of electric
    component ``component``'s nodes of material arrangement ``b1`` as the
    simulation steps them, over the part of the box its tensors hold.

    Without poles or loss among the materials painted there, ν is None and
    ε is each node's denominator (``Simulation.permittivity``), the same at
    every frequency. Otherwise ε is the real part of the permittivity that
    the time stepping realises at ν (the material's own at a frequency
    warped by (ω dt)²/12, ``materials.discrete_permittivity``), blended by
    the node's weight as the dispersive pass blends it: at ``frequency``
    if given, else at the middle of the frequencies the simulation's
    sources and monitors take, else at zero frequency (ν = 0.0: the static
    real part, finite for a Drude metal too, ε∞ − ωp²/γ²)."""
    medium = sim.medium
    if medium is None:  # nothing painted: vacuum
        return np.ones(sim.shape), None
    w, id1, id2 = (t[b1].detach().cpu() for t in medium.grids[component])
    tables = medium.tables
    dispersive = ((tables.rec_b != 0) | (tables.loss != 0)).cpu()
    present = torch.unique(torch.cat([id1[w > 0], id2[w < 1]]).long())
    if not bool(dispersive[present].any()):
        den = medium.den1[component][b1] + medium.den2[component][b1]
        return den.detach().cpu().double().numpy(), None
    nu = frequency if frequency is not None else feature_frequency(sim)
    values = torch.zeros(len(tables.den), dtype=torch.float64)
    for m in present.tolist():
        alpha, beta = complex(tables.rec_a[m]), complex(tables.rec_b[m])
        den, loss = float(tables.den[m]), float(tables.loss[m])
        if nu == 0.0:
            # the limit ν → 0 of the discrete form: its real part stays finite
            # (the loss term is imaginary there to first order, -loss/2 real)
            static = den - 0.5 * loss
            if beta != 0:
                static += ((1 + alpha) * beta / (1 - alpha)).real
            values[m] = static
        else:
            values[m] = float(discrete_permittivity(alpha, beta, den, loss, 2 * math.pi * nu,
                                                    sim.dt).real)
    w = w.double()
    eps = w * values[id1.long()] + (1 - w) * values[id2.long()]
    return eps.numpy(), nu


def feature_frequency(sim) -> float:
    """The middle of the frequencies the simulation's sources and monitors
    take (ports, flux planes, monitors), or 0.0 where none takes any."""
    found = []
    for feature in list(sim.sources) + list(sim.monitors):
        values = getattr(feature, "frequencies", None)
        if values is not None:
            found += [float(f) for f in torch.as_tensor(values).flatten() if float(f) > 0]
    return 0.5 * (min(found) + max(found)) if found else 0.0


def plot_simulation(sim, x=None, y=None, z=None, frequency=None, component=None, b1: int = 0,
                    ax=None):
    """The picture ``Simulation.plot`` draws (see there)."""
    what = "Simulation.plot"
    a, at = one_plane(x, y, z, what)
    place = sim.placement
    cells, h, offset = place.shape, sim.spacing, place.offset
    length = cells[a] * h[a]
    if not -ON_FACE * length <= at <= length * (1 + ON_FACE):
        raise ValueError(f"{what}: {AXES[a]} = {at:g} lies outside the box, which spans "
                         f"{AXES[a]} = 0 .. {length:g}")
    c = component_axis(component, what, default=(a + 1) % 3)
    b1 = count(b1, f"{what} b1", 0, sim.batch[1] - 1)
    if frequency is not None:
        frequency = real(frequency, f"{what} frequency", positive=True)
    # the plane of component c's nodes nearest the coordinate asked for
    along = positions(0, cells[a], h[a], half=c == a)
    node = nearest(along, at)
    local = node - offset[a]
    if not 0 <= local < sim.shape[a]:
        held = positions(offset[a], sim.shape[a], h[a], half=c == a)
        raise ValueError(f"{what}: {AXES[a]} = {at:g} lies outside the part of the box this "
                         f"process holds, {AXES[a]} = {held[0]:g} .. {held[-1]:g}")
    eps, nu = painted_permittivity(sim, c, frequency, b1)
    plane = np.take(eps, local, axis=a)  # [u, v]
    u, v = in_plane(a)
    coords = [positions(offset[t], sim.shape[t], h[t], half=c == t) for t in (u, v)]

    fig, ax = figure_and_axes(ax)
    image = show(ax, plane, coords[0], coords[1], cmap="Greys")
    label = "ε" if nu is None else "Re ε"
    fig.colorbar(image, ax=ax, label=f"{label} of E{AXES[c]}")
    where = f"{AXES[a]} = {along[node]:g}"
    if nu is None:
        ax.set_title(f"ε of E{AXES[c]} on {where}")
    else:
        at_nu = "static (ν → 0)" if nu == 0.0 else f"at ν = {nu:g}"
        ax.set_title(f"Re ε of E{AXES[c]} on {where}, {at_nu}")
    view = {t: (0.0, cells[t] * h[t]) for t in (u, v)}
    _outlines(ax, sim, b1, a, float(along[node]), (u, v), view, h)
    _layers(ax, sim, a, float(along[node]), (u, v), view)
    _features(ax, sim, a, float(along[node]), (u, v))
    ax.set_xlim(*view[u])
    ax.set_ylim(*view[v])
    label_axes(ax, u, v)
    if ax.get_legend_handles_labels()[0]:  # below the axes, clear of the structure
        ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), ncols=3, fontsize="small",
                  frameon=False)
    return fig


def _outlines(ax, sim, b1: int, a: int, at: float, plane, view, h) -> None:
    """Each painted object's outline where the plane cuts it: a box's
    rectangle and a sphere's circle as they are, any other shape (a prism,
    a cylinder, periodic images) traced as the line between the plane's
    samples inside it and those outside (``Shape.contains``)."""
    from matplotlib.patches import Circle, Rectangle

    u, v = plane
    style = dict(fill=False, edgecolor=COLOURS["object"], linewidth=1.0)
    drawn = False
    for obj in sim.painted_objects(b1):
        shape, bounds = obj.shape, obj.shape.bounds()
        if not bounds[a][0] <= at <= bounds[a][1]:
            continue
        gid = f"object:{type(shape).__name__}"
        if isinstance(shape, Box):
            (u0, u1), (v0, v1) = bounds[u], bounds[v]
            ax.add_patch(Rectangle((u0, v0), u1 - u0, v1 - v0, gid=gid, **style))
        elif isinstance(shape, Sphere):
            centre = [float(p) for p in shape.center]
            radius = math.sqrt(max(shape.radius**2 - (at - centre[a]) ** 2, 0.0))
            ax.add_patch(Circle((centre[u], centre[v]), radius, gid=gid, **style))
        elif not _traced(ax, shape, bounds, a, at, plane, view, h, gid):
            continue
        drawn = True
    if drawn:  # a legend takes a line, not a contour set
        ax.plot([], [], color=COLOURS["object"], linewidth=1.0, label="object outline")


def _traced(ax, shape, bounds, a: int, at: float, plane, view, h, gid: str) -> bool:
    """The outline of ``shape`` on the plane as a contour of the samples
    inside it; False where the plane's view holds none of it."""
    grid = []
    for t in plane:
        lo, hi = view[t]
        step = max(h[t] / OUTLINE_SAMPLES, (hi - lo) / OUTLINE_MAX)
        # one sample beyond the shape (or the view) closes its outline
        lo, hi = max(bounds[t][0], lo) - step, min(bounds[t][1], hi) + step
        if not lo < hi:
            return False
        grid.append(np.linspace(lo, hi, int(math.ceil((hi - lo) / step)) + 1))
    U, V = np.meshgrid(*grid, indexing="ij")
    points = np.empty(U.shape + (3,))
    points[..., plane[0]], points[..., plane[1]], points[..., a] = U, V, at
    inside = shape.contains(torch.from_numpy(points)).numpy()
    if inside.all() or not inside.any():
        return False
    lines = ax.contour(U, V, inside.astype(float), levels=[0.5], colors=COLOURS["object"],
                       linewidths=1.0)
    lines.set_gid(gid)
    return True


def _layers(ax, sim, a: int, at: float, plane, view) -> None:
    """The absorbing layers shaded: a band along each face of the plane's
    two axes that has them, or the whole plane where it lies in a layer."""
    from matplotlib.patches import Rectangle

    cells, h = sim.placement.shape, sim.spacing
    bands = []
    low, high = sim.faces[a]
    if at < low * h[a] or at > (cells[a] - high) * h[a]:
        bands.append((view[plane[0]], view[plane[1]]))
    for k, t in enumerate(plane):
        low, high = sim.faces[t]
        other = view[plane[1 - k]]
        for span in ([(0.0, low * h[t])] if low else []) + \
                ([((cells[t] - high) * h[t], cells[t] * h[t])] if high else []):
            bands.append((span, other) if k == 0 else (other, span))
    for n, ((u0, u1), (v0, v1)) in enumerate(bands):
        ax.add_patch(Rectangle((u0, v0), u1 - u0, v1 - v0, facecolor=COLOURS["layer"],
                               alpha=0.25, hatch="//", edgecolor="none", gid="layer",
                               label="absorbing layer" if n == 0 else None))


def _nodes(sim, lo, hi):
    return ([n * s for n, s in zip(lo, sim.spacing)], [n * s for n, s in zip(hi, sim.spacing)])


def _frequency_monitor(f, sim):
    if f.Ex is None:  # this part of the box holds none of it
        return None
    off = sim.placement.offset
    first = [int(r[0]) + o for r, o in zip(f.ranges, off)]
    last = [int(r[1]) + 1 + o for r, o in zip(f.ranges, off)]  # its last cell's far node
    return _nodes(sim, first, last)


def _flux_plane(f, sim):
    cells = sim.placement.shape
    return _nodes(sim, (0, 0, f.z), (cells[0], cells[1], f.z))


def _plane_wave(f, sim):
    cells, (mx, my) = sim.placement.shape, (int(m) for m in f.margins)
    return _nodes(sim, (mx, my, f.plane + 1), (cells[0] - mx, cells[1] - my, f.plane + 1))


def _current_box(f, sim):
    if f.box is None:
        return None
    first = [int(o) + p for o, p in zip(f.offset, sim.placement.offset)]
    return _nodes(sim, first, [o + n for o, n in zip(first, f.box.shape[2:5])])


def _corners(f, sim):
    return _nodes(sim, f.lo, f.hi)


# Where each kind of feature lies, (low corner, high corner) in length
# units, from what it holds; by class name, as this folder imports none of
# them. A feature of another kind is not drawn.
REGIONS = {"FrequencyMonitor": _frequency_monitor, "FluxPlane": _flux_plane,
           "FluxRectangle": _corners, "FluxBox": _corners, "TotalFieldBox": _corners,
           "ModePort": _corners, "PlaneWave": _plane_wave, "CurrentBox": _current_box}


def _region(feature, sim):
    for kind in type(feature).__mro__:
        if kind.__name__ in REGIONS:
            return REGIONS[kind.__name__](feature, sim)
    return None


def _features(ax, sim, a: int, at: float, plane) -> None:
    """Sources red, monitors blue and ports (both at once) green, each as
    the rectangle (or the line) where it crosses the plane; a port named
    with its direction."""
    from matplotlib.patches import Rectangle

    u, v = plane
    seen, labelled = set(), set()
    for feature in list(sim.sources) + list(sim.monitors):
        if id(feature) in seen:
            continue
        seen.add(id(feature))
        region = _region(feature, sim)
        if region is None:
            continue
        lo, hi = region
        slack = 0.5 * sim.spacing[a]  # the plane lies on the node nearest it
        if not lo[a] - slack <= at <= hi[a] + slack:
            continue
        source = any(f is feature for f in sim.sources)
        monitor = any(f is feature for f in sim.monitors)
        kind = "port" if source and monitor else "source" if source else "monitor"
        name = getattr(feature, "name", None) or type(feature).__name__
        ax.add_patch(Rectangle((lo[u], lo[v]), hi[u] - lo[u], hi[v] - lo[v], fill=False,
                               edgecolor=COLOURS[kind], linewidth=1.5, gid=f"{kind}:{name}",
                               linestyle="--" if kind == "monitor" else "-",
                               label=None if kind in labelled else kind))
        labelled.add(kind)
        if kind == "port":
            arrow = "+" if feature.sign > 0 else "-"
            ax.annotate(f"{name} ({arrow}{AXES[feature.axis]})",
                        (0.5 * (lo[u] + hi[u]), 0.5 * (lo[v] + hi[v])), color=COLOURS[kind],
                        fontsize="small", ha="center", va="bottom")
