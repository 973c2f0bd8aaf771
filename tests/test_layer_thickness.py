"""Absorbing layers given in length units (``layer_thickness``): the same
faces as the cells they snap to, in every form ``layers`` takes, and the
same refusals."""
import logging

import pytest

from orvane_sim import Simulation

BOX = dict(size=(2.0, 1.0, 3.0), resolution=10)  # 20 x 10 x 30 cells of 0.1


@pytest.mark.parametrize("thickness, faces, snapped", [
    (0.4, ((4, 4), (4, 4), (4, 4)), False),
    ((0, 0, 0.6), ((0, 0), (0, 0), (6, 6)), False),
    (((0.2, 0.5), 0.3, (0, 1.0)), ((2, 5), (3, 3), (0, 10)), False),
    ((0.33, 0.26, 0), ((3, 3), (3, 3), (0, 0)), True),   # to the nearest cell, logged
])
def test_thickness_gives_the_faces_of_the_cells_it_snaps_to(caplog, thickness, faces, snapped):
    with caplog.at_level(logging.INFO, logger="orvane_sim.positions"):
        sim = Simulation(**BOX, layer_thickness=thickness)
    assert sim.faces == faces
    assert Simulation(**BOX, layers=faces).faces == faces
    assert ("layer_thickness: x = 0.33 snapped to 3 cells" in caplog.text) == snapped


@pytest.mark.parametrize("options, error, match", [
    (dict(layers=4, layer_thickness=0.4), ValueError, "not both"),
    (dict(layer_thickness=-0.1), ValueError, "0 or more"),
    (dict(layer_thickness=float("nan")), ValueError, "finite"),
    (dict(layer_thickness="0.4"), TypeError, "real number"),
    (dict(layer_thickness=(0.4, 0.4)), ValueError, "1 or 3 values"),
    (dict(layer_thickness=0.6), ValueError, "do not fit"),  # 6 + 6 cells along y's 10
])
def test_bad_thicknesses_are_refused_by_name(options, error, match):
    with pytest.raises(error, match=match):
        Simulation(**BOX, **options)
