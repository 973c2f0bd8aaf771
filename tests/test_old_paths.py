"""The module paths of 0.1.0 keep working for one release: each gives the
module it became (the same object), or the names of the modules it was
split into, or, where a folder took its name, the folder's names; each
moved one warns once, from the line that imports it, naming where it went."""
import importlib
import sys
import warnings

import pytest

import orvane_sim
from orvane_sim import _moved

# Every module of 0.1.0 but the command line.
OLD = ("analytic arguments build_info checkpoint coefficients coupler descriptions design "
       "dispersion distributed farfield flux gds geometry incident layouts memory metagrating "
       "mie modes monitors objectives periodic placement planar ports positions prisms pulse "
       "resample simulation sources tfsf threads").split()

# The public names of the 0.1.0 modules that were split or whose name a
# folder took (a module that moved whole is checked as one object). The
# painting's constants F64, TIE and PAINT_TILE stay in their module: a copy
# in the geometry folder would let a patch of it change nothing.
NAMES = {
    "dispersion": "PoleForm Dielectric Debye Lorentz LAYER_DAMPING Drude DiscreteMaterial "
                  "discretise MaterialTables material_tables node_coefficients "
                  "discrete_permittivity warped_frequency DispersiveMedium",
    "simulation": "log load_backend MAX_CELLS_PER_AXIS MAX_CELLS box_cells NonFiniteFields "
                  "Simulation gaussian_pulse divergence",
    "modes": "BOUNDARIES DENSE_LIMIT PHASE_TOLERANCE ARNOLDI_TOLERANCE Modes CrossSection "
             "plane_permittivity solve_modes",
    "ports": "C64 rectangle_modes plane_mode cross rectangle_weights mode_power_integral "
             "band_pulse ModePort s_parameters write_touchstone",
    "design": "DesignRegion Design",
    "distributed": "slab_bounds SlabExchange SlabBoundary SlabSimulation init_group pulse_run "
                   "single_pulse_run spawn_run spawn_pulse_run main",
    "geometry": "Material Shape Box Sphere Slab Cylinder PeriodicImages Object periodic_images "
                "node_coordinates fill_fraction dispersive material_grids permittivity_grids",
    "monitors": "fourier_factors StepFactors FrequencyMonitor FluxPlane",
    "sources": "Waveform gaussian slot_factor PlaneWave CurrentBox",
}


def served(old: str) -> bool:
    return old in _moved.MOVED or old in _moved.SPLIT


@pytest.fixture
def fresh(monkeypatch):
    """Forget the old paths imported so far, so that each import runs again."""
    for old in filter(served, OLD):
        if old in vars(orvane_sim):  # (asking with hasattr would import it)
            monkeypatch.delattr(orvane_sim, old)
        monkeypatch.delitem(sys.modules, f"orvane_sim.{old}", raising=False)


def deprecations(caught) -> list:
    return [w for w in caught if issubclass(w.category, DeprecationWarning)]


@pytest.mark.parametrize("old", OLD)
def test_every_old_path_gives_the_moved_objects_and_says_where_they_went(fresh, old):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        module = importlib.import_module(f"orvane_sim.{old}")
    if old in _moved.MOVED:
        assert module is importlib.import_module(f"orvane_sim.{_moved.MOVED[old]}")
    for name in NAMES.get(old, "").split():
        value = getattr(module, name)
        home = getattr(value, "__module__", None)
        if home is not None and home.startswith("orvane_sim."):  # a class or function
            assert home != f"orvane_sim.{old}", name  # the moved object, not a copy
            assert getattr(sys.modules[home], value.__name__) is value, name
    said = deprecations(caught)
    if not served(old) or old in _moved.QUIET:
        assert not said
        return
    assert len(said) == 1 and said[0].filename == __file__  # the importing line
    for path in _moved.new_paths(old):
        assert path in str(said[0].message)


def test_old_modules_as_attributes_of_the_package(fresh):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert orvane_sim.simulation.Simulation is orvane_sim.Simulation
        from orvane_sim import dispersion, layouts
    assert dispersion.DispersiveMedium is orvane_sim.core.DispersiveMedium
    assert layouts is orvane_sim.geometry.layouts
    said = deprecations(caught)
    assert [w.filename for w in said] == [__file__] * 2  # layouts is quiet
    with pytest.raises(AttributeError):
        orvane_sim.no_such_module
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("orvane_sim.no_such_module")
