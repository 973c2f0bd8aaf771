"""Materials as physical models: each a pole form, the shape that the
tables of the dispersive pass (``Update_E_Dispersion``) are made from
(``discrete``).

Units are normalised (eps0 = 1) and time harmonic fields go as exp(-i w t),
so a lossy material has Im eps > 0. Every model here is written as

    eps(w) = eps_inf + sigma / s + c / (s - p) + conj(c) / (s - conj(p)),   s = -i w,

a pole at zero frequency (sigma, which only the Drude model uses) and one
complex pole p with its conjugate, so that the response to a real field is
real.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import torch

from ..grid.arguments import real


@dataclass(frozen=True)
class PoleForm:
    """eps(s) = eps_inf + sigma/s + c/(s - p) + conj(c)/(s - conj(p)), s = -i w."""

    eps_inf: float
    sigma: float = 0.0
    c: complex = 0j
    p: complex = -1.0 + 0j

    def permittivity(self, omega):
        """Complex permittivity at angular frequency omega (float or tensor)."""
        s = -1j * torch.as_tensor(omega, dtype=torch.float64)
        eps = self.eps_inf + self.c / (s - self.p) + self.c.conjugate() / (s - self.p.conjugate())
        if self.sigma:
            eps = eps + self.sigma / s
        return eps


class Dielectric:
    """Non-dispersive material: eps(w) = eps."""

    # what the first argument is called: a pole material's is eps_inf
    _first = "eps"

    def __init__(self, eps: float = 1.0):
        eps = self._parameter(eps, self._first)
        if not eps > 0:
            raise ValueError(f"{type(self).__name__} {self._first}: a material's permittivity "
                             f"must be positive, got {eps}")
        self.eps = eps

    def _parameter(self, value, name: str) -> float:
        """A finite real parameter, checked where the material is made: a NaN
        or an infinity let through ran for hundreds of steps before the
        fields turned non-finite, far from the material that caused it."""
        return real(value, f"{type(self).__name__} {name}")

    def pole_form(self) -> PoleForm:
        return PoleForm(self.eps)

    def permittivity(self, omega):
        return self.pole_form().permittivity(omega)

    def in_layers(self, depth: float) -> "Dielectric":
        """The material that takes this one's place inside the absorbing
        layers, ``depth`` (0 to 1) of the way from a layer's inner edge to its
        face: the material itself, except for Drude metals."""
        return self


class Debye(Dielectric):
    """eps(w) = eps_inf + delta_eps / (1 - i w tau)."""

    _first = "eps_inf"

    def __init__(self, eps_inf: float, delta_eps: float, tau: float):
        super().__init__(eps_inf)
        delta_eps, tau = self._parameter(delta_eps, "delta_eps"), self._parameter(tau, "tau")
        if tau <= 0:
            raise ValueError(f"Debye tau must be positive, got {tau}")
        self.delta_eps, self.tau = delta_eps, tau

    def pole_form(self) -> PoleForm:
        # delta_eps/tau / (s + 1/tau), shared equally by the pole and its conjugate
        return PoleForm(self.eps, c=complex(self.delta_eps / (2 * self.tau)), p=complex(-1 / self.tau))


class Lorentz(Dielectric):
    """eps(w) = eps_inf + delta_eps w0^2 / (w0^2 - w^2 - i gamma w), underdamped
    (gamma < 2 w0: the two poles are a complex-conjugate pair).

    ``eps_inf``: the relative permittivity at high frequency; ``delta_eps``:
    the resonance's strength (eps(0) - eps_inf); ``omega0`` (w0): the
    resonance and ``gamma``: its damping, both angular, in radians per unit
    time (c = 1: omega = 2 pi nu)."""

    _first = "eps_inf"

    def __init__(self, eps_inf: float, delta_eps: float, omega0: float, gamma: float):
        super().__init__(eps_inf)
        delta_eps, omega0, gamma = (self._parameter(v, name) for v, name in (
            (delta_eps, "delta_eps"), (omega0, "omega0"), (gamma, "gamma")))
        if omega0 <= 0 or gamma < 0:
            raise ValueError(f"need omega0 > 0 and gamma >= 0, got {omega0}, {gamma}")
        if gamma >= 2 * omega0:
            raise ValueError(
                f"an overdamped Lorentz pole (gamma = {gamma} >= 2 omega0 = {2 * omega0}) has two "
                "real poles; one material holds one complex pole: use two Debye materials")
        self.delta_eps, self.omega0, self.gamma = float(delta_eps), float(omega0), float(gamma)

    def pole_form(self) -> PoleForm:
        # delta_eps w0^2 / ((s - p)(s - conj p)), p = -gamma/2 + i sqrt(w0^2 - gamma^2/4)
        p = complex(-self.gamma / 2, math.sqrt(self.omega0**2 - self.gamma**2 / 4))
        return PoleForm(self.eps, c=self.delta_eps * self.omega0**2 / (p - p.conjugate()), p=p)


# A Drude pole on the faces of the absorbing layers is damped to this many
# wp / sqrt(eps_inf) (Drude.in_layers). At 1, Re eps touches 0 at zero
# frequency and a metal face deep in the layers still grew; 3 leaves a margin.
LAYER_DAMPING = 3.0


class Drude(Dielectric):
    """eps(w) = eps_inf - wp^2 / (w^2 + i gamma w), gamma > 0.

    ``eps_inf``: the relative permittivity at high frequency; ``omega_p``
    (wp): the plasma frequency and ``gamma``: the collision rate, both
    angular, in radians per unit time (c = 1: a frequency nu in cycles per
    unit time is omega = 2 pi nu)."""

    _first = "eps_inf"

    def __init__(self, eps_inf: float, omega_p: float, gamma: float):
        super().__init__(eps_inf)
        omega_p, gamma = self._parameter(omega_p, "omega_p"), self._parameter(gamma, "gamma")
        if gamma <= 0:
            raise ValueError(f"Drude gamma must be positive (a lossless Drude pole is a double "
                             f"pole at zero frequency), got {gamma}")
        self.omega_p, self.gamma = omega_p, gamma

    def pole_form(self) -> PoleForm:
        # wp^2 / (s (s + gamma)) = (wp^2/gamma) / s - (wp^2/gamma) / (s + gamma)
        g = self.omega_p**2 / self.gamma
        return PoleForm(self.eps, sigma=g, c=complex(-g / 2), p=complex(-self.gamma))

    def in_layers(self, depth: float) -> "Dielectric":
        """The same metal with its pole damped more the deeper it lies, to
        gamma = LAYER_DAMPING wp / sqrt(eps_inf) on the faces, where then
        Re eps(w) >= (1 - 1/LAYER_DAMPING^2) eps_inf at every frequency.

        Inside the layers a metal's negative permittivity goes wrong: the
        surface plasmons of its faces there (near wp / sqrt(2)) meet the
        layers' complex stretch sigma / (alpha - i w), which turns part of the
        metal's reactive surface response into gain, more than the pole's own
        damping takes away. A Drude sphere reaching one cell into 6-cell
        layers grew its energy fourfold every 2,000 steps, and a film through
        the side faces faster. Damped so, the metal has no surface mode deep
        in the layers, and near their inner edge, where sigma is still small,
        less damping suffices. The layers are no physical region; the price
        is that a wave guided by the metal meets a changed metal where it
        enters them: a surface plasmon comes back with under 3 % of its
        amplitude through 10 layer cells (a jump to full damping at the inner
        edge sent back 6 to 12 %, hence the quadratic rise). Nodes outside
        the layers keep the metal as it is."""
        full = LAYER_DAMPING * self.omega_p / math.sqrt(self.eps)
        gamma = self.gamma + (full - self.gamma) * depth**2
        return self if gamma <= self.gamma else Drude(self.eps, self.omega_p, gamma)
