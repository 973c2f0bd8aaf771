"""The CPU twin against two other FDTD programs on the same vacuum box.

    python3 bench/bench_peers.py [--n 64] [--steps 60] [--layers 10] [--rounds 3]
                                 [--meep-python PYTHON] [--fdtdx-python PYTHON]

Every program steps an N^3-cell vacuum box whose absorbing layers, `--layers`
cells thick, lie inside it on all six faces, with a pulse at the centre:

  Orvane   the driver's run (`Simulation.step`) on OrvaneCPU, with all of
           PyTorch's threads and with one;
  Meep     its Python interface (Debian's python3-meep, run by the system
           interpreter), resolution 1, `mp.PML`, a Gaussian Ez source,
           `fields.step()`;
  fdtdx    on JAX's CPU backend, in a virtual environment of its own
           (python3 -m venv /opt/fdtdx-venv &&
            /opt/fdtdx-venv/bin/pip install fdtdx "jax[cpu]"), a uniform
           grid, its perfectly matched layers, a point dipole, `run_fdtd`
           over the whole run (compiled by a first run of the same length).

Each measurement runs in an interpreter of its own, after a few unmeasured
steps; the rounds interleave the programs, so that other work on the
machine falls on all of them alike, and the table gives each one's median
cell updates per second over the rounds (and the range). A program whose
interpreter cannot import it is left out and said so. Neither peer is a
dependency of this project.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Each script reads n, steps, layers from argv and prints the cell updates per
# second of its measured steps on a line "rate <value>" (Meep adds its own
# lines).
ORVANE = """
import sys, time, torch
sys.path.insert(0, {root!r})
from orvane_sim import Simulation
n, steps, layers, threads = (int(a) for a in sys.argv[1:5])
if threads:
    torch.set_num_threads(threads)
sim = Simulation(n, layers=layers, backend="cpu")
sim.set_gaussian_pulse(3.0)
sim.step(5)
t = time.perf_counter()
sim.step(steps)
print("rate", n**3 * steps / (time.perf_counter() - t))
"""

MEEP = """
import sys, time
import meep as mp
n, steps, layers = (int(a) for a in sys.argv[1:4])
mp.verbosity(0)
sim = mp.Simulation(cell_size=mp.Vector3(n, n, n), resolution=1, boundary_layers=[mp.PML(layers)],
                    sources=[mp.Source(mp.GaussianSource(frequency=0.05, fwidth=0.05),
                                       component=mp.Ez, center=mp.Vector3())])
sim.init_sim()
for _ in range(5):
    sim.fields.step()
t = time.perf_counter()
for _ in range(steps):
    sim.fields.step()
print("rate", n**3 * steps / (time.perf_counter() - t))
"""

FDTDX = """
import sys, time
import jax
jax.config.update("jax_platform_name", "cpu")
import fdtdx
n, steps, layers = (int(a) for a in sys.argv[1:4])
dx, c = 100e-9, 299792458.0
dt = 0.99 * dx / (c * 3 ** 0.5)
config = fdtdx.SimulationConfig(time=steps * dt, grid=fdtdx.UniformGrid(spacing=dx), backend="cpu",
                                dtype=jax.numpy.float32, courant_factor=0.99)
volume = fdtdx.SimulationVolume(partial_real_shape=(n * dx, n * dx, n * dx))
bounds, constraints = fdtdx.boundary_objects_from_config(
    fdtdx.BoundaryConfig.from_uniform_bound(thickness=layers), volume)
source = fdtdx.PointDipoleSource(polarization=2, partial_grid_shape=(1, 1, 1),
                                 wave_character=fdtdx.WaveCharacter(wavelength=20 * dx))
constraints = [*constraints, source.place_at_center(volume)]
key = jax.random.PRNGKey(0)
objects, arrays, params, config, _ = fdtdx.place_objects(
    object_list=[volume, source, *bounds.values()], config=config, constraints=constraints, key=key)
arrays, objects, _ = fdtdx.apply_params(arrays, objects, params, key)

def run():
    jax.block_until_ready(fdtdx.run_fdtd(arrays=arrays, objects=objects, config=config, key=key,
                                         show_progress=False))

run()  # compiles
t = time.perf_counter()
run()
print("rate", n**3 * config.time_steps_total / (time.perf_counter() - t))
"""


def runners(args) -> dict:
    """{label: argv prefix} of the programs that can run here; prints why
    the others cannot."""
    found = {}
    orvane = [sys.executable, "-c", ORVANE.format(root=str(ROOT))]
    threads = os.cpu_count() or 1
    found[f"Orvane, OrvaneCPU, {threads} threads"] = (orvane, ["0"])
    found["Orvane, OrvaneCPU, 1 thread"] = (orvane, ["1"])
    for label, python, module, script, how in [
            ("Meep", args.meep_python, "meep", MEEP, "apt-get install python3-meep"),
            ("fdtdx (JAX CPU)", args.fdtdx_python, "fdtdx", FDTDX,
             'python3 -m venv /opt/fdtdx-venv && /opt/fdtdx-venv/bin/pip install fdtdx "jax[cpu]"')]:
        usable = python and shutil.which(python) and subprocess.run(
            [python, "-c", f"import {module}"], capture_output=True).returncode == 0
        if usable:
            version = subprocess.run(
                [python, "-c", f"import importlib.metadata as m, {module} as p; "
                 f"print(getattr(p, '__version__', '') or m.version({module!r}))"],
                capture_output=True, text=True).stdout.strip().split("\n")[0]
            found[f"{label} {version}".strip()] = ([python, "-c", script], [])
            if module == "meep":
                print("Meep: one process (its parallelism is MPI's, not used here)")
        else:
            print(f"{label}: not found ({python} cannot import {module}; install: {how})")
    return found


def measure(argv: list, args, extra: list) -> float:
    done = subprocess.run([*argv, str(args.n), str(args.steps), str(args.layers), *extra],
                          capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        raise RuntimeError(f"{argv[0]} failed:\n{done.stderr[-2000:]}")
    return next(float(line.split()[1]) for line in done.stdout.splitlines()
                if line.startswith("rate "))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--n", type=int, default=64, help="cells per axis (default 64)")
    ap.add_argument("--steps", type=int, default=60, help="measured steps per run (default 60)")
    ap.add_argument("--layers", type=int, default=10, help="absorbing layer cells (default 10)")
    ap.add_argument("--rounds", type=int, default=3, help="interleaved rounds (default 3)")
    ap.add_argument("--meep-python", default="/usr/bin/python3",
                    help="the interpreter that imports meep (default /usr/bin/python3)")
    ap.add_argument("--fdtdx-python", default="/opt/fdtdx-venv/bin/python",
                    help="the interpreter that imports fdtdx (default /opt/fdtdx-venv/bin/python)")
    args = ap.parse_args()
    found = runners(args)
    rates = {label: [] for label in found}
    for r in range(args.rounds):
        for label, (argv, extra) in found.items():
            rates[label].append(measure(argv, args, extra))
            print(f"round {r + 1}/{args.rounds}: {label}: {rates[label][-1]:.3e} cell updates/s",
                  file=sys.stderr)
    print(f"{args.n}^3 cells, {args.layers}-cell absorbing layers, {args.steps} steps a run, "
          f"{args.rounds} interleaved rounds, {os.cpu_count()} cores")
    print(f"{'program':40s} {'cell updates/s':>15s} {'range':>22s}")
    for label, values in rates.items():
        print(f"{label:40s} {statistics.median(values):15.3e} "
              f"{min(values):10.3e}-{max(values):.3e}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
