"""One box split into slabs over the ranks of a torch.distributed group:
the slab simulation, the halo exchange between neighbouring slabs, and
the pulse-absorption run over local processes or under torchrun
(``python3 -m orvane_sim.distributed``).

Imports only itself, ``orvane_sim.core`` and the folders below it.
"""
from .slabs import (SlabBoundary, SlabExchange, SlabSimulation, init_group, main, pulse_run,
                    single_pulse_run, slab_bounds, spawn_pulse_run, spawn_run)

__all__ = ["SlabBoundary", "SlabExchange", "SlabSimulation", "init_group", "main", "pulse_run",
           "single_pulse_run", "slab_bounds", "spawn_pulse_run", "spawn_run"]
