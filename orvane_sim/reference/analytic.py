"""Known answers for planar stacks: reflection and transmission of a plane
wave by layers between two half-spaces (transfer matrices), the Airy formula
of one slab and the Fresnel coefficients of one interface, and the
wavenumber of the Yee grid.

Time-harmonic fields go as exp(-i ω t) with c = 1; a medium is given by its
relative permittivity (complex allowed, Im ε >= 0 for loss), the wave by its
angular frequency ω and its wave vector along the interfaces, kt. The
reflection coefficient is that of the tangential electric field, referred
to the first interface.
"""
from __future__ import annotations

import math
from typing import Sequence

import torch

C128 = torch.complex128


def _kz(eps, omega, kt):
    kz = torch.sqrt(eps * omega**2 - kt**2 + 0j)
    # the decaying or outgoing branch
    return torch.where(kz.imag < 0, -kz, kz)


def stack(omega, layers: Sequence[tuple], eps_in=1.0, eps_out=1.0, kt=0.0,
          polarization: str = "s"):
    """(r, t_power R, T) of layers [(eps, thickness), ...] (eps may be a
    tensor over omega) between ``eps_in`` (incidence side) and ``eps_out``.

    Characteristic matrices: a layer of normal admittance q and phase
    δ = kz·d is [[cos δ, -i sin δ / q], [-i q sin δ, cos δ]], with q = kz
    for s polarisation and kz / ε for p.
    """
    if polarization not in ("s", "p"):
        raise ValueError(f"polarization must be 's' or 'p', got {polarization!r}")
    w = torch.as_tensor(omega, dtype=torch.float64).to(C128)
    kt = torch.as_tensor(kt, dtype=torch.float64).to(C128)

    def admittance(eps):
        eps = torch.as_tensor(eps).to(C128)
        kz = _kz(eps, w, kt)
        return (kz if polarization == "s" else kz / eps), kz

    q0, _ = admittance(eps_in)
    qs, _ = admittance(eps_out)
    m11 = torch.ones_like(w)
    m12 = torch.zeros_like(w)
    m21 = torch.zeros_like(w)
    m22 = torch.ones_like(w)
    for eps, d in layers:
        q, kz = admittance(eps)
        c, s = torch.cos(kz * d), torch.sin(kz * d)
        a11, a12, a21, a22 = c, -1j * s / q, -1j * q * s, c
        m11, m12, m21, m22 = (m11 * a11 + m12 * a21, m11 * a12 + m12 * a22,
                              m21 * a11 + m22 * a21, m21 * a12 + m22 * a22)
    b = m11 + m12 * qs
    c = m21 + m22 * qs
    r = (b * q0 - c) / (b * q0 + c)
    t = 2 * q0 / (b * q0 + c)
    R = r.abs() ** 2
    T = qs.real / q0.real * t.abs() ** 2
    if polarization == "p":
        # the matrices carry the tangential H; the tangential E reflects with
        # the opposite sign
        r = -r
    return r, R, T


def airy(omega, n: float, thickness: float):
    """R and T of a lossless slab of index n in vacuum at normal incidence."""
    w = torch.as_tensor(omega, dtype=torch.float64)
    r0 = (1 - n) / (1 + n)
    F = 4 * r0**2 / (1 - r0**2) ** 2
    delta = w * n * thickness  # half the round-trip phase
    R = F * torch.sin(delta) ** 2 / (1 + F * torch.sin(delta) ** 2)
    return R, 1 - R


def fresnel(theta, n: float, polarization: str):
    """Power reflectance of a vacuum/dielectric (index n) interface at
    incidence angle theta (radians)."""
    th = torch.as_tensor(theta, dtype=torch.float64)
    ci = torch.cos(th)
    ct = torch.sqrt(1 - (torch.sin(th) / n) ** 2)
    if polarization == "s":
        r = (ci - n * ct) / (ci + n * ct)
    else:
        r = (n * ci - ct) / (n * ci + ct)
    return r**2


def yee_wavenumber(omega, h: float, dt: float):
    """Wavenumber of a wave of angular frequency ω along one axis of the Yee
    grid in vacuum (normal incidence): sin(k h/2)/h = sin(ω dt/2)/dt."""
    w = torch.as_tensor(omega, dtype=torch.float64)
    return 2 / h * torch.asin(h / dt * torch.sin(w * dt / 2))


def angle(omega, kt):
    """Incidence angle of transverse wavenumber kt at angular frequency ω (vacuum)."""
    return torch.asin(torch.as_tensor(kt, dtype=torch.float64) / torch.as_tensor(
        omega, dtype=torch.float64))


TWO_PI = 2 * math.pi
