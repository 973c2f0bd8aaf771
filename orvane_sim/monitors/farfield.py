"""Near-to-far-field projection by surface equivalence in free space.

Time-harmonic fields go as exp(-i 2π ν t) with c = ε = μ = η = 1 (as in
``monitors``), so k = 2π ν and an outgoing spherical wave is exp(+i k r)/r.
A closed surface S around every source, with outward normal n and the
fields E, H on it, radiates outside S the same fields as the sources when
it carries the currents

    J = n × H,    M = -n × E,

in empty space. Far away (r measured from the coordinate origin, along the
unit vector r̂) the free-space Green's function exp(i k |r - r'|)/(4π |r - r'|)
becomes exp(i k r)/(4π r)·exp(-i k r̂·r'), and the radiation vectors

    N(r̂) = ∮ J(r') exp(-i k r̂·r') dS',    L(r̂) = ∮ M(r') exp(-i k r̂·r') dS'

give the far field, the part across r̂ of i ω A - ∇ × F with the
potentials A = N exp(ikr)/(4πr) and F = L exp(ikr)/(4πr):

    r e^{-ikr} E_θ = (i k / 4π) (N_θ + L_φ)
    r e^{-ikr} E_φ = (i k / 4π) (N_φ - L_θ)

with θ̂ = (cos θ cos φ, cos θ sin φ, -sin θ), φ̂ = (-sin φ, cos φ, 0). The
far magnetic field is r̂ × E, so the power per solid angle is |E|²/2.

The surface integrals are sums over samples: positions, areas and the
currents at each. A sample may carry only some components of J and M (the
rest zero): on a Yee grid the two tangential components of a face sit at
their own staggered points, and go in as separate samples, each with the
area its own quadrature gives it.
"""
from __future__ import annotations

import math

import torch

C128 = torch.complex128

# The phase factors exp(-i k r̂·r') are built one block of points,
# directions and frequencies at a time, of at most this many elements: 16 MiB
# of complex128, with the angles 32 bytes an element (a run of 10⁸ elements
# on the CPU grew by under 80 MB, what the allocator keeps included).
CHUNK_ELEMENTS = 1 << 20


def _check(name: str, t: torch.Tensor, shape: tuple, expected: str) -> None:
    if tuple(t.shape) != tuple(shape):
        raise ValueError(f"{name} must be {expected}, got shape {list(t.shape)}")


def far_field(points, weights, J, M, frequencies, theta, phi):
    """(E_θ, E_φ), the far-field amplitude r·exp(-ikr)·E (r → ∞, r from the
    coordinate origin) of surface currents, each complex128 [..., D, F].

    ``points`` [P, 3] are the sample positions, ``weights`` [P] the area of
    each, ``J`` and ``M`` [..., P, 3, F] (complex, any leading batch shape,
    the same for both) the electric (n × H) and magnetic (-n × E) currents
    there, ``frequencies`` [F], ``theta`` and ``phi`` [D] the directions in
    radians. The result is on J's device. Memory beyond the inputs and the
    result stays within blocks of ``CHUNK_ELEMENTS`` points × directions ×
    frequencies.
    """
    J, M = torch.as_tensor(J), torch.as_tensor(M)
    dev = J.device
    points = torch.as_tensor(points).to(device=dev, dtype=torch.float64)
    weights = torch.as_tensor(weights).to(device=dev, dtype=torch.float64)
    frequencies = torch.as_tensor(frequencies).to(device=dev, dtype=torch.float64)
    theta = torch.as_tensor(theta).to(device=dev, dtype=torch.float64)
    phi = torch.as_tensor(phi).to(device=dev, dtype=torch.float64)
    if points.dim() != 2 or points.shape[-1] != 3:
        raise ValueError(f"points must be [P, 3], got shape {list(points.shape)}")
    P = points.shape[0]
    if frequencies.dim() != 1:
        raise ValueError(f"frequencies must be [F], got shape {list(frequencies.shape)}")
    F = frequencies.shape[0]
    if theta.dim() != 1:
        raise ValueError(f"theta must be [D], got shape {list(theta.shape)}")
    D = theta.shape[0]
    _check("phi", phi, (D,), f"[D] with D = {D} as theta")
    _check("weights", weights, (P,), f"[P] with P = {P} as points")
    if J.dim() < 3 or tuple(J.shape[-3:]) != (P, 3, F):
        raise ValueError(f"J must be [..., P, 3, F] with P = {P}, F = {F}, "
                         f"got shape {list(J.shape)}")
    batch = tuple(J.shape[:-3])
    _check("M", M, J.shape, f"[..., P, 3, F] like J, {list(J.shape)}")
    M = M.to(dev)

    # one block of points at a time: J then M, the batch folded, weighted,
    # as [F, B·6, Pc] for the products with the phases [F, Pc, Dc]
    B = math.prod(batch)
    J, M = J.reshape(B, P, 3, F), M.reshape(B, P, 3, F)

    st, ct = torch.sin(theta), torch.cos(theta)
    sp, cp = torch.sin(phi), torch.cos(phi)
    rhat = torch.stack([st * cp, st * sp, ct], dim=-1)                            # [D, 3]
    that = torch.stack([ct * cp, ct * sp, -st], dim=-1)
    phat = torch.stack([-sp, cp, torch.zeros_like(phi)], dim=-1)
    k = 2.0 * math.pi * frequencies

    # N and L in x, y, z: [F, B·6, D]
    NL = torch.zeros(F, B * 6, D, dtype=C128, device=dev)
    per_point = max(F, 1) * max(min(D, 128), 6 * B, 1)  # the phases, or the block of currents
    Pc = max(1, min(P, CHUNK_ELEMENTS // per_point))
    Dc = max(1, min(D, CHUNK_ELEMENTS // (max(F, 1) * Pc)))
    for p0 in range(0, P, Pc):
        p1 = min(P, p0 + Pc)
        cur = torch.stack([J[:, p0:p1], M[:, p0:p1]], dim=1).to(C128)             # [B, 2, Pc, 3, F]
        cur = (cur * weights[p0:p1, None, None]).permute(4, 0, 1, 3, 2).reshape(F, B * 6, p1 - p0)
        for d0 in range(0, D, Dc):
            d1 = min(D, d0 + Dc)
            angle = -k[:, None, None] * (points[p0:p1] @ rhat[d0:d1].T)[None]   # [F, Pc, Dc]
            phase = torch.complex(angle.cos(), angle.sin_())
            del angle
            NL[:, :, d0:d1] += torch.matmul(cur, phase)
            del phase

    NL = NL.reshape(F, *batch, 2, 3, D)
    N, L = NL.select(-3, 0), NL.select(-3, 1)                                    # [F, ..., 3, D]

    def along(v, unit):  # [F, ..., D]
        return (v * unit.T.to(C128)).sum(dim=-2)

    scale = (1j * k / (4.0 * math.pi)).to(C128).reshape(F, *([1] * (len(batch) + 1)))
    E_theta = scale * (along(N, that) + along(L, phat))
    E_phi = scale * (along(N, phat) - along(L, that))
    return E_theta.movedim(0, -1), E_phi.movedim(0, -1)


def sphere_quadrature(n_theta: int, n_phi: int, device=None):
    """(theta, phi, weights) [n_theta·n_phi] (float64) of a product rule over
    the unit sphere: Gauss–Legendre in cos θ, uniform in φ (φ_j = 2π j /
    n_phi), weights in steradians (summing to 4π). It integrates exactly
    every polynomial in x, y, z of degree below 2·n_theta whose degree in
    (x, y) is below n_phi: a field pattern of spherical-harmonic degree ℓ
    has |E|² of degree 2ℓ, and needs n_theta > ℓ, n_phi > 2ℓ. ``device``:
    where the tensors are made (the CPU by default)."""
    if int(n_theta) != n_theta or int(n_phi) != n_phi or n_theta < 1 or n_phi < 1:
        raise ValueError(f"n_theta and n_phi must be positive integers, got {n_theta}, {n_phi}")
    n_theta, n_phi = int(n_theta), int(n_phi)
    # Golub–Welsch: the nodes are the eigenvalues of the Jacobi matrix of the
    # Legendre recurrence, the weights 2·(first eigenvector component)²
    i = torch.arange(1, n_theta, dtype=torch.float64)
    off = i / torch.sqrt(4.0 * i * i - 1.0)
    jacobi = torch.diag(off, 1) + torch.diag(off, -1)
    x, v = torch.linalg.eigh(jacobi)
    wx = 2.0 * v[0] ** 2
    phi = 2.0 * math.pi * torch.arange(n_phi, dtype=torch.float64) / n_phi
    theta = torch.acos(x.clamp(-1.0, 1.0))
    weights = (wx[:, None] * (2.0 * math.pi / n_phi)).expand(n_theta, n_phi)
    return (theta[:, None].expand(n_theta, n_phi).reshape(-1).to(device),
            phi[None, :].expand(n_theta, n_phi).reshape(-1).to(device),
            weights.reshape(-1).to(device))


def intensity(E_theta, E_phi):
    """Radiant intensity, power per solid angle (|E_θ|² + |E_φ|²)/2 (η = 1),
    float64 [..., D, F] from the far-field amplitudes E_theta and E_phi
    [..., D, F] (``far_field``'s r·e^{-ikr}·E)."""
    if E_theta.shape != E_phi.shape:
        raise ValueError(f"E_phi must have the shape of E_theta, {list(E_theta.shape)}, "
                         f"got {list(E_phi.shape)}")
    return 0.5 * (E_theta.abs() ** 2 + E_phi.abs() ** 2).to(torch.float64)


def radiated_power(E_theta, E_phi, weights):
    """Σ_d w_d·|E|²/2 over the directions: the power through the sphere,
    float64 [..., F], from the far-field amplitudes E_theta and E_phi
    [..., D, F] on the directions of a quadrature with solid-angle
    ``weights`` [D] (``sphere_quadrature``)."""
    U = intensity(E_theta, E_phi)
    weights = torch.as_tensor(weights, dtype=torch.float64, device=U.device)
    if U.dim() < 2:
        raise ValueError(f"E_theta must be [..., D, F], got shape {list(U.shape)}")
    _check("weights", weights, (U.shape[-2],), f"[D] with D = {U.shape[-2]} as E_theta")
    return (U * weights[:, None]).sum(dim=-2)
