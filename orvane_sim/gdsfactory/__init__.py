"""gdsfactory in, S-parameters out: a component and its layer stack become
a ``Simulation`` with a mode port on each optical port, and one run gives
the dictionary of S-parameters that gdsfactory's solver plugins return.

    >>> import gdsfactory as gf
    >>> from orvane_sim.gdsfactory import write_sparameters
    >>> gf.gpdk.PDK.activate()
    >>> sp = write_sparameters(gf.components.mmi1x2(), resolution=20)
    >>> sp["o1@0,o2@0"]                   # complex, one per wavelength

Lengths are gdsfactory's micrometres and c = 1, so a wavelength λ µm is the
frequency 1/λ. Imports only the folders below it and gdsfactory, which is
optional: nothing else in the package needs it.
"""
from .component import ComponentSimulation, simulation
from .sparameters import sparameter_key, write_sparameters

__all__ = ["ComponentSimulation", "simulation", "sparameter_key", "write_sparameters"]
