"""The command-line demos, one module each, behind
``python3 -m orvane_sim <name>``: the slab against Airy (``slab``, the
default), the pulse absorbed by the layers (``pulse``), the sphere against
Mie (``mie``), the directional coupler's S-parameters (``coupler``), the
metagrating designed by its gradient (``design``: ``metagrating``) and
gdsfactory's 1×2 splitter from its layout (``mmi``).

The top of the house: may import every folder of the package.
"""

# command name -> module of this folder; each has main(argv) -> exit status
DEMOS = {"slab": "slab", "pulse": "pulse", "mie": "mie", "coupler": "coupler",
         "design": "metagrating", "mmi": "mmi"}
