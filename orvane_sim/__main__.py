"""The command-line demos (``orvane_sim.demos``), by name:

    python3 -m orvane_sim [slab] [...]   the main job: a slab's R and T against the Airy formula
    python3 -m orvane_sim pulse [...]    the pulse-absorption run
    python3 -m orvane_sim mie [...]      a sphere's scattering against Mie theory
    python3 -m orvane_sim coupler [...]  a directional coupler from GDS: S-parameters
    python3 -m orvane_sim design [...]   a metagrating optimised through its gradient
    python3 -m orvane_sim mmi [...]      gdsfactory's 1×2 splitter: S-parameters from its layout
    torchrun --nproc-per-node N -m orvane_sim [...]    the slab, split over N processes

Arguments that name no demo (``--help``, ``--version``) go to the slab's.
"""
import importlib
import sys

from .demos import DEMOS


def main(argv=None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    name = "slab"
    if argv and argv[0] in DEMOS:
        name, argv = argv[0], argv[1:]
    return importlib.import_module(f"{__package__}.demos.{DEMOS[name]}").main(argv)


if __name__ == "__main__":
    sys.exit(main())
