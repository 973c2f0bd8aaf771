"""The comparisons of tools/gpu_check.sh, one per subcommand:

    gpu_compare.py slab CPU.csv GPU.csv   the slab demo's R and T on two backends
    gpu_compare.py mie BACKEND            the sphere's efficiencies on BACKEND and the CPU

Each exits non-zero when the backends differ by more than the float32
arithmetic of the two builds allows.
"""
from __future__ import annotations

import csv
import sys


def slab(cpu_path: str, gpu_path: str) -> int:
    cpu, gpu = ([row for row in csv.DictReader(open(p))] for p in (cpu_path, gpu_path))
    if not len(cpu) == len(gpu) > 0:
        print("the two runs differ in length")
        return 1
    worst = max(abs(float(a[k]) - float(b[k])) for a, b in zip(cpu, gpu) for k in ("R", "T"))
    print(f"largest difference of R and T between the two backends: {worst:.2e}")
    return 0 if worst < 1e-4 else 1


def mie(backend: str) -> int:
    """The sphere on ``backend`` against the same run on the CPU (which CI
    checks against Mie), and against Mie itself where miepython is here."""
    from orvane_sim.demos import mie as sphere

    run, cpu = (sphere.sphere_run(20, backend=b, count=11, progress=False)
                for b in (backend, "cpu"))
    worst = max((run[n] / cpu[n] - 1).abs().max().item() for n in ("Qsca", "Pfar"))
    print(f"largest relative difference of Q_sca and the far-field power: {worst:.2e}")
    try:
        ref = sphere.reference(run["x"])
        print(f"Q_sca on {backend} against Mie: "
              f"{sphere.relative_error(run, ref, 'Qsca').abs().max():.2%}")
    except ImportError:
        print("(miepython not installed here: the check against Mie runs in CI)")
    return 0 if worst < 1e-4 else 1


if __name__ == "__main__":
    commands = {"slab": slab, "mie": mie}
    if len(sys.argv) < 2 or sys.argv[1] not in commands:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(commands[sys.argv[1]](*sys.argv[2:]))
