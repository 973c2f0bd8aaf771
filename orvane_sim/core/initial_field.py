"""The divergence-free Gaussian pulse a box can start from
(``Simulation.set_gaussian_pulse``), and the discrete divergence that
checks it."""
from __future__ import annotations

import torch


def gaussian_pulse(shape, spacing, width: float, amplitude: float = 1.0, grid=None):
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

    ``grid``: a ``RectilinearGrid`` with axes of their own cells (then
    ``spacing`` is not read): G at the cell centres and nodes, its
    differences over the dual spacings, so that the divergence over the
    same spacings (``divergence``) vanishes.
    """
    NX, NY, NZ = shape
    f64 = torch.float64
    if grid is not None:
        return _graded_pulse(grid, width, amplitude)
    dx, dy, dz = spacing
    x = (torch.arange(NX, dtype=f64) + 0.5 - NX / 2) * dx
    y = (torch.arange(NY, dtype=f64) + 0.5 - NY / 2) * dy
    z = (torch.arange(NZ + 1, dtype=f64) - NZ / 2) * dz
    r2 = x.view(-1, 1, 1)**2 + y.view(1, -1, 1)**2 + z.view(1, 1, -1)**2
    G = _rim_free(amplitude * width * torch.exp(-r2 / (2.0 * width**2)))
    Gp = torch.nn.functional.pad(G, (0, 0, 1, 1, 1, 1))  # zero at i, j = -1 and N
    ex = (Gp[1:-1, 1:, :] - Gp[1:-1, :-1, :]) / dy       # [NX, NY+1, NZ+1]
    ey = -(Gp[1:, 1:-1, :] - Gp[:-1, 1:-1, :]) / dx      # [NX+1, NY, NZ+1]
    return ex, ey


def _rim_free(G: torch.Tensor) -> torch.Tensor:
    """G with its outermost ring of samples zero."""
    G[[0, -1], :, :] = 0.0
    G[:, [0, -1], :] = 0.0
    G[:, :, [0, -1]] = 0.0
    return G


def _graded_pulse(grid, width: float, amplitude: float):
    """``gaussian_pulse`` on the axes of ``grid``: G at (c_i, c_j, z_k), the
    box's centre at half its length along each axis."""
    ax, ay, az = grid.axes
    x = ax.centres - 0.5 * ax.length
    y = ay.centres - 0.5 * ay.length
    z = az.nodes - 0.5 * az.length
    r2 = x.view(-1, 1, 1)**2 + y.view(1, -1, 1)**2 + z.view(1, 1, -1)**2
    G = _rim_free(amplitude * width * torch.exp(-r2 / (2.0 * width**2)))
    Gp = torch.nn.functional.pad(G, (0, 0, 1, 1, 1, 1))
    ex = (Gp[1:-1, 1:, :] - Gp[1:-1, :-1, :]) / ay.dual.view(1, -1, 1)
    ey = -(Gp[1:, 1:-1, :] - Gp[:-1, 1:-1, :]) / ax.dual.view(-1, 1, 1)
    return ex, ey


def divergence(Ex: torch.Tensor, Ey: torch.Tensor, Ez: torch.Tensor,
               spacing=(1.0, 1.0, 1.0), grid=None) -> torch.Tensor:
    """Discrete divergence of E at the interior nodes [NX-1, NY-1, NZ-1] (float64).

    Takes the components Ex, Ey, Ez as 3-D [X, Y, Z] tensors or as field
    tensors of one batch entry; ``spacing``: (dx, dy, dz) in length units;
    ``grid``: a ``RectilinearGrid`` instead, each difference over its
    node's dual spacing.
    """
    if grid is None:
        dx, dy, dz = spacing
    else:
        dx, dy, dz = (a.dual[1:-1].view([-1 if b == i else 1 for b in range(3)])
                      for i, a in enumerate(grid.axes))
    ex, ey, ez = ((f[0, 0, ..., 0] if f.dim() == 6 else f).double() for f in (Ex, Ey, Ez))
    return ((ex[1:, 1:-1, 1:-1] - ex[:-1, 1:-1, 1:-1]) / dx
            + (ey[1:-1, 1:, 1:-1] - ey[1:-1, :-1, 1:-1]) / dy
            + (ez[1:-1, 1:-1, 1:] - ez[1:-1, 1:-1, :-1]) / dz)
