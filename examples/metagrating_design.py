"""Inverse design of a metagrating that sends normal incidence into its +1
diffraction order: the gradient of the order's power with respect to the
density, by the adjoint run, in a few dozen iterations. The run itself is
``orvane_sim.demos.metagrating``, which this calls; its source is the example
to read.

    python3 examples/metagrating_design.py [--quick] [--backend cuda]
"""
from _common import arguments

from orvane_sim.demos import metagrating

args = arguments(__doc__.split("\n")[0], "metagrating.png")
metagrating.main(["--backend", args.backend, "--out", args.out,
                  *(["--resolution", "12", "--iterations", "2"] if args.quick else [])])
