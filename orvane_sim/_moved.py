"""Where the modules of 0.1.0 went. Their old paths (``orvane_sim.gds``,
``orvane_sim.simulation``, ...) keep working for one release, with a
DeprecationWarning that names the new path; the next release drops this
file and the line of ``__init__`` that installs it.

An old path whose module moved whole gives that module itself, not a copy
of its names: ``isinstance``, monkeypatching and the module's constants
(``orvane_sim.farfield.CHUNK_ELEMENTS``) act on the one module whichever
path reached it. A module that was split gives a module holding the names each
part took (``SPLIT``); the names the old module did not make public are
looked up in the parts on demand. Old names that are packages now
(``geometry``, ``monitors``, ``sources``, ``design``, ``distributed``) need
nothing here: the package re-exports them.

The finder sits at the end of ``sys.meta_path``: it answers only for names
that no file of the package answers for.
"""
from __future__ import annotations

import importlib
import importlib.abc
import importlib.util
import os
import sys
import types
import warnings

PACKAGE = __name__.rpartition(".")[0]

# old module -> the module that holds it now
MOVED: dict[str, str] = {
    "analytic": "reference.analytic",
    "arguments": "grid.arguments",
    "build_info": "core.build_info",
    "checkpoint": "core.checkpoint",
    "coefficients": "grid.coefficients",
    "coupler": "demos.coupler",
    "descriptions": "core.descriptions",
    "farfield": "monitors.farfield",
    "flux": "monitors.flux",
    "gds": "geometry.gds",
    "incident": "sources.incident",
    "layouts": "geometry.layouts",
    "memory": "grid.memory",
    "metagrating": "demos.metagrating",
    "mie": "demos.mie",
    "objectives": "design.objectives",
    "periodic": "core.periodic",
    "placement": "grid.placement",
    "planar": "reference.stacks",
    "positions": "grid.positions",
    "prisms": "geometry.prisms",
    "pulse": "demos.pulse",
    "resample": "monitors.resample",
    "tfsf": "sources.tfsf",
    "threads": "core.threads",
}

# old module -> {new module: the old module's public names it holds now}
SPLIT: dict[str, dict[str, str]] = {
    "dispersion": {
        "materials.poles": "PoleForm Dielectric Debye Lorentz LAYER_DAMPING Drude",
        "materials.discrete": "DiscreteMaterial discretise MaterialTables material_tables "
                              "node_coefficients discrete_permittivity warped_frequency",
        "core.medium": "DispersiveMedium",
    },
    "modes": {
        "circuits.modes": "BOUNDARIES DENSE_LIMIT PHASE_TOLERANCE ARNOLDI_TOLERANCE Modes "
                          "solve_modes",
        "circuits.cross_section": "CrossSection plane_permittivity",
    },
    "ports": {
        "circuits.ports": "C64 rectangle_modes plane_mode cross rectangle_weights "
                          "mode_power_integral band_pulse ModePort",
        "circuits.s_parameters": "s_parameters write_touchstone",
    },
    "simulation": {
        "core.simulation": "load_backend MAX_CELLS_PER_AXIS MAX_CELLS box_cells Simulation",
        "core.stepping": "NonFiniteFields",
        "core.filling": "log",
        "core.initial_field": "gaussian_pulse divergence",
    },
}

# Old paths served without a warning: the circuits guide's tested examples
# spell them, and they stay until those examples can change.
QUIET = {"gds", "layouts"}


def new_paths(old: str) -> list[str]:
    """The full paths of the module(s) that ``old`` (a name below the
    package) went to."""
    parts = SPLIT[old] if old in SPLIT else [MOVED[old]]
    return [f"{PACKAGE}.{p}" for p in parts]


def _importer() -> int:
    """The stack level, for ``warnings.warn`` called from ``_warn``, of the
    code that imports an old path: past this module, the package's
    ``__getattr__`` and the import machinery (``importlib.import_module``
    too; the bootstrap frames ``warnings`` skips by itself)."""
    ours = (__file__, os.path.join(os.path.dirname(__file__), "__init__.py"))
    level, frame = 1, sys._getframe(1)
    while frame.f_back is not None:
        frame = frame.f_back
        name = frame.f_code.co_filename
        if "importlib" in name and "_bootstrap" in name:
            continue
        level += 1
        if name not in ours and "importlib" not in name:
            break
    return level


def _warn(old: str) -> None:
    if old in QUIET:
        return
    paths = new_paths(old)
    moved = (f"moved to {paths[0]}: import it from there" if len(paths) == 1 else
             f"was split into {', '.join(paths[:-1])} and {paths[-1]}: import each name from "
             f"its module")
    warnings.warn(f"{PACKAGE}.{old} {moved}; the old path goes in the next release",
                  DeprecationWarning, stacklevel=_importer())


def _load(old: str) -> types.ModuleType:
    if old in MOVED:
        return importlib.import_module(f"{PACKAGE}.{MOVED[old]}")
    module = types.ModuleType(f"{PACKAGE}.{old}", f"{PACKAGE}.{old}: split into "
                              f"{', '.join(new_paths(old))}.")
    parts = [importlib.import_module(p) for p in new_paths(old)]
    for part, names in zip(parts, SPLIT[old].values()):
        module.__dict__.update((name, getattr(part, name)) for name in names.split())

    def __getattr__(name):
        if name.startswith("__"):  # the module's own (__file__, __path__): it has none
            raise AttributeError(name)
        for part in parts:
            if hasattr(part, name):
                return getattr(part, name)
        raise AttributeError(f"module {module.__name__!r} has no attribute {name!r}")

    module.__getattr__ = __getattr__
    return module


def attribute(old: str) -> types.ModuleType:
    """The module at the old path ``PACKAGE.old``, for the package's
    ``__getattr__`` (``import orvane_sim; orvane_sim.simulation``)."""
    full = f"{PACKAGE}.{old}"
    if full not in sys.modules:
        _warn(old)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            importlib.import_module(full)
    return sys.modules[full]


class _Loader(importlib.abc.Loader):
    def create_module(self, spec):
        return None  # a placeholder: exec_module puts the real module in its place

    def exec_module(self, module) -> None:
        old = module.__name__.rpartition(".")[2]
        _warn(old)
        # the import statement takes what sys.modules holds once this returns
        sys.modules[module.__name__] = _load(old)


class _Finder(importlib.abc.MetaPathFinder):
    def find_spec(self, fullname, path=None, target=None):
        package, _, old = fullname.rpartition(".")
        if package != PACKAGE or (old not in MOVED and old not in SPLIT):
            return None
        return importlib.util.spec_from_loader(fullname, _Loader())


def install() -> None:
    if not any(isinstance(f, _Finder) for f in sys.meta_path):
        sys.meta_path.append(_Finder())
