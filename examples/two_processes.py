"""One box over two processes: a Gaussian pulse in a box with absorbing
layers, split into two slabs along x (torch.distributed, Gloo on this
machine), against the same run as one process.

    python3 examples/two_processes.py [--quick]

Under torchrun the same slabs run one per process or GPU:
``torchrun --nproc-per-node 2 -m orvane_sim.distributed``.
"""
import pathlib
import tempfile

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from _common import arguments, save  # noqa: E402
from orvane_sim.distributed import single_pulse_run, spawn_pulse_run  # noqa: E402

if __name__ == "__main__":  # the two processes import this file again
    args = arguments(__doc__.split("\n")[0], "two_processes.png")
    n, layers, steps = (16, 4, 30) if args.quick else (48, 8, 150)
    with tempfile.TemporaryDirectory() as tmp:
        fields, energies, _ = spawn_pulse_run(2, str(pathlib.Path(tmp) / "out.pt"), n=n,
                                              layers=layers, steps=steps, axis=0)
    ref, ref_energies = single_pulse_run(n, layers, steps)
    worst = max(float((a - b).abs().max()) for a, b in zip(fields, ref))
    scale = max(float(f.abs().max()) for f in ref)
    print(f"{n}^3 cells, {layers}-cell layers, {steps} steps over 2 processes: largest field "
          f"difference from one process {worst:.1e} (field scale {scale:.1e}); energy left "
          f"{energies[-1] / max(energies):.2e} of its peak")
    fig, ax = plt.subplots(figsize=(6, 3.5))
    ax.semilogy(ref_energies, "k-", lw=1, label="one process")
    ax.semilogy(energies, "o", ms=3, label="two processes")
    ax.set(xlabel="step", ylabel="field energy")
    ax.legend()
    save(fig, args.out)
