"""Orvane against Meep on one sphere: accuracy against Mie and CPU time.

    python3 bench/bench_mie_peers.py [--resolutions 10 20 30] [--index 1.5]
                                     [--count 12] [--meep-python /usr/bin/python3]
                                     [--meep-symmetries] [--only orvane|meep]

Both programs compute the scattering efficiency Q_sca of a dielectric
sphere (radius 0.5, refractive index ``--index``) at ``--count`` size
parameters x = 2π r ν from 0.6 to 4, each in one process of one thread,
and the table gives per program and resolution the largest and the mean
|Q_sca / Q_Mie − 1| (miepython) and the CPU seconds the process took
(``time.process_time``: the whole run, painting and set-up included).

  Orvane   the Mie demo's run (``orvane_sim.demos.mie.sphere_run``): a
           total-field box around the sphere, a closed flux box outside it,
           absorbing layers on every face; one run.
  Meep     its Python interface (Debian's python3-meep, run by the system
           interpreter), default sub-pixel smoothing, Orvane's box: the
           closed flux box at ±0.7, vacuum to ±0.8, then a PML of
           ``--meep-pml`` (1.0 by default: Meep's PML needs more room than
           Orvane's 8-cell layers at the band's longest wavelength, 5.2);
           a plane-wave pulse from a plane that crosses the PML
           (is_integrated, as in Meep's Mie tutorial); one empty run for
           the incident field and one with the sphere, the first's flux
           subtracted (two runs, as Meep computes a scattered flux).
           ``--meep-symmetries`` lets it use the two mirror planes (a
           quarter of the work): off by default, as Orvane uses none.

A program whose interpreter cannot import it is left out and said so.
Neither Meep nor miepython is a dependency of the driver.
"""
from __future__ import annotations

import argparse
import json
import math
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
RADIUS, X_LOW, X_HIGH = 0.5, 0.6, 4.0

ORVANE = """
import json, math, sys, time
sys.path.insert(0, {root!r})
import torch
torch.set_num_threads(1)
from orvane_sim.demos.mie import sphere_run
from orvane_sim.materials import Dielectric
resolution, index, count = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
x = torch.linspace({low}, {high}, count, dtype=torch.float64)
start = time.process_time()
run = sphere_run(resolution, Dielectric(index ** 2), x=x, far_field=False, until=40.0)
print("result", json.dumps({{"x": x.tolist(), "Qsca": run["Qsca"].tolist(),
                             "cpu": time.process_time() - start}}))
"""

MEEP = """
import json, math, sys, time
import numpy as np
import meep as mp
resolution, index, count = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
symmetric, dpml = sys.argv[4] == "1", float(sys.argv[5])
mp.verbosity(0)
start = time.process_time()
r = {radius}
x = np.linspace({low}, {high}, count)
frequencies = x / (2 * math.pi * r)
fmin, fmax = frequencies[0], frequencies[-1]
fcen, df = 0.5 * (fmin + fmax), fmax - fmin
# Orvane's box: the flux box at ±0.7, the layers from ±0.8
flux, edge = 0.7, 0.8
s = 2 * (edge + dpml)
cell = mp.Vector3(s, s, s)
pml = [mp.PML(thickness=dpml)]
sources = [mp.Source(mp.GaussianSource(fcen, fwidth=df, is_integrated=True),
                     center=mp.Vector3(-0.5 * s + dpml), size=mp.Vector3(0, s, s),
                     component=mp.Ez)]
symmetries = [mp.Mirror(mp.Y), mp.Mirror(mp.Z, phase=-1)] if symmetric else []


def run(geometry, minus=None):
    sim = mp.Simulation(resolution=resolution, cell_size=cell, boundary_layers=pml,
                        sources=sources, k_point=mp.Vector3(), symmetries=symmetries,
                        geometry=geometry)
    monitors = []
    for axis in "xyz":
        for sign in (-1, 1):
            centre = mp.Vector3(**{{axis: sign * flux}})
            size = mp.Vector3(*(0 if a == axis else 2 * flux for a in "xyz"))
            monitors.append(sim.add_flux(fcen, df, count, mp.FluxRegion(center=centre, size=size)))
    if minus is not None:
        for monitor, data in zip(monitors, minus):
            sim.load_minus_flux_data(monitor, data)
    sim.run(until_after_sources=10 if minus is None else 100)
    return sim, monitors


sim, monitors = run([])
incident = np.asarray(mp.get_fluxes(monitors[0])) / (2 * flux) ** 2
data = [sim.get_flux_data(m) for m in monitors]
freqs = np.asarray(mp.get_flux_freqs(monitors[0]))
sim.reset_meep()
sim, monitors = run([mp.Sphere(material=mp.Medium(index=index), center=mp.Vector3(),
                               radius=r)], data)
f = [np.asarray(mp.get_fluxes(m)) for m in monitors]
# outward through the six faces (each face's flux is along +axis)
scattered = -f[0] + f[1] - f[2] + f[3] - f[4] + f[5]
q = np.abs(scattered / incident) / (math.pi * r ** 2)
print("result", json.dumps({{"x": (2 * math.pi * r * freqs).tolist(), "Qsca": q.tolist(),
                             "cpu": time.process_time() - start}}))
"""


def mie(x, index: float):
    """Q_sca of the sphere at size parameters ``x`` (miepython)."""
    import miepython
    import numpy as np

    q = miepython.efficiencies_mx(index, np.asarray(x, dtype=float))
    return np.asarray(q[1] if isinstance(q, tuple) else q)


def measure(argv: list) -> dict:
    done = subprocess.run(argv, capture_output=True, text=True, timeout=7200)
    if done.returncode != 0:
        raise RuntimeError(f"{argv[0]} failed:\n{done.stderr[-2000:]}")
    line = next(line for line in done.stdout.splitlines() if line.startswith("result "))
    return json.loads(line[len("result "):])


def main(argv=None) -> int:
    import numpy as np

    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--resolutions", type=int, nargs="+", default=[10, 20, 30])
    parser.add_argument("--index", type=float, default=1.5)
    parser.add_argument("--count", type=int, default=12)
    parser.add_argument("--meep-python", default="/usr/bin/python3")
    parser.add_argument("--meep-symmetries", action="store_true")
    parser.add_argument("--meep-pml", type=float, default=1.0,
                        help="Meep's PML thickness in length units (default 1.0)")
    parser.add_argument("--only", choices=("orvane", "meep"))
    args = parser.parse_args(argv)
    programs = {}
    if args.only != "meep":
        programs["Orvane"] = lambda res: [sys.executable, "-c", ORVANE.format(
            root=str(ROOT), low=X_LOW, high=X_HIGH), str(res), str(args.index), str(args.count)]
    if args.only != "orvane":
        python = args.meep_python
        if python and shutil.which(python) and subprocess.run(
                [python, "-c", "import meep"], capture_output=True).returncode == 0:
            programs["Meep"] = lambda res: [python, "-c", MEEP.format(
                radius=RADIUS, low=X_LOW, high=X_HIGH), str(res), str(args.index),
                str(args.count), "1" if args.meep_symmetries else "0", str(args.meep_pml)]
        else:
            print(f"Meep: not found ({python} cannot import meep; install: apt-get install "
                  f"python3-meep)")
    print(f"sphere r = {RADIUS}, n = {args.index}, {args.count} size parameters "
          f"{X_LOW}..{X_HIGH}; one process, one thread each")
    print(f"{'program':8s} {'cells/unit':>10s} {'max error':>10s} {'mean error':>11s} "
          f"{'CPU s':>8s}")
    for name, command in programs.items():
        for res in args.resolutions:
            out = measure(command(res))
            error = np.abs(np.asarray(out["Qsca"]) / mie(out["x"], args.index) - 1)
            print(f"{name:8s} {res:10d} {100 * error.max():9.2f}% {100 * error.mean():10.2f}% "
                  f"{out['cpu']:8.1f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
