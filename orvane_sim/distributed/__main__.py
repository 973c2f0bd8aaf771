"""``torchrun --nproc-per-node N -m orvane_sim.distributed``: the
pulse-absorption run split into slabs (``--help`` for its options)."""
import sys

from . import main

sys.exit(main())
