"""The divergence-free Gaussian pulse a box can start from
(``Simulation.set_gaussian_pulse``), and the discrete divergence that
checks it."""
from __future__ import annotations

import torch


def gaussian_pulse(shape, spacing, width: float, amplitude: float = 1.0):
    """Divergence-free pulse E = curl(z G), G Gaussian at the box centre.

    G is sampled at the Hz positions ((i+1/2)dx, (j+1/2)dy, k dz) for
    k = 0..NZ, taken as zero outside the box and on its outermost ring of
    samples, and the electric field is its staggered curl
        Ex[i,j,k] =  (G[i,j,k] - G[i,j-1,k]) / dy
        Ey[i,j,k] = -(G[i,j,k] - G[i-1,j,k]) / dx
    (Ez = 0), so the discrete divergence vanishes, no charge is left behind
    and the tangential field on the conducting faces is zero. ``shape``:
    the box's cells (NX, NY, NZ); ``spacing``: (dx, dy, dz) in length
    units; ``width``: the Gaussian's standard deviation in length units;
    ``amplitude``: G's peak over ``width`` (E then peaks near it). Returns
    Ex [NX, NY+1, NZ+1] and Ey [NX+1, NY, NZ+1] in float64.
    """
    NX, NY, NZ = shape
    dx, dy, dz = spacing
    f64 = torch.float64
    x = (torch.arange(NX, dtype=f64) + 0.5 - NX / 2) * dx
    y = (torch.arange(NY, dtype=f64) + 0.5 - NY / 2) * dy
    z = (torch.arange(NZ + 1, dtype=f64) - NZ / 2) * dz
    r2 = x.view(-1, 1, 1)**2 + y.view(1, -1, 1)**2 + z.view(1, 1, -1)**2
    G = amplitude * width * torch.exp(-r2 / (2.0 * width**2))
    G[[0, -1], :, :] = 0.0
    G[:, [0, -1], :] = 0.0
    G[:, :, [0, -1]] = 0.0
    Gp = torch.nn.functional.pad(G, (0, 0, 1, 1, 1, 1))  # zero at i, j = -1 and N
    ex = (Gp[1:-1, 1:, :] - Gp[1:-1, :-1, :]) / dy       # [NX, NY+1, NZ+1]
    ey = -(Gp[1:, 1:-1, :] - Gp[:-1, 1:-1, :]) / dx      # [NX+1, NY, NZ+1]
    return ex, ey


def divergence(Ex: torch.Tensor, Ey: torch.Tensor, Ez: torch.Tensor,
               spacing=(1.0, 1.0, 1.0)) -> torch.Tensor:
    """Discrete divergence of E at the interior nodes [NX-1, NY-1, NZ-1] (float64).

    Takes the components Ex, Ey, Ez as 3-D [X, Y, Z] tensors or as field
    tensors of one batch entry; ``spacing``: (dx, dy, dz) in length units.
    """
    dx, dy, dz = spacing
    ex, ey, ez = ((f[0, 0, ..., 0] if f.dim() == 6 else f).double() for f in (Ex, Ey, Ez))
    return ((ex[1:, 1:-1, 1:-1] - ex[:-1, 1:-1, 1:-1]) / dx
            + (ey[1:-1, 1:, 1:-1] - ey[1:-1, :-1, 1:-1]) / dy
            + (ez[1:-1, 1:-1, 1:] - ez[1:-1, 1:-1, :-1]) / dz)
