"""Known answers for planar stacks: reflection and transmission of a plane
wave by layers between two half-spaces (transfer matrices), the Bloch modes
of a periodic stack (the transfer matrix of its period), the Airy formula
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
    m11, m12, m21, m22 = _characteristic(w, layers, kt, polarization)
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


def _complex(v) -> torch.Tensor:
    """v (real or complex, any form) as complex128."""
    t = torch.as_tensor(v)
    return (t if t.is_complex() else t.to(torch.float64)).to(C128)


def _characteristic(omega, layers: Sequence[tuple], kt, polarization: str):
    """The product of the layers' characteristic matrices (m11, m12, m21, m22)."""
    w, kt = (_complex(v) for v in (omega, kt))
    m11, m12, m21, m22 = (torch.ones_like(w), torch.zeros_like(w), torch.zeros_like(w),
                          torch.ones_like(w))
    for eps, d in layers:
        eps = torch.as_tensor(eps).to(C128)
        kz = _kz(eps, w, kt)
        q = kz if polarization == "s" else kz / eps
        c, s = torch.cos(kz * d), torch.sin(kz * d)
        a11, a12, a21, a22 = c, -1j * s / q, -1j * q * s, c
        m11, m12, m21, m22 = (m11 * a11 + m12 * a21, m11 * a12 + m12 * a22,
                              m21 * a11 + m22 * a21, m21 * a12 + m22 * a22)
    return m11, m12, m21, m22


def bloch_cosine(omega, layers: Sequence[tuple], kt=0.0, polarization: str = "s"):
    """cos(K Λ) of the Bloch waves of the periodic stack whose period is
    ``layers`` [(eps, thickness), ...] (Λ their total thickness), at
    angular frequency ω and wavenumber kt along the layers: half the trace
    of the period's transfer matrix (real for lossless layers; a band
    where it lies in [-1, 1])."""
    m11, _, _, m22 = _characteristic(omega, layers, kt, polarization)
    return ((m11 + m22) / 2).real


def bloch_frequency(layers: Sequence[tuple], kt: float, bloch_phase: float = 0.0,
                    polarization: str = "s", low: float = 1e-6, high: float = 50.0,
                    samples: int = 4000) -> float:
    """The lowest angular frequency in (low, high) of a Bloch mode of the
    periodic stack ``layers`` with phase K Λ = ``bloch_phase`` per period
    and wavenumber ``kt`` along the layers (``bloch_cosine`` equal to
    cos(bloch_phase)), to double precision."""
    target = math.cos(bloch_phase)
    w = torch.linspace(low, high, samples, dtype=torch.float64)
    f = bloch_cosine(w, layers, kt, polarization) - target
    change = ((f[:-1] * f[1:]) <= 0).nonzero()
    if not change.numel():
        raise ValueError(f"no Bloch mode with phase {bloch_phase} between ω = {low} and {high}")
    a, b = float(w[change[0, 0]]), float(w[change[0, 0] + 1])
    fa = float(bloch_cosine(a, layers, kt, polarization)) - target
    for _ in range(200):
        m = 0.5 * (a + b)
        fm = float(bloch_cosine(m, layers, kt, polarization)) - target
        if (fm <= 0) == (fa <= 0):
            a, fa = m, fm
        else:
            b = m
        if b - a <= 4e-16 * b:
            break
    return 0.5 * (a + b)


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
