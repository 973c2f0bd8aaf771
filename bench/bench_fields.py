"""Time one field step (Update_H + Update_E) and relate it to memory bandwidth.

    python3 bench/bench_fields.py --backend cuda --n 256
    python3 bench/bench_fields.py --backend cpu --n 96
    python3 bench/bench_fields.py --contention

On CUDA each step is timed with device events (median of the repeats); on the
CPU with the wall clock, in rounds that alternate the two updates alone with
the driver's whole step (Simulation.step, five steps a call as a run takes
them: the updates and the conducting faces), whose cost over the updates
the report states. The report gives
cell updates per second and the bandwidth that the bytes a step must move
imply. On CUDA it also measures a
device-to-device copy and states the step's bandwidth as a fraction of it.

--contention (CPU) times the pulse run's step (Simulation.step, the energy
computed after each step untimed, as that run does) with 1 and 2 threads
held fixed, and with 2 threads and the run's own choice of count
(Simulation.tune_threads, the default), on a quiet machine and with one core
held by a process that this script starts, pinned to the last core it may
use and spinning until it is stopped (or for at most a minute). The rounds
alternate quiet and busy and the configurations, so that other work on the
machine falls on all alike. Each round reports the mean step of 300 (stalls
included, as a run pays for them).
"""
from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import time

import torch

# The modules built in place at the repository root come first.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

from orvane_sim import Simulation  # noqa: E402

FLOAT = 4


def step_bytes(n: int, layers: int) -> int:
    """Bytes one H + E step must move at the least, each value once.

    Update_H reads three E components and reads and writes three H ones;
    Update_E reads three H components and six coefficient grids and reads and
    writes three E ones. Inside a layer each axis adds two auxiliary values
    read and written, in both updates.
    """
    cells = n**3
    curl = cells * FLOAT * ((3 + 3 * 2) + (3 + 6 + 3 * 2))
    layer_cells = 3 * 2 * layers * n * n  # per axis: both layers, full cross-section
    return curl + layer_cells * FLOAT * 2 * 2 * 2


def timed(run, repeats: int, cuda: bool) -> list[float]:
    """Seconds for each of `repeats` runs, after one warm-up."""
    run()
    times = []
    for _ in range(repeats):
        if cuda:
            start, stop = torch.cuda.Event(enable_timing=True), torch.cuda.Event(enable_timing=True)
            start.record()
            run()
            stop.record()
            stop.synchronize()
            times.append(start.elapsed_time(stop) / 1e3)
        else:
            t0 = time.perf_counter()
            run()
            times.append(time.perf_counter() - t0)
    return times


def interleaved(runs: dict, repeats: int, cuda: bool, block: int = 5) -> list[list[float]]:
    """Seconds per step of each of ``runs`` (a function of a step count), in
    alternating rounds of ``block`` steps each, so that the machine's slow
    and fast spells fall on all alike; one list per run, in order."""
    out = {name: [] for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():
            out[name].extend(t / block for t in timed(lambda: run(block), 1, cuda))
    return list(out.values())


def copy_bandwidth(nbytes: int, repeats: int) -> float:
    """Bytes per second of a device-to-device copy (read + write)."""
    src = torch.empty(nbytes // FLOAT, device="cuda")
    dst = torch.empty_like(src)
    seconds = statistics.median(timed(lambda: dst.copy_(src), repeats, cuda=True))
    return 2 * nbytes / seconds


# The competing process: pinned to one core, it spins until killed or until
# its time is up, so that a benchmark that dies cannot leave it behind.
SPIN = """
import os, sys, time
os.sched_setaffinity(0, [{core}])
stop = time.monotonic() + {seconds}
print("spinning", flush=True)
while time.monotonic() < stop:
    pass
"""


def start_spinner(seconds: float = 60.0) -> subprocess.Popen:
    """A process that holds one core (the last one this process may use)."""
    core = max(os.sched_getaffinity(0))
    spin = subprocess.Popen([sys.executable, "-c", SPIN.format(core=core, seconds=seconds)],
                            stdout=subprocess.PIPE, text=True)
    if spin.stdout.readline() != "spinning\n":  # it has pinned itself and spins
        spin.kill()
        raise RuntimeError("the competing process did not start")
    return spin


def pulse_steps(sim: Simulation, steps: int) -> list[float]:
    """Seconds for each of `steps` steps, timed as the pulse run times them:
    the step alone, then the energy, untimed (its tensor reduction leaves
    PyTorch's OpenMP workers spinning, as they are in that run)."""
    times = []
    for _ in range(steps):
        t0 = time.perf_counter()
        sim.step()
        times.append(time.perf_counter() - t0)
        sim.energy()
    return times


# (label, threads, tune_threads) of the configurations --contention compares
CONFIGS = (("1 thread", 1, False), ("2 threads", 2, False), ("2, tuned", 2, True))


def contention(sim: Simulation, rounds: int, steps: int) -> dict[tuple[bool, str], list[float]]:
    """Per (core busy, configuration): the mean seconds per step of each
    round, stalls included. A tuned round starts its choice afresh, so its
    steps include the first ones with the caller's count and the probes."""
    found: dict[tuple[bool, str], list[float]] = {(busy, c[0]): [] for busy in (False, True)
                                                  for c in CONFIGS}
    for r in range(rounds):
        for busy in ((False, True) if r % 2 == 0 else (True, False)):
            spin = start_spinner() if busy else None
            try:
                for label, threads, tuned in (CONFIGS if r % 2 == 0 else CONFIGS[::-1]):
                    torch.set_num_threads(threads)
                    sim.tune_threads = tuned
                    sim.step(1)  # warm-up with this configuration
                    found[busy, label].append(statistics.fmean(pulse_steps(sim, steps)))
            finally:
                if spin is not None:
                    spin.kill()
                    spin.wait()
    return found


def report_contention(n: int, layers: int, rounds: int, steps: int) -> None:
    sim = Simulation(n, layers=layers, backend="cpu")
    sim.set_gaussian_pulse(width=3.0)  # the pulse run's default
    # Past the pulse's first steps, as the runs that matter spend theirs.
    sim.step(100)
    threads_before = torch.get_num_threads()
    load = os.getloadavg()
    try:
        found = contention(sim, rounds, steps)
    finally:
        sim.tune_threads = False
        torch.set_num_threads(threads_before)
    print(f"pulse run's step (Simulation.step, energy untimed), grid {n}^3, {layers}-cell layers; "
          f"per round the mean of {steps} steps, {rounds} rounds")
    print(f"load average before: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} "
          f"on {os.cpu_count()} cores")
    print("threads    | quiet: ms/step (range)     | one core busy: ms/step (range)")
    for label, _, _ in CONFIGS:
        cells = []
        for busy in (False, True):
            ms = [x * 1e3 for x in found[busy, label]]
            cells.append(f"{statistics.median(ms):6.2f} ({min(ms):.2f}-{max(ms):.2f})")
        print(f"{label:10s} | {cells[0]:26s} | {cells[1]}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--backend", choices=("cpu", "cuda"), default="cpu")
    ap.add_argument("--n", type=int, default=None, help="cells per axis (default 256 on cuda, 96 on cpu)")
    ap.add_argument("--layers", type=int, default=10)
    ap.add_argument("--repeats", type=int, default=None,
                    help="timed steps (default 50 on cuda, 10 on cpu, 300 with --contention)")
    ap.add_argument("--contention", action="store_true",
                    help="CPU: the pulse step with 1 and 2 fixed threads and 2 tuned, quiet "
                    "and with a core held")
    ap.add_argument("--rounds", type=int, default=7, help="--contention rounds (default 7)")
    args = ap.parse_args()
    cuda = args.backend == "cuda"
    n = args.n or (256 if cuda else 96)
    if args.contention:
        if cuda:
            ap.error("--contention times the CPU twin")
        report_contention(n, args.layers, args.rounds, args.repeats or 300)
        return
    repeats = args.repeats or (50 if cuda else 10)

    sim = Simulation(n, layers=args.layers, backend=args.backend)
    sim.set_gaussian_pulse(width=n / 20)
    m = sim.module

    def step():  # the two updates alone, without the driver's face handling
        m.Update_H(sim.Hx, sim.Hy, sim.Hz, sim.Ex, sim.Ey, sim.Ez, *sim.ch, *sim.hpsi, *sim.hb,
                   *sim.hc, sim.layer_cells, sim.spare)
        m.Update_E(sim.Ex, sim.Ey, sim.Ez, sim.Hx, sim.Hy, sim.Hz, *sim.cg1, *sim.cg2, *sim.ce,
                   *sim.epsi, *sim.eb, *sim.ec, sim.layer_cells, sim.spare)

    def steps(count: int) -> None:
        for _ in range(count):
            step()

    # the driver as a run steps it: several steps per call
    bare, driver = interleaved({"bare": steps, "driver": sim.step}, repeats, cuda)
    times = bare
    seconds = statistics.median(times)
    moved = step_bytes(n, args.layers)
    device = torch.cuda.get_device_name() if cuda else f"cpu ({torch.get_num_threads()} threads)"
    print(f"device: {device}")
    print(f"grid {n}^3, {args.layers}-cell layers, median of {repeats} steps")
    print(f"Update_H + Update_E: {seconds * 1e3:.3f} ms "
          f"(min {min(times) * 1e3:.3f}, max {max(times) * 1e3:.3f})")
    print(f"the driver's step (Simulation.step, faces included): "
          f"{statistics.median(driver) * 1e3:.3f} ms, "
          f"{statistics.median(driver) / seconds - 1:+.1%} on the bare updates")
    print(f"cell updates per second: {n**3 / seconds:.3e}")
    print(f"bytes a step must move: {moved / 2**20:.1f} MiB -> {moved / seconds / 1e9:.1f} GB/s")
    if cuda:
        copy = copy_bandwidth(1 << 30, 20)
        print(f"device-to-device copy: {copy / 1e9:.1f} GB/s; "
              f"the step reaches {moved / seconds / copy:.0%} of it")


if __name__ == "__main__":
    main()
