"""One box split into slabs over the ranks of a torch.distributed group:
the slab simulation (``slabs``), the halo exchange between neighbouring
slabs (``exchange``), and process groups with the pulse-absorption run
over local processes or under torchrun (``processes``;
``python3 -m orvane_sim.distributed``).

Imports only itself, ``orvane_sim.core`` and the folders below it.
"""
from .exchange import SlabBoundary, SlabExchange
from .processes import (init_group, main, pulse_run, single_pulse_run, spawn_pulse_run,
                        spawn_run)
from .slabs import SlabSimulation, slab_bounds

__all__ = ["SlabBoundary", "SlabExchange", "SlabSimulation", "init_group", "main", "pulse_run",
           "single_pulse_run", "slab_bounds", "spawn_pulse_run", "spawn_run"]
