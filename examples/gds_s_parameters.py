"""A directional coupler drawn as a GDS layout and imported as prisms:
its four-port S-parameters, written as a Touchstone file, against the
coupled-mode picture. The run itself is ``orvane_sim.demos.coupler``, which
this calls; its source is the example to read.

    python3 examples/gds_s_parameters.py [--quick] [--backend cuda]
"""
import pathlib

from _common import arguments

from orvane_sim.demos import coupler

args = arguments(__doc__.split("\n")[0], "coupler.png")
coupler.main(["--backend", args.backend, "--out", str(pathlib.Path(args.out).with_suffix("")),
              "--resolutions", *(["10"] if args.quick else ["20", "30"]),
              *(["--length", "1.0"] if args.quick else [])])
