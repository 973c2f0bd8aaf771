"""Small GDS layouts drawn with gdstk, for tests and examples.

Coordinates are in the file's user unit (``unit`` metres, 1 µm by default)
and stored on its ``precision`` grid (1 nm by default); guides run along x.
Each function writes one top-level cell and returns the file's path.
"""
from __future__ import annotations

import os


def _write(path, cell, unit: float, precision: float):
    import gdstk

    library = gdstk.Library(unit=unit, precision=precision)
    library.add(cell)
    library.write_gds(os.fspath(path))
    return path


def straight_waveguide(path, width: float, length: float, center=(0.0, 0.0), layer=(1, 0),
                       cell: str = "waveguide", unit: float = 1e-6, precision: float = 1e-9):
    """A ``width`` × ``length`` rectangle along x centred on ``center``."""
    import gdstk

    cx, cy = center
    top = gdstk.Cell(cell)
    top.add(gdstk.rectangle((cx - length / 2, cy - width / 2), (cx + length / 2, cy + width / 2),
                            layer=layer[0], datatype=layer[1]))
    return _write(path, top, unit, precision)


def directional_coupler(path, width: float, gap: float, length: float, bend_length: float,
                        offset: float, lead: float = 0.0, center=(0.0, 0.0), layer=(1, 0),
                        cell: str = "coupler", unit: float = 1e-6, precision: float = 1e-9):
    """Two guides ``width`` wide, ``gap`` apart (edge to edge) over a
    straight ``length`` centred on ``center``; at both ends cubic Bézier
    S-bends ``bend_length`` long take each guide ``offset`` further out,
    then straight leads ``lead`` long. The whole is length + 2·bend_length
    + 2·lead long."""
    import gdstk

    cx, cy = center
    top = gdstk.Cell(cell)
    x0 = cx - length / 2 - bend_length - lead
    for side in (-1, 1):
        inner = cy + side * (gap + width) / 2
        arm = gdstk.FlexPath((x0, inner + side * offset), width, tolerance=width / 200,
                             layer=layer[0], datatype=layer[1])
        s_bend = [(bend_length / 2, 0), (bend_length / 2, -side * offset),
                  (bend_length, -side * offset)]
        if lead:
            arm.horizontal(lead, relative=True)
        arm.bezier(s_bend, relative=True)
        arm.horizontal(length, relative=True)
        arm.bezier([(x, -y) for x, y in s_bend], relative=True)
        if lead:
            arm.horizontal(lead, relative=True)
        top.add(arm)
    return _write(path, top, unit, precision)
