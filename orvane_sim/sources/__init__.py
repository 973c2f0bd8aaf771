"""Sources: waveforms and what every source shares (``waveforms``), plane
waves entering across a plane (``plane_wave``) with the one-dimensional
line that gives their incident field (``incident``; across unequal cells
``graded_line``), total-field boxes lit
from any side (``tfsf``) and boxes of current (``currents``).

Imports only itself, ``orvane_sim.monitors``, ``orvane_sim.distributed``
and the folders below them.
"""
from .currents import CurrentBox
from .incident import IncidentLine, LineSpectra
from .plane_wave import PlaneWave
from .tfsf import TotalFieldBox
from .waveforms import Waveform, gaussian, slot_factor

__all__ = ["CurrentBox", "IncidentLine", "LineSpectra", "PlaneWave", "TotalFieldBox", "Waveform",
           "gaussian", "slot_factor"]
