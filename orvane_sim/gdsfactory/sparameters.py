"""``write_sparameters``: the call gdsfactory's solver plugins share, a
component in and a dictionary of S-parameters out, cached in an ``.npz``
by a hash of the component and the settings.

Keys are ``"o1@0,o2@0"``: the wave into port o1 in mode 0, out of port o2
in mode 0 (S21 of a two-port); ``"wavelengths"`` holds the wavelengths in
µm. ``port_symmetries`` maps a key to the keys that equal it by the
component's symmetry (``{"o1@0,o1@0": ["o2@0,o2@0"]}``); a port whose every
key is given by another port's is not lit, which saves its batch entry.
The reference planes are the mode ports' planes, ``port_offset`` outside
the component's ports.

The run lasts until every lit port's pulse has passed and the amplitudes
of all ports have settled: after the pulse, the S-parameters are taken
every ``settle`` time (by default the time light takes through the box at
the highest index) and the run stops when none moved by more than
``tolerance`` of the largest since the last look, or, with a warning that
says how far they still moved, after ``SETTLE_LOOKS`` looks.
"""
from __future__ import annotations

import hashlib
import json
import math
import os
import pathlib
import warnings

import numpy as np
import torch

from ..circuits.s_parameters import scattering_matrix
from .component import mesh_settings, simulation


# The looks at the S-parameters after the pulse before a run that has not
# settled stops with a warning: a component that holds light for longer
# (a ring) needs until= or a larger tolerance, not a run without end.
SETTLE_LOOKS = 20


def sparameter_key(into: str, out: str, mode_in: int = 0, mode_out: int = 0) -> str:
    """The dictionary key of the wave into port ``into`` and out of ``out``."""
    return f"{into}@{mode_in},{out}@{mode_out}"


def _needed_ports(names: list, port_symmetries: dict | None, mode: int) -> list:
    """The ports to light: those with a key not given by the symmetries."""
    if not port_symmetries:
        return list(names)
    given = {v for values in port_symmetries.values() for v in values}
    every = {sparameter_key(a, b, mode, mode) for a in names for b in names}
    for key, values in port_symmetries.items():
        for k in [key, *values]:
            if k not in every:
                raise ValueError(f"port_symmetries names {k!r}, not a key of these ports "
                                 f"({', '.join(sorted(every))})")
    return [a for a in names
            if any(sparameter_key(a, b, mode, mode) not in given for b in names)]


def _settings_hash(component, settings: dict, layer_stack, material_mapping) -> str:
    """A digest of what the S-parameters depend on: the component's
    geometry and ports, the layer stack and the settings."""
    h = hashlib.sha256()
    h.update(component.name.encode())
    for layer, polygons in sorted(component.get_polygons_points(by="tuple").items()):
        h.update(repr(layer).encode())
        for points in polygons:
            h.update(np.ascontiguousarray(np.round(np.asarray(points, dtype=float), 6)).tobytes())
    for p in component.ports:
        h.update(repr((p.name, tuple(p.center), float(p.width), float(p.orientation))).encode())
    if layer_stack is not None:
        h.update(json.dumps(layer_stack.model_dump(), sort_keys=True, default=str).encode())
    h.update(json.dumps(settings, sort_keys=True, default=str).encode())
    h.update(repr(sorted((str(k), repr(v)) for k, v in (material_mapping or {}).items()))
             .encode())
    return h.hexdigest()[:16]


def run_sparameters(built, until: float | None = None, settle: float | None = None,
                    tolerance: float = 1e-3, progress=None) -> torch.Tensor:
    """Run ``built`` (a ``ComponentSimulation``, its ports added and lit)
    and return S [F, P, L]
    (ports in the component's order, L the lit ones): until ``until`` when
    given, else until the amplitudes settle (the module's docstring)."""
    sim, ports = built.sim, list(built.ports.values())
    names = list(built.ports)
    lit = [names.index(n) for n in built.settings["lit"]]
    if until is not None:
        sim.run(until=until, progress=progress)
        return scattering_matrix(ports, lit)[0]
    waveform = ports[0].waveform
    pulse_end = float(waveform.t0) + 3.0 * float(waveform.width)
    if settle is None:
        length = math.hypot(*(sim.grid[t].length for t in range(2)))
        settle = length * built.max_index
    sim.run(until=pulse_end + settle, progress=progress)
    S = scattering_matrix(ports, lit)[0]
    for _ in range(SETTLE_LOOKS):
        sim.run(until=sim.time + settle, progress=progress)
        now = scattering_matrix(ports, lit)[0]
        moved = float((now - S).abs().max() / max(float(now.abs().max()), 1e-30))
        S = now
        if moved <= tolerance:
            return S
    warnings.warn(f"the S-parameters still moved by {moved:.1e} of the largest in the last "
                  f"{settle:.4g} time units when the run stopped at t = {sim.time:.4g}, "
                  f"{SETTLE_LOOKS} looks after the pulse (tolerance {tolerance:g}): light "
                  f"that stays in the component (a resonance, reflections between its parts) "
                  f"or a band edge where the pulse is weak; run longer with until=, or "
                  f"allow a larger tolerance", RuntimeWarning, stacklevel=2)
    return S


def write_sparameters(component, layer_stack=None, material_mapping: dict | None = None, *,
                      wavelength_start: float = 1.5, wavelength_stop: float = 1.6,
                      wavelength_points: int = 50, resolution: float = 20,
                      port_symmetries: dict | None = None, filepath=None, dirpath=None,
                      overwrite: bool = False, run: bool = True, until: float | None = None,
                      tolerance: float = 1e-3, progress=None, **settings) -> dict:
    """The S-parameters of ``component`` as gdsfactory's solver plugins
    return them: {"o1@0,o2@0": complex array over the wavelengths, ...,
    "wavelengths": µm}, read from ``filepath`` when a run with the same
    component and settings wrote it (unless ``overwrite``), else computed
    and written there (by default ``dirpath``, or ~/.cache/orvane/sparameters,
    ``<component>_<hash>.npz``). ``settings``: those of ``simulation``
    (margins, ``port_margin``, ``port_offset``, ``layer_thickness``,
    ``mode``, ``polarization``, ``background``, ``backend``, the z cells'
    ``mesh``, ``level_cells`` and ``mesh_ratio``, ...).
    ``run=False`` builds the simulation and returns the figure of its
    structure, ports and layers instead of running it."""
    from .component import _gdsfactory

    gf = _gdsfactory()
    if isinstance(component, str):
        component = gf.get_component(component)
    if layer_stack is None:
        layer_stack = gf.get_active_pdk().layer_stack
    names = [p.name for p in component.ports if getattr(p, "port_type", "optical") == "optical"]
    mode = int(settings.get("mode", 0))
    lit = _needed_ports(names, port_symmetries, mode)
    # the z cells as the run takes them, defaults included: a result of
    # one grid is never read back for another
    cells_z = mesh_settings(**{k: settings[k] for k in ("mesh", "level_cells", "mesh_ratio")
                               if k in settings})
    recorded = dict(settings, wavelength_start=wavelength_start, wavelength_stop=wavelength_stop,
                    wavelength_points=wavelength_points, resolution=resolution, lit=lit,
                    port_symmetries=port_symmetries, until=until, tolerance=tolerance,
                    **cells_z)
    if filepath is None:
        folder = pathlib.Path(dirpath or os.path.join(os.path.expanduser("~"), ".cache",
                                                      "orvane", "sparameters"))
        digest = _settings_hash(component, recorded, layer_stack, material_mapping)
        filepath = folder / f"{component.name[:60]}_{digest}.npz"
    filepath = pathlib.Path(filepath)
    if run and filepath.exists() and not overwrite:
        with np.load(filepath) as stored:
            return {k: stored[k] for k in stored.files}

    built = simulation(component, layer_stack, material_mapping,
                       wavelength_start=wavelength_start, wavelength_stop=wavelength_stop,
                       wavelength_points=wavelength_points, resolution=resolution, lit=lit,
                       **settings)
    if not run:
        return built.plot()
    S = run_sparameters(built, until=until, tolerance=tolerance, progress=progress)
    out = {}
    for j, a in enumerate(lit):
        for i, b in enumerate(names):
            out[sparameter_key(a, b, mode, mode)] = S[:, i, j].numpy()
    for key, values in (port_symmetries or {}).items():
        for value in values:
            if value not in out and key in out:
                out[value] = out[key]
    out["wavelengths"] = built.wavelengths.numpy()
    filepath.parent.mkdir(parents=True, exist_ok=True)
    np.savez(filepath, **out)
    return out
