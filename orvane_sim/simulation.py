"""A vacuum box on the Yee grid, stepped by the Orvane field updates.

Field layout (one batch entry, B0 = B1 = B2 = 1): tensors [1, 1, X, Y, Z, 1],
Ex [NX, NY+1, NZ+1], Ey [NX+1, NY, NZ+1], Ez [NX+1, NY+1, NZ] on the edges,
Hx, Hy, Hz [NX, NY, NZ] on the faces of the cells. The six domain faces are
perfect conductors: the driver keeps the tangential electric field there at
zero after every electric update (the update itself leaves those nodes to the
caller, except for the layer corrections it adds to some of them).
"""
from __future__ import annotations

import importlib
from types import ModuleType

import torch

from .coefficients import EPS0, MU0, Grading, axis_coefficients, time_step

_MODULES = {"cpu": ("OrvaneCPU", "cpu"), "cuda": ("Orvane", "cuda")}


def load_backend(backend: str) -> tuple[ModuleType, torch.device]:
    """The extension module and device for ``"cpu"`` or ``"cuda"``."""
    if backend not in _MODULES:
        raise ValueError(f"backend must be 'cpu' or 'cuda', got {backend!r}")
    name, device = _MODULES[backend]
    if device == "cuda" and not torch.cuda.is_available():
        raise RuntimeError("backend 'cuda' needs a CUDA device, but torch.cuda.is_available() is False")
    return importlib.import_module(name), torch.device(device)


def _triple(v, what: str) -> tuple:
    t = tuple(v) if isinstance(v, (tuple, list)) else (v, v, v)
    if len(t) != 3:
        raise ValueError(f"{what} needs 1 or 3 values, got {v!r}")
    return t


class Simulation:
    """Fields, layer state and coefficients of one box; ``step`` advances it.

    shape: cells (NX, NY, NZ) or one int; spacing: cell size(s); layers: layer
    thickness in cells per axis (or one int); courant: fraction of the 3-D
    stability limit; b2: trailing batch size of the fields, 1 for a real run,
    2 for a complex run in split-complex form (slot 0 real, slot 1 imaginary
    part), which periodic boundaries with a Bloch phase need.

    Features hook into ``step``: ``sources`` (objects with ``after_h(sim)``
    and ``after_e(sim)``), ``periodic`` (an object with ``apply(sim)`` and
    ``axes``, the axes it fills instead of the conducting faces) and
    ``monitors`` (objects with ``update(sim)``, called once the step is done).
    """

    def __init__(self, shape, spacing=1.0, courant: float = 0.99, layers=10,
                 backend: str = "cpu", grading: Grading = Grading(), b2: int = 1):
        if b2 < 1:
            raise ValueError(f"b2 must be at least 1, got {b2}")
        self.b2 = int(b2)
        self.sources: list = []
        self.monitors: list = []
        self.periodic = None
        self.shape = tuple(int(n) for n in _triple(shape, "shape"))
        self.spacing = tuple(float(h) for h in _triple(spacing, "spacing"))
        self.layers = tuple(int(n) for n in _triple(layers, "layers"))
        self.module, self.device = load_backend(backend)
        self.backend = backend
        self.dt = time_step(self.spacing, courant)
        self.grading = grading
        self.steps_done = 0

        NX, NY, NZ = self.shape
        axes = [axis_coefficients(n, h, L, self.dt, grading)
                for n, h, L in zip(self.shape, self.spacing, self.layers)]
        dev = self.device

        def field(x, y, z):
            return torch.zeros(1, 1, x, y, z, self.b2, device=dev)

        self.Ex = field(NX, NY + 1, NZ + 1)
        self.Ey = field(NX + 1, NY, NZ + 1)
        self.Ez = field(NX + 1, NY + 1, NZ)
        self.Hx, self.Hy, self.Hz = (field(NX, NY, NZ) for _ in range(3))

        Lx, Ly, Lz = self.layers

        def aux(x, y, z):
            return torch.zeros(1, 1, x, y, z, 2, self.b2, device=dev)

        self.hpsi = (aux(2 * Lx, NY, NZ), aux(NX, 2 * Ly, NZ), aux(NX, NY, 2 * Lz))
        self.epsi = (aux(2 * Lx, NY, NZ), aux(NX, 2 * Ly, NZ), aux(NX, NY, 2 * Lz))

        self.coefficients = axes
        self.ch = tuple(a.ch.to(dev) for a in axes)
        self.ce = tuple(a.ce.to(dev) for a in axes)
        self.hb = tuple(a.hb.to(dev) for a in axes)
        self.hc = tuple(a.hc.to(dev) for a in axes)
        self.eb = tuple(a.eb.to(dev) for a in axes)
        self.ec = tuple(a.ec.to(dev) for a in axes)
        # Vacuum: keep the old value (cg1 - cg2 = 1) everywhere.
        self.cg1 = tuple(torch.ones(1, NX, NY, NZ, device=dev) for _ in range(3))
        self.cg2 = tuple(torch.zeros(1, NX, NY, NZ, device=dev) for _ in range(3))
        # Per-node relative permittivity of each component (set_objects), or
        # None for vacuum.
        self.eps = None
        self.layer_cells = torch.tensor(self.layers, dtype=torch.int32, device=dev)
        self.spare = torch.empty(0, device=dev)
        # Passes that complete the electric update (a dispersive medium, for
        # example), each called with the simulation after Update_E.
        self.after_e_update = []

    @property
    def cell_volume(self) -> float:
        dx, dy, dz = self.spacing
        return dx * dy * dz

    @property
    def time(self) -> float:
        """Time of the electric field now (the magnetic one is half a step behind)."""
        return self.steps_done * self.dt

    def step(self, count: int = 1) -> None:
        """Advance ``count`` time steps: H update and H sources, E update and
        E sources, periodic ghosts, conducting faces, then the monitors."""
        m = self.module
        for _ in range(count):
            m.Update_H(self.Hx, self.Hy, self.Hz, self.Ex, self.Ey, self.Ez,
                       *self.ch, *self.hpsi, *self.hb, *self.hc,
                       self.layer_cells, self.spare)
            for source in self.sources:
                source.after_h(self)
            m.Update_E(self.Ex, self.Ey, self.Ez, self.Hx, self.Hy, self.Hz,
                       *self.cg1, *self.cg2, *self.ce, *self.epsi, *self.eb, *self.ec,
                       self.layer_cells, self.spare)
            self._divide_by_permittivity()
            for complete in self.after_e_update:
                complete(self)
            for source in self.sources:
                source.after_e(self)
            if self.periodic is not None:
                self.periodic.apply(self)
            self.zero_tangential_faces()
            self.steps_done += 1
            for monitor in self.monitors:
                monitor.update(self)

    def set_objects(self, objects, background: float = 1.0, **options) -> None:
        """Fill the box with ``objects`` (``geometry.Object``s, painted in
        order over ``background``) and take the update coefficients from
        their averaged permittivity; ``options`` go to
        ``geometry.permittivity_grids`` (resolution, supersample, smoothing).

        With ε per node, the electric update runs with cg1 = ε, cg2 = 0 and
        is then divided by ε: E ← E + (curl and layer terms) / ε.
        """
        from .geometry import permittivity_grids

        self.eps = permittivity_grids(objects, self.shape, self.spacing, self.module,
                                      self.device, background, **options)
        self.cg1 = tuple(e.clone() for e in self.eps)
        self.cg2 = tuple(torch.zeros_like(e) for e in self.eps)

    def _divide_by_permittivity(self) -> None:
        if self.eps is None:
            return
        for f, e in zip((self.Ex, self.Ey, self.Ez), self.eps):
            _, X, Y, Z = e.shape
            f[:, :, :X, :Y, :Z].div_(e[None, ..., None])

    def zero_tangential_faces(self) -> None:
        """Perfect-conductor faces: tangential E = 0 at index 0 and N, except
        along the axes a periodic boundary fills."""
        periodic = self.periodic.axes if self.periodic is not None else ()
        Ex, Ey, Ez = self.Ex, self.Ey, self.Ez
        for f, dims in ((Ex, (3, 4)), (Ey, (2, 4)), (Ez, (2, 3))):
            for d in dims:
                if d - 2 in periodic:
                    continue
                f.select(d, 0).zero_()
                f.select(d, f.size(d) - 1).zero_()

    def energy(self) -> float:
        """0.5 (eps0 sum E^2 + mu0 sum H^2) dV, summed in double precision."""
        def sq(f):
            return torch.linalg.vector_norm(f, dtype=torch.float64).square()

        e = sum(sq(f) for f in (self.Ex, self.Ey, self.Ez))
        h = sum(sq(f) for f in (self.Hx, self.Hy, self.Hz))
        return float(0.5 * (EPS0 * e + MU0 * h) * self.cell_volume)

    def set_gaussian_pulse(self, width: float, amplitude: float = 1.0) -> None:
        """Start from the field of ``gaussian_pulse`` with H = 0 and fresh layer state."""
        ex, ey = gaussian_pulse(self.shape, self.spacing, width, amplitude)
        for f in (self.Ex, self.Ey, self.Ez, self.Hx, self.Hy, self.Hz):
            f.zero_()
        for p in self.hpsi + self.epsi:
            p.zero_()
        self.Ex[0, 0, ..., 0] = ex.to(self.Ex.dtype)
        self.Ey[0, 0, ..., 0] = ey.to(self.Ey.dtype)
        self.steps_done = 0


def gaussian_pulse(shape, spacing, width: float, amplitude: float = 1.0):
    """Divergence-free pulse E = curl(z G), G Gaussian at the box centre.

    G is sampled at the Hz positions ((i+1/2)dx, (j+1/2)dy, k dz) for
    k = 0..NZ, taken as zero outside the box and on its outermost ring of
    samples, and the electric field is its staggered curl
        Ex[i,j,k] =  (G[i,j,k] - G[i,j-1,k]) / dy
        Ey[i,j,k] = -(G[i,j,k] - G[i-1,j,k]) / dx
    (Ez = 0), so the discrete divergence vanishes, no charge is left behind
    and the tangential field on the conducting faces is zero. ``width`` is
    the Gaussian's standard deviation in length units. Returns Ex
    [NX, NY+1, NZ+1] and Ey [NX+1, NY, NZ+1] in float64.
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

    Takes the components as 3-D [X, Y, Z] tensors or as field tensors of one
    batch entry.
    """
    dx, dy, dz = spacing
    ex, ey, ez = ((f[0, 0, ..., 0] if f.dim() == 6 else f).double() for f in (Ex, Ey, Ez))
    return ((ex[1:, 1:-1, 1:-1] - ex[:-1, 1:-1, 1:-1]) / dx
            + (ey[1:-1, 1:, 1:-1] - ey[1:-1, :-1, 1:-1]) / dy
            + (ez[1:-1, 1:-1, 1:] - ez[1:-1, 1:-1, :-1]) / dz)
