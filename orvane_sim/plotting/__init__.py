"""Pictures, drawn with matplotlib (imported on use): the painted
permittivity on a plane of a simulation with its objects' outlines,
sources, monitors, ports and absorbing layers (``structure``), a
frequency monitor's field and a port's modes (``fields``), and the plane
and positions that both take (``planes``).

The simulation, the monitors and the ports draw themselves by calling down
into here (``Simulation.plot``, ``FrequencyMonitor.plot``,
``ModePort.plot_modes``), so this folder sits below them and reads the
features by what they hold (their nodes, planes, ranges and modes), never
importing them.

Imports only itself, ``orvane_sim.geometry``, ``orvane_sim.materials`` and
``orvane_sim.grid``.
"""
from .fields import plot_monitor, plot_port_modes
from .structure import painted_permittivity, plot_simulation

__all__ = ["painted_permittivity", "plot_monitor", "plot_port_modes", "plot_simulation"]
