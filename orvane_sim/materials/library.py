"""Materials library: silicon, silica, silicon nitride, gold, silver,
aluminium and copper as pole materials the kernels run, each fitted over a
stated band to a published dispersion formula, with the fit's largest error
over that band stated.

One material holds one complex pole pair, and for a metal a pole at zero
frequency (``materials.poles``): so a dielectric here is a lossless ``Lorentz``
(eps_inf + one resonance, gamma = 0) and a metal a ``Drude`` (eps_inf + one
Drude term). A Sellmeier formula's three terms, or the five oscillators of
a metal's Lorentz-Drude model, fit that form over a band only, so every
material is a fit over a band, and the band is part of the material:

    >>> si = silicon()                 # lengths in micrometres
    >>> si.wavelengths, si.index_error
    ((1.36, 11.0), 4.1e-05)

A library material is a ``Lorentz`` or a ``Drude`` (``LorentzFit``,
``DrudeFit``) and goes wherever one goes. It also carries its ``name``,
``source``, ``unit``, band (``wavelengths`` in the unit, ``frequencies`` in
cycles per unit: nu = 1 / wavelength with c = 1), its stated errors and
``reference_permittivity(omega)``, the formula it was fitted to, so that
anyone can compare. They are plain numbers, strings and pairs of numbers:
descriptions and checkpoints read a material by its attributes (a
checkpoint written with one fit is refused by a box built with another).

Errors, over the band: ``relative_error`` bounds |eps_fit - eps_ref| /
|eps_ref| and ``index_error`` bounds |n_fit - n_ref|, n = sqrt(eps) (complex
for a metal: it bounds the extinction coefficient's error too). Each is the
largest over 4001 frequencies evenly spread over the band, rounded up to two
significant figures. For a metal the loss Im eps is a tenth or less of |eps|
in the near infrared and no single Drude damping follows the model's loss
across a band, so ``loss_error`` bounds |Im eps_fit - Im eps_ref| / Im
eps_ref on its own: 6 % (copper) to 20 % (aluminium). A fit that weighs
the loss more gains little there and loses much in Re eps.

Units: every factory takes ``unit``, the length unit in metres (micrometres
by default): ``silicon(unit=1e-9)`` is the same material with lengths in
nanometres, its band (1360, 11000) and its frequencies in cycles per nm.

Bands: each material has a default band, fitted once and stored below as
numbers (``refit`` reproduces them); ``band=(low, high)``, wavelengths in
the unit, fits another band inside the formula's own range when asked
(scipy). A narrower band is a closer fit: silicon nitride's formula holds
from 0.31 to 5.5 um, but one pole follows it to 1e-3 in index over 1.2 to
2 um and only to 1e-2 over 0.4 to 2 um, so the defaults are near-infrared
bands.

Outside its band a fit can be arbitrarily wrong, so the frequencies that
matter (a monitor's, a port's) are checked: ``material.check_frequencies(
frequencies, where)`` and ``check_band(materials, frequencies, where)``
raise ValueError naming the material, its band and ``where``.

The time step: a fit is of the continuous model. The kernels realise
eps(w~) at the warped frequency w~ = (2/dt) tan(w dt / 2) (materials.discrete.
warped_frequency), a relative shift of (w dt)^2 / 12, which moves eps by
|d eps / d w| w (w dt)^2 / 12 on top of the stated error. In silicon at
20 cells per wavelength in the material (1.55 um, w dt = 0.052) the shift
is 2.2e-4 and moves the index by 3e-5, as much as the fit's error; a
metal's eps, nearly -(wp / w)^2, moves by twice the shift, relative (1e-4
at 10 nm cells).

Sources (each factory's docstring says which it uses):

- C. D. Salzberg and J. J. Villa, "Infrared refractive indexes of silicon,
  germanium and modified selenium glass", J. Opt. Soc. Am. 47, 244 (1957),
  in the Sellmeier form fitted to their data by B. Tatian, "Fitting
  refractive-index data with the Sellmeier dispersion formula", Appl. Opt.
  23, 4477 (1984).
- I. H. Malitson, "Interspecimen comparison of the refractive index of
  fused silica", J. Opt. Soc. Am. 55, 1205 (1965).
- K. Luke, Y. Okawachi, M. R. E. Lamont, A. L. Gaeta and M. Lipson,
  "Broadband mid-infrared frequency comb generation in a Si3N4
  microresonator", Opt. Lett. 40, 4823 (2015).
- A. D. Rakic, A. B. Djurisic, J. M. Elazar and M. L. Majewski, "Optical
  properties of metallic films for vertical-cavity optoelectronic
  devices", Appl. Opt. 37, 5271 (1998): the Lorentz-Drude (LD) model and
  its parameters for each metal.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, Iterable

import numpy as np
import torch

from ..grid.arguments import real
from .poles import Drude, Lorentz

MICROMETRE = 1e-6
# h c / e in eV um: a photon energy in eV is HC_EV_UM / (wavelength in um)
HC_EV_UM = 1.239841984

# Frequencies, evenly spread over a band, that a fit minimises over and
# that its stated errors are the largest over.
FIT_SAMPLES = 801
CHECK_SAMPLES = 4001

# A frequency computed as 1/wavelength at a band's edge may land a rounding
# error outside it; that is no frequency outside the band.
EDGE = 1e-9


# ---------------------------------------------------------------- formulas
# Each takes wavelengths in um (a NumPy array) and gives the complex
# relative permittivity, Im eps >= 0 (time harmonic fields go as exp(-i w t)).


def _sellmeier(strengths: tuple, resonances: tuple) -> Callable:
    """n^2 = 1 + sum B_j lambda^2 / (lambda^2 - C_j^2), C_j in um."""
    def eps(wavelength):
        l2 = np.asarray(wavelength, dtype=np.float64) ** 2
        return (1 + sum(b * l2 / (l2 - c * c) for b, c in zip(strengths, resonances))) + 0j
    return eps


def _lorentz_drude(omega_p: float, f0: float, gamma0: float, oscillators: tuple) -> Callable:
    """Rakic et al.'s LD model, all in eV: eps = 1 - f0 wp^2 / (E (E + i G0))
    + sum f_j wp^2 / (w_j^2 - E^2 - i E G_j), oscillators as (f_j, G_j, w_j)."""
    def eps(wavelength):
        e = HC_EV_UM / np.asarray(wavelength, dtype=np.float64)
        out = 1 - f0 * omega_p**2 / (e * (e + 1j * gamma0))
        for f, g, w in oscillators:
            out = out + f * omega_p**2 / (w * w - e * e - 1j * e * g)
        return out
    return eps


@dataclass(frozen=True)
class Reference:
    """A published formula: ``permittivity`` of wavelengths in um, the
    ``valid`` wavelengths (um) it was published for, its ``source`` and
    the pole form fitted to it (``kind``: "lorentz" or "drude")."""

    permittivity: Callable
    valid: tuple
    source: str
    kind: str


_RAKIC = ("Rakic, Djurisic, Elazar and Majewski, Appl. Opt. 37, 5271 (1998), "
          "Lorentz-Drude model")
# Rakic et al. give their models for 0.1 to 6 eV
_RAKIC_VALID = (round(HC_EV_UM / 6.0, 4), round(HC_EV_UM / 0.1, 2))

REFERENCES = {
    "silicon": Reference(
        _sellmeier((10.6684293, 0.0030434748, 1.54133408), (0.301516485, 1.13475115, 1104.0)),
        (1.357, 11.04), "Salzberg and Villa, J. Opt. Soc. Am. 47, 244 (1957), Sellmeier form "
        "of Tatian, Appl. Opt. 23, 4477 (1984)", "lorentz"),
    "silica": Reference(
        _sellmeier((0.6961663, 0.4079426, 0.8974794), (0.0684043, 0.1162414, 9.896161)),
        (0.21, 3.71), "Malitson, J. Opt. Soc. Am. 55, 1205 (1965)", "lorentz"),
    "silicon nitride": Reference(
        _sellmeier((3.0249, 40314.0), (0.1353406, 1239.842)),
        (0.31, 5.504), "Luke et al., Opt. Lett. 40, 4823 (2015)", "lorentz"),
    "gold": Reference(_lorentz_drude(9.03, 0.760, 0.053, (
        (0.024, 0.241, 0.415), (0.010, 0.345, 0.830), (0.071, 0.870, 2.969),
        (0.601, 2.494, 4.304), (4.384, 2.214, 13.32))), _RAKIC_VALID, _RAKIC, "drude"),
    "silver": Reference(_lorentz_drude(9.01, 0.845, 0.048, (
        (0.065, 3.886, 0.816), (0.124, 0.452, 4.481), (0.011, 0.065, 8.185),
        (0.840, 0.916, 9.083), (5.646, 2.419, 20.29))), _RAKIC_VALID, _RAKIC, "drude"),
    "aluminium": Reference(_lorentz_drude(14.98, 0.523, 0.047, (
        (0.227, 0.333, 0.162), (0.050, 0.312, 1.544), (0.166, 1.351, 1.808),
        (0.030, 3.382, 3.473))), _RAKIC_VALID, _RAKIC, "drude"),
    "copper": Reference(_lorentz_drude(10.83, 0.575, 0.030, (
        (0.061, 0.378, 0.291), (0.104, 1.056, 2.957), (0.723, 3.213, 5.300),
        (0.638, 4.305, 11.18))), _RAKIC_VALID, _RAKIC, "drude"),
}


# ---------------------------------------------------------------- fits


@dataclass(frozen=True)
class Fit:
    """A pole form fitted over ``band`` (wavelengths in um): ``parameters``
    with angular frequencies in radians per um (c = 1), (eps_inf,
    delta_eps, omega0) of a lossless Lorentz or (eps_inf, omega_p, gamma) of
    a Drude; the stated ``index_error``, ``relative_error`` and
    ``loss_error``."""

    band: tuple
    parameters: tuple
    index_error: float
    relative_error: float
    loss_error: float


# The default fits, as ``refit`` finds them (tests/test_material_library.py
# refits each and compares): stored, so that importing fits nothing.
FITS = {
    "silicon": Fit((1.36, 11.0), (3.193945084, 8.477687849, 18.59084542), 4.1e-05, 2.4e-05, 0.0),
    "silica": Fit((1.2, 2.0), (2.11256533, 21.12390193, 0.1446754773), 0.00015, 0.00021, 0.0),
    "silicon nitride": Fit((1.2, 2.0), (4.074672991, 124.8333546, 0.1065946947), 0.0008, 0.0008,
                           0.0),
    "gold": Fit((1.2, 2.0), (4.751366268, 40.44350664, 0.4201570258), 0.088, 0.014, 0.13),
    "silver": Fit((1.2, 2.0), (3.396419024, 42.01041978, 0.308965995), 0.057, 0.0087, 0.13),
    "aluminium": Fit((1.2, 2.0), (22.8031532, 65.94382103, 0.8007169621), 0.42, 0.042, 0.2),
    "copper": Fit((1.2, 2.0), (5.561868813, 43.50394428, 0.3536636586), 0.034, 0.005, 0.064),
}


def _model(kind: str, parameters, omega):
    """The fitted pole form's permittivity at angular frequencies omega (NumPy)."""
    if kind == "lorentz":
        eps_inf, delta_eps, omega0 = parameters
        return eps_inf + delta_eps * omega0**2 / (omega0**2 - omega**2) + 0j
    eps_inf, omega_p, gamma = parameters
    return eps_inf - omega_p**2 / (omega * (omega + 1j * gamma))


def _omegas(band, samples: int):
    """Angular frequencies (radians per um) evenly spread over a band of wavelengths in um."""
    return np.linspace(2 * math.pi / band[1], 2 * math.pi / band[0], samples)


def _round_up(x: float) -> float:
    """x rounded up to two significant figures."""
    if x == 0:
        return 0.0
    step = 10.0 ** (math.floor(math.log10(x)) - 1)
    return float(f"{math.ceil(x / step * (1 - 1e-12)) * step:.2g}")


def errors(name: str, parameters, band) -> tuple[float, float, float]:
    """The largest |n_fit - n_ref|, |eps_fit - eps_ref| / |eps_ref| and
    |Im eps_fit - Im eps_ref| / Im eps_ref (0 where the formula is lossless,
    as the fit then is) of a fit of ``name`` over ``band`` (um), on
    CHECK_SAMPLES frequencies."""
    ref = REFERENCES[name]
    omega = _omegas(band, CHECK_SAMPLES)
    want = ref.permittivity(2 * math.pi / omega)
    got = _model(ref.kind, parameters, omega)
    lossy = want.imag > 0
    loss = np.abs(got.imag - want.imag)[lossy] / want.imag[lossy]
    return (float(np.abs(np.sqrt(got) - np.sqrt(want)).max()),
            float((np.abs(got - want) / np.abs(want)).max()),
            float(loss.max()) if lossy.any() else 0.0)


def refit(name: str, band) -> Fit:
    """Fit ``name``'s pole form to its formula over ``band`` (wavelengths in
    um, inside the formula's range): least squares of the relative error
    |eps_fit - eps_ref| / |eps_ref|, then its largest value minimised from
    there. The pole stays physical: eps_inf >= 1 (at the highest
    frequencies the kernels see eps_inf, and below 1 light would outrun
    the Courant limit there), delta_eps, omega0, omega_p, gamma > 0, and a
    dielectric's lossless resonance outside the band."""
    from scipy.optimize import least_squares, minimize

    ref = REFERENCES[name]
    valid = ref.valid
    if not valid[0] * (1 - EDGE) <= band[0] < band[1] <= valid[1] * (1 + EDGE):
        raise ValueError(f"{name}: a band must lie inside the formula's range, {valid[0]:g} to "
                         f"{valid[1]:g} um; got {band[0]:.6g} to {band[1]:.6g} um")
    omega = _omegas(band, FIT_SAMPLES)
    want = ref.permittivity(2 * math.pi / omega)

    def relative(q):
        return (_model(ref.kind, q, omega) - want) / np.abs(want)

    def residuals(q):
        r = relative(q)
        return np.concatenate([r.real, r.imag])

    if ref.kind == "lorentz":
        # a resonance in the ultraviolet (silicon's) or in the infrared
        # (silica's over a band where its infrared term bends eps most)
        middle = float(want[len(want) // 2].real)
        starts = [(1.0, middle - 1.0, 4 * omega[-1]), (middle, 1.0, omega[0] / 4)]
    else:
        # Re eps ~ eps_inf - (wp / w)^2 and Im eps ~ wp^2 gamma / w^3 mid band
        w, e = omega[len(omega) // 2], want[len(want) // 2]
        wp = w * math.sqrt(max(1.0 - e.real, 1.0))
        starts = [(1.0, wp, max(e.imag * w**3 / wp**2, 1e-6 * w))]
    lower = (1.0, 1e-12, 1e-12)
    best = min((least_squares(residuals, s, bounds=(lower, np.inf), x_scale="jac",
                              xtol=1e-15, ftol=1e-15, gtol=1e-15) for s in starts),
               key=lambda r: r.cost)
    # The least-squares fit scaled by its own parameters, then the largest
    # error minimised (Nelder-Mead restarted until it stops improving: a
    # largest value has corners where a simplex stalls).
    scale = best.x
    bounds = [(lo / s, None) for lo, s in zip(lower, scale)]
    worst = lambda y: float(np.abs(relative(y * scale)).max())  # noqa: E731
    y = np.ones(3)
    for _ in range(6):
        step = minimize(worst, y, method="Nelder-Mead", bounds=bounds,
                        options=dict(xatol=1e-12, fatol=1e-14, maxiter=20000))
        if step.fun >= worst(y) * (1 - 1e-9):
            break
        y = step.x
    parameters = tuple(float(f"{v:.10g}") for v in y * scale)
    if ref.kind == "lorentz" and 2 * math.pi / band[1] <= parameters[2] <= 2 * math.pi / band[0]:
        raise ValueError(f"{name}: the fit put its lossless resonance inside the band {band}")
    return Fit(tuple(band), parameters, *(_round_up(e) for e in errors(name, parameters, band)))


# ---------------------------------------------------------------- materials


def unit_name(unit: float) -> str:
    for value, name in ((1.0, "m"), (1e-2, "cm"), (1e-3, "mm"), (1e-6, "um"), (1e-9, "nm")):
        if math.isclose(unit, value, rel_tol=1e-12):
            return name
    return f"x {unit:g} m"


class LibraryMaterial:
    """What a library material adds to its pole form: ``name``, ``source``,
    ``unit`` (metres), band as ``wavelengths`` (in the unit) and
    ``frequencies`` (cycles per unit, low to high), the stated
    ``index_error`` and ``relative_error`` over the band (see the module's
    text), and for a metal ``loss_error``, the largest |Im eps_fit - Im
    eps_ref| / Im eps_ref (0 for the lossless dielectrics); the formula it
    was fitted to and the checks of its band."""

    def _describe(self, name: str, unit: float, fit: Fit) -> None:
        # to 12 figures: 1e-6 / 1e-9 is no round 1000 in binary, and a band of
        # (1360, 11000) nm should read so
        low, high = (float(f"{w * MICROMETRE / unit:.12g}") for w in fit.band)
        self.name = name
        self.source = REFERENCES[name].source
        self.unit = float(unit)
        self.wavelengths = (low, high)
        self.frequencies = (1 / self.wavelengths[1], 1 / self.wavelengths[0])
        self.index_error = fit.index_error
        self.relative_error = fit.relative_error
        self.loss_error = fit.loss_error

    def reference_permittivity(self, omega):
        """The permittivity of the published formula this material was
        fitted to, at angular frequencies ``omega`` (radians per unit time,
        c = 1: omega = 2 pi nu), as ``permittivity`` gives the fit's."""
        omega = torch.as_tensor(omega, dtype=torch.float64).cpu().numpy()
        wavelength = 2 * math.pi / omega * (self.unit / MICROMETRE)
        return torch.as_tensor(REFERENCES[self.name].permittivity(wavelength),
                               dtype=torch.complex128)

    def band_text(self) -> str:
        u = unit_name(self.unit)
        return (f"wavelengths {self.wavelengths[0]:.6g} to {self.wavelengths[1]:.6g} {u} "
                f"(frequencies {self.frequencies[0]:.6g} to {self.frequencies[1]:.6g} "
                f"cycles per {u})")

    def check_frequencies(self, frequencies, where: str) -> None:
        """Refuse ``frequencies`` (cycles per unit) outside the band, with a
        ValueError naming ``where`` (what asked for them: "FrequencyMonitor",
        a port), the material and its band."""
        nu = torch.as_tensor(frequencies, dtype=torch.float64).detach().cpu().reshape(-1)
        low, high = self.frequencies
        outside = nu[~((nu >= low * (1 - EDGE)) & (nu <= high * (1 + EDGE)))]
        if len(outside):
            valid = REFERENCES[self.name].valid
            u = unit_name(self.unit)
            bad = ", ".join(f"{float(v):.6g} ({1 / float(v):.6g} {u})" if v > 0
                            else f"{float(v):.6g}" for v in outside[:4])
            more = f" and {len(outside) - 4} more" if len(outside) > 4 else ""
            raise ValueError(
                f"{where}: {'frequency' if len(outside) == 1 else 'frequencies'} {bad}{more} "
                f"{'lies' if len(outside) == 1 else 'lie'} outside the band of {self.name}, "
                f"{self.band_text()}; the fit holds there only (band= fits another "
                f"inside {valid[0]:g} to {valid[1]:g} um)")


class LorentzFit(LibraryMaterial, Lorentz):
    """A transparent dielectric of the library: a lossless ``Lorentz``
    fitted to ``name``'s formula (see ``material``)."""

    def __init__(self, name: str, unit: float = MICROMETRE, band=None):
        fit, unit = _fit(name, unit, band, "lorentz")
        eps_inf, delta_eps, omega0 = fit.parameters
        super().__init__(eps_inf, delta_eps, omega0 * unit / MICROMETRE, 0.0)
        self._describe(name, unit, fit)


class DrudeFit(LibraryMaterial, Drude):
    """A metal of the library: a ``Drude`` fitted to ``name``'s formula (see
    ``material``)."""

    def __init__(self, name: str, unit: float = MICROMETRE, band=None):
        fit, unit = _fit(name, unit, band, "drude")
        eps_inf, omega_p, gamma = fit.parameters
        super().__init__(eps_inf, omega_p * unit / MICROMETRE, gamma * unit / MICROMETRE)
        self._describe(name, unit, fit)


def _fit(name: str, unit: float, band, kind: str) -> tuple[Fit, float]:
    """The stored fit, or for ``band`` (wavelengths in the unit) a new one,
    and the unit checked."""
    if name not in REFERENCES:
        raise ValueError(f"no material {name!r} in the library; it holds "
                         f"{', '.join(REFERENCES)}")
    if REFERENCES[name].kind != kind:
        raise ValueError(f"{name} is fitted as a {REFERENCES[name].kind} material, "
                         f"not a {kind} one: use material({name!r})")
    unit = real(unit, f"{name} unit (metres)", positive=True)
    if band is None:
        return FITS[name], unit
    if len(band) != 2:
        raise ValueError(f"{name} band: (low, high) wavelengths, got {band!r}")
    low, high = (real(v, f"{name} band", positive=True) * unit / MICROMETRE for v in band)
    return refit(name, (low, high)), unit


def material(name: str, unit: float = MICROMETRE, band=None):
    """The library's material ``name`` (``LIBRARY``) with lengths in ``unit``
    metres; ``band``: wavelengths (low, high) in the unit to fit over
    instead of the default band."""
    drude = name in REFERENCES and REFERENCES[name].kind == "drude"
    return (DrudeFit if drude else LorentzFit)(name, unit, band)


def silicon(unit: float = MICROMETRE, band=None) -> LorentzFit:
    """Crystalline silicon, room temperature: the Sellmeier formula that
    Tatian (Appl. Opt. 23, 4477, 1984) fitted to the data of Salzberg and
    Villa (J. Opt. Soc. Am. 47, 244, 1957), valid 1.357 to 11.04 um. The
    default band is 1.36 to 11 um (n = 3.4777 at 1.55 um); the O band
    (1.31 um) lies below the formula's range. ``unit``: the length unit in
    metres; ``band``: wavelengths to fit over instead (see ``material``)."""
    return LorentzFit("silicon", unit, band)


def silica(unit: float = MICROMETRE, band=None) -> LorentzFit:
    """Fused silica: Malitson's Sellmeier formula (J. Opt. Soc. Am. 55, 1205,
    1965), valid 0.21 to 3.71 um. The default band is 1.2 to 2 um (n =
    1.4440 at 1.55 um); one pole cannot follow both the ultraviolet and the
    infrared terms over a wider band as closely. ``unit``: the length unit
    in metres; ``band``: wavelengths to fit over instead (see
    ``material``)."""
    return LorentzFit("silica", unit, band)


def silicon_nitride(unit: float = MICROMETRE, band=None) -> LorentzFit:
    """Stoichiometric silicon nitride (Si3N4, LPCVD): the Sellmeier formula
    of Luke et al. (Opt. Lett. 40, 4823, 2015), valid 0.31 to 5.504 um.
    The default band is 1.2 to 2 um (n = 1.9963 at 1.55 um). ``unit``: the
    length unit in metres; ``band``: wavelengths to fit over instead (see
    ``material``)."""
    return LorentzFit("silicon nitride", unit, band)


def gold(unit: float = MICROMETRE, band=None) -> DrudeFit:
    """Gold: the Lorentz-Drude model of Rakic et al. (Appl. Opt. 37, 5271,
    1998), given for 0.1 to 6 eV. The default band is 1.2 to 2 um, where a
    Drude term follows the model's interband tail; toward the visible it
    cannot (a fit down to 0.6 um is off by 12 %). ``unit``: the length unit
    in metres; ``band``: wavelengths to fit over instead (see
    ``material``)."""
    return DrudeFit("gold", unit, band)


def silver(unit: float = MICROMETRE, band=None) -> DrudeFit:
    """Silver: the Lorentz-Drude model of Rakic et al. (Appl. Opt. 37, 5271,
    1998), given for 0.1 to 6 eV. The default band is 1.2 to 2 um.
    ``unit``: the length unit in metres; ``band``: wavelengths to fit over
    instead (see ``material``)."""
    return DrudeFit("silver", unit, band)


def aluminium(unit: float = MICROMETRE, band=None) -> DrudeFit:
    """Aluminium: the Lorentz-Drude model of Rakic et al. (Appl. Opt. 37,
    5271, 1998), given for 0.1 to 6 eV. The default band is 1.2 to 2 um,
    above the interband absorption near 1.5 eV (0.8 um) that no Drude term
    follows. ``unit``: the length unit in metres; ``band``: wavelengths to
    fit over instead (see ``material``)."""
    return DrudeFit("aluminium", unit, band)


def copper(unit: float = MICROMETRE, band=None) -> DrudeFit:
    """Copper: the Lorentz-Drude model of Rakic et al. (Appl. Opt. 37, 5271,
    1998), given for 0.1 to 6 eV. The default band is 1.2 to 2 um.
    ``unit``: the length unit in metres; ``band``: wavelengths to fit over
    instead (see ``material``)."""
    return DrudeFit("copper", unit, band)


LIBRARY = {"silicon": silicon, "silica": silica, "silicon nitride": silicon_nitride,
           "gold": gold, "silver": silver, "aluminium": aluminium, "copper": copper}


def check_band(materials: Iterable, frequencies, where: str) -> None:
    """Refuse ``frequencies`` (cycles per unit) outside the band of any
    library material among ``materials`` (others have no band), naming
    ``where``: what a monitor or a port calls with the box's materials."""
    for m in materials:
        if isinstance(m, LibraryMaterial):
            m.check_frequencies(frequencies, where)
