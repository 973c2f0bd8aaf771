"""Mie theory for a sphere, through the ``miepython`` package: the
efficiencies Q_sca and Q_abs, and the scattered intensity in the two
principal planes, at the material's own permittivity or at the one that a
time step realises (``materials.discrete.discrete_permittivity``), which
differs from the model's by the time step's known error.
"""
from __future__ import annotations

import torch

from ..materials.discrete import discrete_permittivity, discretise


def sphere_index(x: torch.Tensor, material, radius: float,
                 dt: float | None = None) -> torch.Tensor:
    """The refractive index of a sphere of ``material`` and ``radius`` at size
    parameters ``x`` as miepython writes it: n - iκ for an absorbing material
    (time going as exp(+iωt)); with ``dt``, at the permittivity that time
    step realises."""
    omega = x / radius  # k = ω at c = 1
    if dt is None:
        eps = material.permittivity(omega)
    else:
        d = discretise(material, dt)
        eps = discrete_permittivity(d.alpha, d.beta, d.den, d.loss, omega, dt)
    eps = torch.as_tensor(eps, dtype=torch.complex128).expand(x.shape)
    return torch.sqrt(eps).conj()


def efficiencies(x: torch.Tensor, material, radius: float, dt: float | None = None) -> dict:
    """Mie efficiencies {"Qsca", "Qabs"} ([len(x)] float64) of a sphere of
    ``material`` and ``radius`` at size parameters ``x`` (see
    ``sphere_index`` for ``dt``)."""
    import miepython

    qsca, qabs = [], []
    for m, xx in zip(sphere_index(x, material, radius, dt).tolist(), x.tolist()):
        qext, qs, _, _ = miepython.efficiencies_mx(m, xx)
        qsca.append(float(qs))
        qabs.append(float(qext - qs))
    return {"Qsca": torch.tensor(qsca, dtype=torch.float64),
            "Qabs": torch.tensor(qabs, dtype=torch.float64)}


def pattern(x: float, theta: torch.Tensor, material, radius: float,
            dt: float | None = None) -> torch.Tensor:
    """Mie's scattered intensity [2, angles] at size parameter ``x`` and polar
    angles ``theta`` in the planes φ = 0 (|S2|², the plane of the incident E)
    and φ = 90° (|S1|²), each up to one common factor."""
    import miepython

    m = sphere_index(torch.tensor([x], dtype=torch.float64), material, radius, dt)[0].item()
    s1, s2 = miepython.S1_S2(m, x, torch.cos(theta).numpy())
    return torch.stack([torch.as_tensor(abs(s2) ** 2), torch.as_tensor(abs(s1) ** 2)])
