"""Dispersive materials: physical models turned into the tables of the
dispersive pass (``Update_E_Dispersion``).

Units are normalised (eps0 = 1) and time harmonic fields go as exp(-i w t),
so a lossy material has Im eps > 0. Every model here is written as

    eps(w) = eps_inf + sigma / s + c / (s - p) + conj(c) / (s - conj(p)),   s = -i w,

a pole at zero frequency (sigma, which only the Drude model uses) and one
complex pole p with its conjugate, so that the response to a real field is
real. The time stepping discretises this with the trapezoidal (bilinear) rule
s -> (2/dt) (z - 1) / (z + 1), z = exp(-i w dt), which keeps every stable pole
stable and gives, per material,

    alpha = (2 + p dt) / (2 - p dt)          recursion factor (rec_a)
    beta  = 2 c dt / (2 - p dt)              drive coefficient (rec_b)
    den   = eps_inf + Re(beta) + sigma dt/2  denominator of the new field
    loss  = sigma dt                         den - (cg1 - cg2)

A node that mixes two materials with shares w and 1 - w gets den1 = w den_1,
den2 = (1 - w) den_2 and cg1 - cg2 = den1 + den2 - (w loss_1 + (1 - w) loss_2);
its permittivity is then the same mix of the two. With the curl coefficient
of vacuum (dt/h) in ``Update_E``, one step of ``Update_E`` followed by the
dispersive pass realises exactly

    eps_d(w) = eps(w~),   w~ = (2/dt) tan(w dt / 2),

the model's own permittivity at a frequency warped by (w dt)^2 / 12 relative:
the time step's known error. ``discrete_permittivity`` computes eps_d from
the recursion as the kernel runs it, so that this can be checked.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence

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


@dataclass(frozen=True)
class DiscreteMaterial:
    alpha: complex
    beta: complex
    den: float
    loss: float


def discretise(material: Dielectric, dt: float) -> DiscreteMaterial:
    """The material's (alpha, beta, den, loss) for time step dt (in double precision)."""
    f = material.pole_form()
    if f.c == 0:
        return DiscreteMaterial(0j, 0j, f.eps_inf + f.sigma * dt / 2, f.sigma * dt)
    alpha = (2 + f.p * dt) / (2 - f.p * dt)
    beta = 2 * f.c * dt / (2 - f.p * dt)
    return DiscreteMaterial(alpha, beta, f.eps_inf + beta.real + f.sigma * dt / 2, f.sigma * dt)


@dataclass
class MaterialTables:
    """Per-id tables of a list of materials (id = position in the list)."""

    rec_a: torch.Tensor  # complex64 [M]
    rec_b: torch.Tensor  # complex64 [M]
    den: torch.Tensor    # float32 [M]
    loss: torch.Tensor   # float32 [M]


def material_tables(materials: Sequence[Dielectric], dt: float, device="cpu") -> MaterialTables:
    if not 0 < len(materials) <= 256:
        raise ValueError(f"need 1 to 256 materials (ids are bytes), got {len(materials)}")
    d = [discretise(m, dt) for m in materials]
    c64 = dict(dtype=torch.complex64, device=device)
    f32 = dict(dtype=torch.float32, device=device)
    return MaterialTables(torch.tensor([x.alpha for x in d], **c64),
                          torch.tensor([x.beta for x in d], **c64),
                          torch.tensor([x.den for x in d], **f32),
                          torch.tensor([x.loss for x in d], **f32))


def node_coefficients(tables: MaterialTables, w: torch.Tensor, id1: torch.Tensor,
                      id2: torch.Tensor):
    """den1, den2, cg1, cg2 grids of one component from its weight and id grids."""
    m1, m2 = id1.long(), id2.long()
    den1 = w * tables.den[m1]
    den2 = (1 - w) * tables.den[m2]
    cg2 = w * tables.loss[m1] + (1 - w) * tables.loss[m2]
    return den1, den2, den1 + den2, cg2


def discrete_permittivity(alpha, beta, den, loss, omega, dt: float):
    """Permittivity that one step of Update_E (vacuum curl coefficient, grids
    with cg1 - cg2 = den - loss) and the dispersive pass realise at angular
    frequency omega, read off the recursion as the kernel runs it:

        den E(n+1) = (den - loss) E(n) + dt curl H - Re((1 + alpha) Q(n)),
        Q(n+1) = alpha Q(n) + beta (E(n+1) - E(n)).

    For E(n) = E z^n, z = exp(-i omega dt), Q answers beta (z-1)/(z-alpha) to
    the z^n part and its conjugate to the conj(z)^n part, so Re((1+alpha) Q(n))
    carries H_Q = [(1+alpha) beta (z-1)/(z-alpha) + (1+conj alpha) conj(beta)
    (z-1)/(z-conj alpha)] / 2 of E z^n, and eps_d = (den z - den + loss +
    H_Q) / (z - 1) compares with the vacuum step eps (z - 1) E = dt curl H.
    """
    z = torch.exp(-1j * dt * torch.as_tensor(omega, dtype=torch.float64))
    a, b = complex(alpha), complex(beta)
    hq = ((1 + a) * b * (z - 1) / (z - a)
          + (1 + a.conjugate()) * b.conjugate() * (z - 1) / (z - a.conjugate())) / 2
    return (den * z - (den - loss) + hq) / (z - 1)


def warped_frequency(omega, dt: float):
    """(2/dt) tan(omega dt / 2): where the discrete permittivity equals the model's."""
    return 2 / dt * torch.tan(torch.as_tensor(omega, dtype=torch.float64) * dt / 2)


class DispersiveMedium:
    """Material grids, tables and state of the dispersive pass for fields of
    the given shapes.

    ``grids`` holds, per component x, y, z, a (w, id1, id2) triple of 4-D
    tensors [B1, NX, NY, NZ] (float32 weight, uint8 ids), as the painting
    functions fill them. ``cg1`` and ``cg2`` are the coefficient grids that
    Update_E must use with the vacuum curl coefficient; ``apply`` runs the
    dispersive pass after it. ``Simulation.set_objects`` builds one from its
    objects; every material (a plain dielectric too) steps through it.
    """

    def __init__(self, materials: Sequence[Dielectric], dt: float, grids, field_shapes,
                 device="cpu"):
        self.tables = material_tables(materials, dt, device)
        self.grids = [tuple(t.to(device) for t in g) for g in grids]
        coeffs = [node_coefficients(self.tables, *g) for g in self.grids]
        self.den1, self.den2, self.cg1, self.cg2 = (tuple(c[n] for c in coeffs) for n in range(4))
        B0, B1, NX, _, _, B2 = field_shapes[0]
        NY, NZ = field_shapes[1][3], field_shapes[2][4]
        acc = (B0, B1, NX, NY, NZ, B2)
        self.acc1 = tuple(torch.zeros(acc, dtype=torch.complex64, device=device) for _ in range(3))
        self.acc2 = tuple(torch.zeros(acc, dtype=torch.complex64, device=device) for _ in range(3))
        self.prev = tuple(torch.zeros(s, device=device) for s in field_shapes)
        self.spare = torch.empty(0, device=device)

    def apply(self, module, Ex, Ey, Ez) -> None:
        w, id1, id2 = zip(*self.grids)
        module.Update_E_Dispersion(Ex, Ey, Ez, *self.prev, *w, *id1, *id2, *self.den1, *self.den2,
                                   self.tables.rec_a, self.tables.rec_b, *self.acc1, *self.acc2,
                                   self.spare)

    def reset(self, Ex, Ey, Ez) -> None:
        """Start the recursion from rest at the given fields."""
        for a in self.acc1 + self.acc2:
            a.zero_()
        for p, f in zip(self.prev, (Ex, Ey, Ez)):
            p.copy_(f)
