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
    # a cube of side 1.6 (4.8) at 10 cells per unit, layers 0.4 (0.8) thick, a pulse 0.3 wide
    size, thickness, steps = (1.6, 0.4, 30) if args.quick else (4.8, 0.8, 150)
    box = dict(size=size, resolution=10, layer_thickness=thickness, width=0.3, steps=steps)
    with tempfile.TemporaryDirectory() as tmp:
        fields, energies, _ = spawn_pulse_run(2, str(pathlib.Path(tmp) / "out.pt"), axis=0,
                                              **box)
    ref, ref_energies = single_pulse_run(**box)
    worst = max(float((a - b).abs().max()) for a, b in zip(fields, ref))
    scale = max(float(f.abs().max()) for f in ref)
    print(f"a cube of side {size} ({ref[3].shape[2]}^3 cells), layers {thickness} thick, "
          f"{steps} steps over 2 processes: largest field difference from one process "
          f"{worst:.1e} (field scale {scale:.1e}); energy left "
          f"{energies[-1] / max(energies):.2e} of its peak")
    fig, ax = plt.subplots(figsize=(6, 3.5))
    ax.semilogy(ref_energies, "k-", lw=1, label="one process")
    ax.semilogy(energies, "o", ms=3, label="two processes")
    ax.set(xlabel="step", ylabel="field energy")
    ax.legend()
    save(fig, args.out)
