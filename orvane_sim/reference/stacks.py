"""Planar stacks at a plane wave's incidence: reflectance, transmittance and
the reflection coefficient, measured in a periodic column of the Yee grid.

The column is 2 x 2 cells across with Bloch-periodic x and y (one cell per
period), so a run costs about as much as a one-dimensional one, and it is
NZ cells long, with absorbing layers at both z ends. Along z, from the
bottom: the low layer, the reflection monitor, the total-field /
scattered-field plane, the stack, the transmission monitor, the high layer.
B0 carries one (k, polarisation) pair per entry, B1 one stack per entry.

    R = -flux(reflection plane) / incident flux
    T =  flux(transmission plane) / incident flux

with the incident flux recorded on the plane wave's own line; all three
planes lie in vacuum and measure flux the same way.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence

import torch

from ..core.simulation import Simulation
from ..geometry.shapes import Object, Slab
from ..monitors.flux import FluxPlane
from ..sources.plane_wave import PlaneWave
from ..sources.waveforms import gaussian
from .analytic import yee_wavenumber


@dataclass
class PlanarResult:
    frequencies: torch.Tensor  # [F] float64
    R: torch.Tensor            # [B0, B1, F]
    T: torch.Tensor            # [B0, B1, F]
    r: torch.Tensor            # [B0, B1, F] complex: tangential E, referred to z = front
    resolution: float
    steps: int
    seconds: float


def layer(z0: float, z1: float, material) -> Object:
    """The material between the planes z = z0 and z = z1, across the whole column."""
    return Object(Slab((0, 0, 1), z0, z1), material)


def planar(stacks, frequencies: Sequence[float], resolution: float, length: float,
           front: float, k=(0.0, 0.0), polarization=(1.0, 0.0), pulse=None,
           until: float | None = None, backend: str = "cpu", pml: int = 20,
           smoothing="anisotropic", progress: bool | None = None, courant: float = 0.99,
           gap: float = 0.3, sampling=((1, 1, 64), (1, 1, 4)),
           slabs: bool = False) -> PlanarResult:
    """Run the column. ``stacks``: one object list per b1 (positions along z
    in length units, measured from the first vacuum node above the low
    layer's plane wave region, see below), ``length``: vacuum-and-stack
    length between the TF/SF plane and the transmission monitor; ``front``:
    where the reflection coefficient is referred to (the first face).
    ``k`` and ``polarization``: one or one per b0. ``pulse``: the waveform
    (a Gaussian covering the frequencies by default).

    Layout in cells: pml | 3 | monitor R | 3 | plane | stack region of
    ``length`` (origin z = 0 at the plane's first total-field node) | gap |
    monitor T | gap | pml. ``sampling``: (resolution, supersample) of the
    objects' fill (per axis; planar faces need it along z only). ``slabs``:
    split the column along z over the ranks of the default process group
    (every rank calls ``planar`` alike and gets the whole result).
    """
    import time

    h = 1.0 / resolution
    nu = torch.tensor([float(f) for f in frequencies], dtype=torch.float64)
    if pulse is None:
        lo, hi = float(nu.min()), float(nu.max())
        centre, half = 0.5 * (lo + hi), max(0.5 * (hi - lo), 1e-3)
        width = 1.5 / (math.pi * half)  # about 1e-1 of the peak at the band edges
        pulse = gaussian(5 * width, width, centre)
    k_t = torch.as_tensor(k, dtype=torch.float64)
    B0 = 1 if k_t.dim() == 1 else k_t.shape[0]
    pol_t = torch.as_tensor(polarization, dtype=torch.float64)
    if pol_t.dim() == 2:
        B0 = max(B0, pol_t.shape[0])
    B1 = len(stacks)
    z_r = pml + 3
    plane = z_r + 3
    origin_node = plane + 1
    n_stack = math.ceil(length / h)
    n_gap = max(2, math.ceil(gap / h))
    z_t = origin_node + n_stack + n_gap
    NZ = z_t + n_gap + pml + 1
    origin = origin_node * h
    shifted = [[Object(_shift(o.shape, origin), o.material) for o in objs] for objs in stacks]
    if until is None:
        until = getattr(pulse, "t0", 0.0) + 4 * getattr(pulse, "width", 2.0) + 4 * NZ * h
    box = dict(spacing=h, layers=((0, 0), (0, 0), (pml, pml)), courant=courant,
               backend=backend, batch=(B0, B1), bloch=k_t)
    if slabs:
        from ..distributed.slabs import SlabSimulation

        sim = SlabSimulation((2, 2, NZ), axis=2, **box)
    else:
        sim = Simulation((2, 2, NZ), **box)
    sim.set_objects(shifted, smoothing=smoothing, resolution=sampling[0],
                    supersample=sampling[1])
    source = sim.add(PlaneWave(sim, plane, pulse, polarization=pol_t, k=k_t, duration=until,
                               frequencies=nu))
    refl = sim.add(FluxPlane(sim, z_r, nu))
    trans = sim.add(FluxPlane(sim, z_t, nu))
    start = time.perf_counter()
    sim.run(until=until, progress=progress)
    seconds = time.perf_counter() - start
    incident = source.incident_flux()[:, None, :]  # [B0, 1, F]
    R = -refl.flux() / incident
    T = trans.flux() / incident
    # tangential E of the reflected wave at the reflection monitor, moved to
    # the front face along the grid's own wavenumber
    omega = 2 * math.pi * nu
    kz = yee_wavenumber(omega, h, sim.dt)
    inc = source.incident_spectra()
    er = refl.spectra()
    use_y = pol_t.reshape(-1, 2)[:, 1].abs() > pol_t.reshape(-1, 2)[:, 0].abs()
    e_r = torch.where(use_y[:, None, None], er["Ey"][:, :, 0, 0], er["Ex"][:, :, 0, 0])
    e_i = torch.where(use_y[:, None], inc["Ey"], inc["Ex"])[:, None, :]
    z_front, z_m, z_i = origin + front, z_r * h, origin_node * h
    r = e_r / e_i * torch.exp(-1j * kz * (2 * z_front - z_m - z_i))
    return PlanarResult(nu, R, T, r, resolution, sim.steps_done, seconds)


def _shift(shape, dz: float):
    if isinstance(shape, Slab):
        n = torch.as_tensor(shape.direction, dtype=torch.float64)
        n = n / n.norm()
        off = float(n[2]) * dz
        return Slab(shape.direction, shape.low + off, shape.high + off)
    raise ValueError(f"planar stacks take Slab shapes, got {type(shape).__name__}")
