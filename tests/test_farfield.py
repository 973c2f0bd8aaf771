"""The far-field projection against the small electric dipole.

The dipole's exact fields (near, intermediate and far terms; exp(-iωt),
c = η = 1) are sampled on a cube around it the way a Yee grid holds them:
on the face normal to axis a (b, c the next two, cyclically) E_b sits at
points half-integer along b and on the nodes along c, E_c the other way
round, H_c with E_b and H_b with E_c. Each of the two staggered sets is a
set of samples of its own, with midpoint weights along the half-integer
direction and trapezoid weights along the node one.
"""
import math

import pytest
import torch

from orvane_sim.monitors import farfield
from orvane_sim.monitors.farfield import far_field, intensity, radiated_power, sphere_quadrature

C128 = torch.complex128
NU = torch.tensor([0.5, 1.0], dtype=torch.float64)    # 40 and 20 samples per wavelength
P_DIPOLE = torch.tensor([[0, 0, 1], [0.6, -0.3, 0.74]], dtype=C128)  # z and oblique
SIDE, H = 1.0, 0.05


def dipole_fields(p, r0, points, k):
    """E, H [B, N, 3, F] of dipoles p [B, 3] at r0 at points [N, 3], for k [F]."""
    R = points - torch.as_tensor(r0, dtype=torch.float64)
    r = R.norm(dim=-1)
    n = (R / r[:, None]).to(C128)[None, :, :, None]          # [1, N, 3, 1]
    p = p[:, None, :, None]                                   # [B, 1, 3, 1]
    kr = (k[None, :] * r[:, None]).to(C128)[None, :, None, :]  # [1, N, 1, F]
    r = r.to(C128)[None, :, None, None]
    g = torch.exp(1j * kr) / (4 * math.pi)
    nxp = torch.linalg.cross(n.expand_as(p + n), p.expand_as(p + n), dim=2)
    H = k**2 * nxp * g / r * (1 - 1 / (1j * kr))
    ndotp = (n * p).sum(dim=2, keepdim=True)
    E = g * (k**2 * torch.linalg.cross(nxp, n.expand_as(nxp), dim=2) / r
             + (3 * n * ndotp - p) * (1 / r**3 - 1j * k / r**2))
    return E, H


def cube_samples():
    """points [P, 3], weights [P], normals [P, 3], and one-hot masks [P, 3]
    of the E and H components each sample carries."""
    m = round(SIDE / H)
    half = -SIDE / 2 + (torch.arange(m, dtype=torch.float64) + 0.5) * H
    node = -SIDE / 2 + torch.arange(m + 1, dtype=torch.float64) * H
    trap = torch.full((m + 1,), H, dtype=torch.float64)
    trap[[0, -1]] = H / 2
    out = []
    eye = torch.eye(3, dtype=torch.float64)
    for a in range(3):
        b, c = (a + 1) % 3, (a + 2) % 3
        for s in (-1.0, 1.0):
            for e, h in ((b, c), (c, b)):  # E along the half-integer axis, H the node one
                u, v = torch.meshgrid(half, node, indexing="ij")
                pts = torch.empty(u.numel(), 3, dtype=torch.float64)
                pts[:, a], pts[:, e], pts[:, h] = s * SIDE / 2, u.reshape(-1), v.reshape(-1)
                w = (H * trap[None, :]).expand(m, m + 1).reshape(-1)
                one = torch.ones(len(w), 1, dtype=torch.float64)
                out.append((pts, w, s * eye[a] * one, eye[e] * one, eye[h] * one))
    return [torch.cat(parts) for parts in zip(*out)]


def project(r0, theta, phi):
    """(E_θ, E_φ) [B, D, F] of the sampled dipoles at r0, and the flux
    ½ Re ∮ (E × H*)·n dA [B, F] through the same samples."""
    points, w, n, me, mh = cube_samples()
    k = 2 * math.pi * NU
    E, Hf = dipole_fields(P_DIPOLE, r0, points, k)
    E, Hf = E * me[None, :, :, None], Hf * mh[None, :, :, None]
    nc = n.to(C128)[None, :, :, None].expand_as(E)
    J = torch.linalg.cross(nc, Hf, dim=2)
    M = -torch.linalg.cross(nc, E, dim=2)
    flux = 0.5 * (torch.linalg.cross(E, Hf.conj(), dim=2) * nc).sum(dim=2).real
    flux = (flux * w[None, :, None]).sum(dim=1)
    return far_field(points, w, J, M, NU, theta, phi), flux


def analytic_far(r0, theta, phi):
    """k²/(4π)·(r̂ × p) × r̂·exp(-ik r̂·r0) as (E_θ, E_φ) [B, D, F]."""
    st, ct, sp, cp = theta.sin(), theta.cos(), phi.sin(), phi.cos()
    rhat = torch.stack([st * cp, st * sp, ct], -1).to(C128)
    that = torch.stack([ct * cp, ct * sp, -st], -1).to(C128)
    phat = torch.stack([-sp, cp, 0 * sp], -1).to(C128)
    k = 2 * math.pi * NU
    phase = torch.exp(-1j * k[None, :] * (rhat.real @ torch.tensor(r0, dtype=torch.float64))[:, None])
    amp = k**2 / (4 * math.pi) * phase                       # [D, F]
    # (r̂ × p) × r̂ = p - r̂ (r̂·p): its θ and φ components are those of p
    return ((P_DIPOLE @ that.T)[..., None] * amp, (P_DIPOLE @ phat.T)[..., None] * amp)


QUAD = sphere_quadrature(10, 20)
OFFSET = (0.17, -0.11, 0.21)


@pytest.fixture(scope="module")
def projected():
    return {r0: project(r0, *QUAD[:2]) for r0 in ((0.0, 0.0, 0.0), OFFSET)}


@pytest.mark.parametrize("r0", [(0.0, 0.0, 0.0), OFFSET], ids=["centred", "offset"])
def test_dipole_far_field_and_power(projected, r0):
    (Et, Ep), flux = projected[r0]
    At, Ap = analytic_far(r0, *QUAD[:2])
    peak = (At.abs() ** 2 + Ap.abs() ** 2).amax(dim=-2).sqrt()        # [B, F]
    field_err = ((Et - At).abs() ** 2 + (Ep - Ap).abs() ** 2).sqrt().amax(dim=-2) / peak
    assert field_err.max() < 0.01, field_err
    # the pattern, |E|² ∝ sin²ψ with ψ from the dipole's axis
    U = intensity(Et, Ep)
    U_exact = intensity(At, Ap)
    assert ((U - U_exact).abs().amax(dim=-2) / U_exact.amax(dim=-2)).max() < 0.01

    k = 2 * math.pi * NU
    exact = k**4 * (P_DIPOLE.abs() ** 2).sum(-1, keepdim=True) / (12 * math.pi)  # [B, F]
    power = radiated_power(Et, Ep, QUAD[2])
    assert torch.allclose(radiated_power(At, Ap, QUAD[2]), exact, rtol=1e-12)
    assert ((power / exact - 1).abs().max() < 0.01), power / exact
    assert ((flux / exact - 1).abs().max() < 0.01), flux / exact
    assert ((power / flux - 1).abs().max() < 0.01), power / flux


def test_offset_dipole_keeps_intensity(projected):
    U0 = intensity(*projected[(0.0, 0.0, 0.0)][0])
    U1 = intensity(*projected[OFFSET][0])
    assert ((U1 - U0).abs().amax(dim=-2) / U0.amax(dim=-2)).max() < 0.01


def test_blocks_and_batch_shape(monkeypatch):
    gen = torch.Generator().manual_seed(3)
    P, D, F = 37, 300, 3
    points = torch.rand(P, 3, generator=gen, dtype=torch.float64)
    w = torch.rand(P, generator=gen, dtype=torch.float64)
    J, M = (torch.randn(2, 1, P, 3, F, generator=gen, dtype=C128) for _ in range(2))
    nu = torch.tensor([0.3, 1.0, 2.2], dtype=torch.float64)
    theta, phi = torch.rand(D, generator=gen) * math.pi, torch.rand(D, generator=gen) * 6.0
    whole = far_field(points, w, J, M, nu, theta, phi)
    monkeypatch.setattr(farfield, "CHUNK_ELEMENTS", 1000)  # blocks of 2 points × 166 directions
    blocks = far_field(points, w, J, M, nu, theta, phi)
    for a, b in zip(whole, blocks):
        assert a.shape == (2, 1, D, F) and a.dtype == C128
        torch.testing.assert_close(a, b, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("bad, name", [
    ({"points": torch.zeros(4, 2)}, "points"),
    ({"weights": torch.ones(5)}, "weights"),
    ({"M": torch.zeros(1, 4, 3, 2, dtype=C128)}, "M"),
    ({"J": torch.zeros(4, 3, 3, dtype=C128)}, "J"),
    ({"phi": torch.zeros(3)}, "phi"),
])
def test_shape_errors_name_the_argument(bad, name):
    args = dict(points=torch.zeros(4, 3), weights=torch.ones(4),
                J=torch.zeros(4, 3, 2, dtype=C128), M=torch.zeros(4, 3, 2, dtype=C128),
                frequencies=torch.ones(2), theta=torch.zeros(2), phi=torch.zeros(2))
    args.update(bad)
    with pytest.raises(ValueError, match=f"^{name} must be"):
        far_field(**args)
