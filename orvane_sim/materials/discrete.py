"""Pole forms (``poles``) turned into the tables of the dispersive pass
(``Update_E_Dispersion``).

The time stepping discretises a material's pole form with the trapezoidal
(bilinear) rule s -> (2/dt) (z - 1) / (z + 1), z = exp(-i w dt), which keeps
every stable pole stable and gives, per material,

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

from dataclasses import dataclass
from typing import Sequence

import torch

from .poles import Dielectric


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
