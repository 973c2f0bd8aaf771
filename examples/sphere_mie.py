"""A dielectric sphere in open space: scattering efficiency from a
total-field box and the far-field projection, against Mie theory
(miepython). The run itself is ``orvane_sim.demos.mie``, which this calls;
its source is the example to read.

    python3 examples/sphere_mie.py [--quick] [--backend cuda] [--lossy]
"""
from _common import arguments

from orvane_sim.demos import mie

args = arguments(__doc__.split("\n")[0], "sphere_mie.png",
                 lambda p: p.add_argument("--lossy", action="store_true",
                                          help="a lossy Lorentz sphere instead"))
mie.main(["--backend", args.backend, "--out", args.out,
          "--resolutions", *(["10"] if args.quick else ["20", "40"]),
          *(["--lossy"] if args.lossy else [])])
