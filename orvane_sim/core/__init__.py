"""The simulation: the box's fields, layers and coefficients
(``simulation``), the time step that advances them (``stepping``), its
filling with objects (``filling``) and the pulse it may start from
(``initial_field``); the dispersive medium the step runs through
(``medium``), Bloch-periodic boundaries (``periodic``), the CPU thread
choice (``threads``), checkpoints and the descriptions they compare
(``checkpoint``, ``descriptions``), the per-step values of the features
(``steptables``), blocks of steps captured as CUDA graphs (``capture``)
and what the build made (``build_info``).

Imports only itself, ``orvane_sim.geometry``, ``orvane_sim.materials`` and
``orvane_sim.grid`` (and ``orvane_sim._version``, ``orvane_sim._build_info``).
"""
from .checkpoint import CheckpointError
from .descriptions import recorded
from .initial_field import divergence, gaussian_pulse
from .medium import DispersiveMedium
from .periodic import BlochBoundary
from .simulation import Simulation, load_backend
from .stepping import NonFiniteFields
from .threads import ThreadTuner

__all__ = ["BlochBoundary", "CheckpointError", "DispersiveMedium", "NonFiniteFields", "Simulation",
           "ThreadTuner", "divergence", "gaussian_pulse", "load_backend", "recorded"]
