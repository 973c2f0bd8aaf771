"""The materials library: each fit holds its stated errors against the
formula it comes from, and the statement is tight; the formulas give the
literature's values; a material is the same in any length unit; the band
is refused outside; a library material steps in a simulation."""
import math

import pytest
import torch

from orvane_sim import CurrentBox, FrequencyMonitor, Object, Simulation, Slab
from orvane_sim.core.descriptions import described
from orvane_sim.materials import Dielectric, Drude, Lorentz
from orvane_sim.materials.library import FITS, LIBRARY, LorentzFit, check_band, material, refit

NAMES = list(LIBRARY)


def errors_over_band(m, samples=5001):
    """Largest index, relative and loss errors against the formula, sampled
    evenly in wavelength (the statement was made on frequencies)."""
    low, high = m.wavelengths
    omega = 2 * math.pi / torch.linspace(low, high, samples, dtype=torch.float64)
    got, want = m.permittivity(omega), m.reference_permittivity(omega)
    lossy = want.imag > 0
    loss = (got.imag - want.imag)[lossy].abs() / want.imag[lossy]
    return (float((got.sqrt() - want.sqrt()).abs().max()),
            float(((got - want).abs() / want.abs()).max()),
            float(loss.max()) if lossy.any() else 0.0)


@pytest.mark.parametrize("name", NAMES)
def test_stated_errors_hold_over_the_band_and_are_tight(name):
    m = LIBRARY[name]()
    stated = (m.index_error, m.relative_error, m.loss_error)
    for true, claim in zip(errors_over_band(m), stated):
        assert true <= claim <= 2 * true or claim == true == 0, (true, claim)


@pytest.mark.parametrize("name", NAMES)
def test_refitting_reproduces_the_stored_fit(name):
    stored = FITS[name]
    again = refit(name, stored.band)
    assert (again.index_error, again.relative_error, again.loss_error) == \
        (stored.index_error, stored.relative_error, stored.loss_error)
    m = LIBRARY[name]()  # micrometres: the fits' own unit
    new = Lorentz(*again.parameters, 0.0) if isinstance(m, Lorentz) else Drude(*again.parameters)
    omega = 2 * math.pi / torch.linspace(*stored.band, 301, dtype=torch.float64)
    drift = ((new.permittivity(omega) - m.permittivity(omega)).abs()
             / m.permittivity(omega).abs()).max()
    assert drift <= 0.01 * stored.relative_error


# Index (complex for metals) at 1.55 um: the dielectrics' as the papers give
# them, the metals' from Rakic et al.'s model.
KNOWN = [("silicon", 3.4777 + 0j, 1e-4), ("silica", 1.4440 + 0j, 1e-4),
         ("silicon nitride", 1.9963 + 0j, 1e-4), ("gold", 0.575 + 9.664j, 1e-3),
         ("silver", 0.400 + 10.173j, 1e-3), ("aluminium", 1.536 + 15.330j, 1e-3),
         ("copper", 0.470 + 10.453j, 1e-3)]


@pytest.mark.parametrize("name, index, tol", KNOWN, ids=[k[0] for k in KNOWN])
def test_formula_and_fit_give_the_known_index_at_1550_nm(name, index, tol):
    m = LIBRARY[name]()
    omega = torch.tensor([2 * math.pi / 1.55], dtype=torch.float64)
    assert abs(complex(m.reference_permittivity(omega)[0]) ** 0.5 - index) <= tol
    fit = complex(m.permittivity(omega)[0])
    assert abs(fit ** 0.5 - index) <= tol + m.index_error
    if m.loss_error:  # a metal: negative Re eps, loss of the right sign
        assert fit.real < -50 and fit.imag > 0


@pytest.mark.parametrize("name", ["silicon", "gold"])
@pytest.mark.parametrize("unit", [1e-9, 1e-3, 2.5e-7])
def test_the_same_material_in_another_unit_is_the_same_material(name, unit):
    um, other = LIBRARY[name](), LIBRARY[name](unit=unit)
    ratio = 1e-6 / unit
    assert other.wavelengths == pytest.approx(tuple(w * ratio for w in um.wavelengths))
    assert other.frequencies == pytest.approx(tuple(f / ratio for f in um.frequencies))
    wavelengths = torch.tensor([1.2, 1.55, 2.0], dtype=torch.float64)  # um
    for method in ("permittivity", "reference_permittivity"):
        torch.testing.assert_close(getattr(other, method)(2 * math.pi / (wavelengths * ratio)),
                                   getattr(um, method)(2 * math.pi / wavelengths),
                                   rtol=1e-12, atol=0)


REFUSED = [  # frequencies in cycles per um against silica's 1.2 to 2 um
    ("below the band", [1 / 2.1]),
    ("above the band", 1 / 1.1),
    ("one among good ones", torch.tensor([0.6, 0.7, 1.0])),
    ("not a number", [0.6, math.nan]),
]


@pytest.mark.parametrize("frequencies", [c[1] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_frequencies_outside_the_band_are_refused_by_name(frequencies):
    plain, silica = Dielectric(2.0), LIBRARY["silica"]()
    with pytest.raises(ValueError, match=r"FrequencyMonitor: .* silica, wavelengths 1\.2 to 2 um"
                                         r" \(frequencies 0\.5 to 0\.833333"):
        check_band([plain, silica], frequencies, "FrequencyMonitor")


def test_frequencies_in_the_band_pass_edges_included():
    nm = LIBRARY["silica"](unit=1e-9)
    check_band([nm, Dielectric(2.0)], [1 / 1200, 1 / 1550, 1 / 2000], "ModePort")
    with pytest.raises(ValueError, match="ModePort: .* 1200 to 2000 nm"):
        nm.check_frequencies(1 / 1199, "ModePort")


def test_a_band_of_ones_own_is_fitted_inside_the_formulas_range():
    narrow = LIBRARY["silicon nitride"](unit=1e-9, band=(1500, 1600))
    assert narrow.wavelengths == (1500, 1600)
    assert narrow.index_error < LIBRARY["silicon nitride"]().index_error / 10
    assert errors_over_band(narrow)[0] <= narrow.index_error
    with pytest.raises(ValueError, match=r"silicon: a band must lie inside the formula's range, "
                                         r"1\.357 to 11\.04 um; got 1\.2 to 2 um"):
        LIBRARY["silicon"](unit=1e-9, band=(1200, 2000))


def test_a_library_material_is_its_pole_form_described_by_plain_values():
    gold, si = material("gold", unit=1e-9), material("silicon")
    assert isinstance(gold, Drude) and isinstance(si, Lorentz) and si.gamma == 0
    assert type(gold.in_layers(1.0)) is Drude  # the layers' damped stand-in is a plain pole
    d = described(gold)
    assert d["kind"] == "DrudeFit" and d["name"] == "gold" and "Rakic" in d["source"]
    assert all(isinstance(v, (str, float, list)) for v in d.values())
    with pytest.raises(ValueError, match="no material 'glass'"):
        material("glass")
    with pytest.raises(ValueError, match="gold is fitted as a drude material"):
        LorentzFit("gold")


@pytest.mark.parametrize("name", ["silicon", "gold"])
def test_a_library_material_steps_in_a_simulation(name):
    # a periodic column along z: a sheet current at 1.55 um, a slab of the
    # material, absorbing layers at both ends
    h, nu = 0.02, 1 / 1.55
    sim = Simulation((2, 2, 160), spacing=h, layers=((0, 0), (0, 0), (20, 20)),
                     bloch=(0.0, 0.0),
                     objects=[Object(Slab((0, 0, 1), 1.6, 2.0), LIBRARY[name]())])

    def pulse(t):
        return math.exp(-((t - 2.0) / 0.8) ** 2) * math.sin(2 * math.pi * nu * t)

    sim.add(CurrentBox(sim, (0, 0, 40), (2, 2, 1), pulse, direction=(1.0, 0.0, 0.0)))
    sim.step(450)  # the pulse is over
    middle = sim.energy()
    sim.step(200)
    sim.check_finite()
    assert 0 < sim.energy() < middle


@pytest.mark.parametrize("order", ["monitor after painting", "monitor before painting"])
def test_a_monitor_outside_a_painted_materials_band_is_refused(order):
    # silicon's fit holds from 1.36 um: a monitor at 1.2 um says nothing of it
    objects = [Object(Slab((0, 0, 1), 0.4, 0.6), LIBRARY["silicon"]())]

    def box():
        return Simulation((4, 4, 50), spacing=0.02, layers=((0, 0), (0, 0), (10, 10)),
                          bloch=(0.0, 0.0))

    def monitor(sim, wavelengths):
        return FrequencyMonitor(sim, [1 / w for w in wavelengths], box=((0, 0, 0.1),
                                                                        (0.08, 0.08, 0.2)))

    sim = box()
    if order == "monitor after painting":
        sim.set_objects(objects)
        sim.add(monitor(sim, [1.55]))
        with pytest.raises(ValueError, match=r"FrequencyMonitor: frequency .* \(1\.2 um\) "
                                             r"lies outside the band of silicon"):
            sim.add(monitor(sim, [1.55, 1.2]))
        assert len(sim.monitors) == 1, "the refused monitor is not attached"
    else:
        sim.add(monitor(sim, [1.2]))
        with pytest.raises(ValueError, match="outside the band of silicon"):
            sim.set_objects(objects)
        assert sim.painted is None, "nothing is painted when the call fails"
