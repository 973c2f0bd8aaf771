"""S-parameters from mode ports (``ports``): each port lit in its own batch
entry, one run, outgoing over incoming amplitudes; and the scattering
matrix written as a Touchstone file."""
from __future__ import annotations

from typing import Sequence

import torch

from ..grid.arguments import count
from .ports import ModePort


def s_parameters(sim, ports: Sequence[ModePort], steps: int | None = None,
                 until: float | None = None, progress=None, lit=None) -> torch.Tensor:
    """Run ``sim`` with the ports of ``lit`` (indices into ``ports``, all by
    default) each lit in its own batch entry (b0 = its place in ``lit``; the
    simulation needs B0 = len(lit)) and return the scattering matrix
    [F, P, len(lit)] (complex128; F the ports' frequencies), or
    [B1, F, P, len(lit)] for several material arrangements (the ports'
    cross-sections must be the same in all): S[f, i, j] = the outgoing
    amplitude at port i over the incoming one at port lit[j] when that port
    is lit. The ports must share their frequencies."""
    P = len(ports)
    lit = list(range(P)) if lit is None else [count(j, "lit", None) for j in lit]
    if sim.batch[0] != len(lit):
        raise ValueError(f"s_parameters lights each port in its own batch entry: the "
                         f"simulation needs B0 = {len(lit)} (the ports lit), got {sim.batch[0]}")
    if any(not 0 <= j < P for j in lit):
        raise ValueError(f"lit holds indices into the {P} ports, got {lit}")
    for p in ports[1:]:
        if not torch.equal(p.frequencies, ports[0].frequencies):
            raise ValueError("the ports must share their frequencies")
    for i, port in enumerate(ports):
        port.lit = torch.tensor([j == i for j in lit])
        if port not in sim.sources:
            sim.add(port)
    sim.run(steps=steps, until=until, progress=progress)
    S = scattering_matrix(ports, lit)
    return S[0] if sim.batch[1] == 1 else S


def scattering_matrix(ports: Sequence[ModePort], lit: Sequence[int]) -> torch.Tensor:
    """S [B1, F, P, len(lit)] from the ports' amplitudes so far, port
    lit[k] lit in batch entry k (``s_parameters`` without the run)."""
    back, out = zip(*(port.amplitudes() for port in ports))
    B1 = back[0].shape[1]
    S = torch.empty(B1, len(ports[0].frequencies), len(ports), len(lit), dtype=torch.complex128)
    for k, j in enumerate(lit):
        incoming = back[j][k]                                             # [B1, F]
        for i in range(len(ports)):
            S[:, :, i, k] = (out[i][k] / incoming).cpu()
    return S


def write_touchstone(path, S: torch.Tensor, frequencies, unit: float = 1e-6,
                     name: str = "orvane") -> str:
    """Write S [F, P, P] at ``frequencies`` (c = 1, in inverse length units)
    as a Touchstone file through scikit-rf; ``unit``: the length unit in
    metres (1 µm by default), which turns the frequencies into hertz.
    Returns the file's path (scikit-rf adds the .sNp suffix). S may be any
    array; the rows are written in increasing frequency, as Touchstone
    files must be (S-parameters over increasing wavelengths come in
    decreasing frequency)."""
    import numpy as np
    import skrf

    c = 299792458.0
    hz = np.asarray(torch.as_tensor(frequencies, dtype=torch.float64)) * c / unit
    S = np.asarray(torch.as_tensor(S).detach().cpu())
    order = np.argsort(hz, kind="stable")
    network = skrf.Network(frequency=skrf.Frequency.from_f(hz[order], unit="hz"),
                           s=S[order], name=name)
    stem = str(path)
    suffix = f".s{S.shape[-1]}p"
    if stem.endswith(suffix):
        stem = stem[: -len(suffix)]
    network.write_touchstone(stem)
    return stem + suffix
