"""Slabs over processes: joining the group, spawning local processes, and
the pulse-absorption run split into slabs with its command line

    torchrun --nproc-per-node 2 -m orvane_sim.distributed [--backend cpu|cuda] [--cells 48]
                                [--layers 8] [--steps 100] [--axis 0] [--chunk 10]

Process groups: Gloo for CPU tensors, NCCL for CUDA tensors (one GPU per
rank, the rank's local index).
"""
from __future__ import annotations

import argparse
import os
import socket
import time

import torch
import torch.distributed as dist

from ..core.simulation import Simulation
from ..grid.arguments import triple
from .slabs import SlabSimulation


def init_group(backend: str = "cpu") -> None:
    """Join the group that torchrun (or ``spawn``) describes in the
    environment: Gloo for CPU tensors, NCCL for CUDA ones with the GPU of the
    local rank."""
    if backend == "cuda":
        torch.cuda.set_device(int(os.environ.get("LOCAL_RANK", "0")))
    dist.init_process_group("nccl" if backend == "cuda" else "gloo")


def _sync(sim) -> None:
    if sim.device.type == "cuda":
        torch.cuda.synchronize()


def pulse_run(n=None, layers=None, steps: int = 100, width: float = 3.0, axis: int = 0,
              backend: str = "cpu", courant: float = 0.99, bloch=None, chunk: int = 1,
              overlap: bool = True, counts: bool = False, *, size=None, resolution=None,
              layer_thickness=None, grid=None):
    """The pulse-absorption run on the current group: a box of ``size`` at
    ``resolution`` with layers ``layer_thickness`` thick, in length units
    (or of ``n`` cells per axis with ``layers`` cells of layers, or on
    ``grid``, as ``Simulation`` takes it), a pulse
    ``width`` wide, ``steps`` steps (with ``bloch``, a Bloch wave vector
    (kx, ky), x and y are periodic), ``chunk`` steps per ``step`` call (the
    halo overlaps the magnetic update within a call; ``overlap`` False:
    blocking exchange); rank 0 returns (fields, energies after each call,
    seconds per step of the slowest rank), with ``counts`` also every
    rank's exchange counts; the others None."""
    sim = SlabSimulation(n, layers=layers, courant=courant, backend=backend, axis=axis,
                         bloch=bloch, size=size, resolution=resolution,
                         layer_thickness=layer_thickness, grid=grid)
    sim.exchange.overlap = overlap
    sim.set_gaussian_pulse(width)
    energies = []
    stepping = 0.0
    done = 0
    while done < steps:
        k = min(max(int(chunk), 1), steps - done)
        _sync(sim)
        t0 = time.perf_counter()
        sim.step(k)
        _sync(sim)
        stepping += time.perf_counter() - t0
        done += k
        energies.append(sim.energy())
    # the slowest rank sets the pace
    per_step = torch.tensor([stepping / max(steps, 1)], dtype=torch.float64, device=sim.device)
    dist.all_reduce(per_step, op=dist.ReduceOp.MAX)
    per_step = float(per_step)
    fields = sim.gather()
    every = [None] * sim.ranks if sim.rank == 0 else None
    if counts:
        dist.gather_object(dict(sim.exchange.counts), every, dst=0)
    if sim.rank:
        return None
    return (fields, energies, per_step, every) if counts else (fields, energies, per_step)


def single_pulse_run(n=None, layers=None, steps: int = 100, width: float = 3.0, axis: int = 0,
                     backend: str = "cpu", courant: float = 0.99, bloch=None, *, size=None,
                     resolution=None, layer_thickness=None, grid=None):
    """The same run as ``pulse_run`` as one process, for comparison."""
    sim = Simulation(n, layers=layers, courant=courant, backend=backend, bloch=bloch,
                     size=size, resolution=resolution, layer_thickness=layer_thickness,
                     grid=grid)
    sim.set_gaussian_pulse(width)
    energies = []
    for _ in range(steps):
        sim.step()
        energies.append(sim.energy())
    return (sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz), energies


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _spawned(rank: int, ranks: int, port: int, out: str, target, kwargs: dict) -> None:
    os.environ.update(MASTER_ADDR="127.0.0.1", MASTER_PORT=str(port), RANK=str(rank),
                      WORLD_SIZE=str(ranks), LOCAL_RANK=str(rank))
    torch.set_num_threads(1)
    init_group(kwargs.get("backend", "cpu"))
    try:
        result = target(**kwargs)
        if rank == 0:
            torch.save(result, out)
    finally:
        dist.destroy_process_group()


def spawn_run(target, ranks: int, out: str, timeout: float = 120.0, **kwargs):
    """Call ``target(**kwargs)`` (a module-level function) on each of
    ``ranks`` local processes joined on 127.0.0.1 and return rank 0's
    result, passed through the file ``out``; the processes are stopped
    after ``timeout`` seconds."""
    import torch.multiprocessing as mp

    ctx = mp.start_processes(_spawned, args=(ranks, _free_port(), out, target, kwargs),
                             nprocs=ranks, join=False, start_method="spawn")
    deadline = time.monotonic() + timeout
    try:
        while not ctx.join(timeout=1.0):
            if time.monotonic() > deadline:
                raise TimeoutError(f"{ranks}-process run did not finish in {timeout} s")
    finally:
        for p in ctx.processes:
            if p.is_alive():
                p.terminate()
    return torch.load(out, weights_only=False)


def spawn_pulse_run(ranks: int, out: str, timeout: float = 120.0, **kwargs):
    """``pulse_run`` over ``ranks`` local processes (see ``spawn_run``)."""
    return spawn_run(pulse_run, ranks, out, timeout, **kwargs)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="torchrun ... -m orvane_sim.distributed",
                                 description="The pulse-absorption run split into slabs.")
    ap.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    ap.add_argument("--cells", type=int, nargs="+", default=[48],
                    help="cells per axis, one number or three (default 48)")
    ap.add_argument("--layers", type=int, default=8, help="absorbing layer cells (default 8)")
    ap.add_argument("--steps", type=int, default=100, help="time steps (default 100)")
    ap.add_argument("--axis", type=int, default=0, choices=(0, 1, 2), help="split axis")
    ap.add_argument("--chunk", type=int, default=10,
                    help="steps per step() call, the halo overlapping the magnetic update "
                         "within one (default 10)")
    args = ap.parse_args(argv)
    os.environ.setdefault("MASTER_ADDR", "127.0.0.1")
    os.environ.setdefault("MASTER_PORT", "29500")
    os.environ.setdefault("RANK", "0")
    os.environ.setdefault("WORLD_SIZE", "1")
    init_group(args.backend)
    try:
        shape = triple(args.cells[0] if len(args.cells) == 1 else args.cells, "--cells")
        result = pulse_run(shape, args.layers, args.steps, axis=args.axis, backend=args.backend,
                           chunk=args.chunk)
        if result is not None:
            _, energies, per_step = result
            ranks = dist.get_world_size()
            print(f"box {'x'.join(map(str, shape))} over {ranks} rank(s) along axis {args.axis}, "
                  f"{args.steps} steps")
            print(f"energy left / peak: {energies[-1] / max(energies):.3e}")
            print(f"time per step: {per_step * 1e3:.3f} ms")
            print(f"cell updates per second: {shape[0] * shape[1] * shape[2] / per_step:.3e}")
    finally:
        dist.destroy_process_group()
    return 0
