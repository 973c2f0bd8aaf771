"""The module boundary: which functions exist, how they are called."""
import pytest
import torch

# The function table, in registration order; a module holds the ones built so far.
TABLE = [
    "Update_E_Dispersion", "Update_H", "Update_E", "Update_E_Periodic", "Inject_H", "Inject_E",
    "Inject_J", "get_id_range", "Mat_average", "Set_weight_mat_id", "Set_ER_average",
    "Set_weight_subcell", "Monitor_Update_E", "Trilinear_interpolation",
    "Trilinear_reverse_interpolation",
]
DOCSTRINGS = {name: name for name in TABLE} | {"Mat_average": "Average sampling for index"}
BUILT = {  # name: number of tensor arguments
    "Update_H": 20, "Update_E": 26, "Update_E_Periodic": 6, "Inject_H": 8, "Inject_E": 8,
    "Inject_J": 7, "Monitor_Update_E": 10,
}
# Arguments after the tensors: their names in the signature and a valid value.
TAIL = {"Update_E_Periodic": ("bool", True), "Inject_H": ("int", 1), "Inject_E": ("int", 1)}


@pytest.fixture(params=["Orvane", "OrvaneCPU"])
def module(request):
    return __import__(request.param)


def test_functions_are_registered_in_table_order_and_nothing_else(module):
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == [n for n in TABLE if n in names]
    assert set(BUILT) <= set(names)
    assert module.__doc__ is None


@pytest.mark.parametrize("name, tensors", BUILT.items())
def test_docstring_and_signature(module, name, tensors):
    doc = getattr(module, name).__doc__
    assert DOCSTRINGS[name] in doc
    signature = doc.splitlines()[0]
    assert signature.count("torch.Tensor") == tensors and signature.endswith("-> None")
    if name in TAIL:
        assert signature.split(", ")[-1].split(")")[0].lower().endswith(TAIL[name][0])


@pytest.mark.parametrize("name, tensors", BUILT.items())
def test_wrong_count_type_or_keyword_is_a_type_error(module, name, tensors):
    function = getattr(module, name)
    t = torch.zeros(1)
    tail = [TAIL[name][1]] if name in TAIL else []
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(*[t] * (tensors - 1), *tail)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(3, *[t] * (tensors - 1), *tail)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(*[t] * (tensors - 1), *tail, spare=t)
    with pytest.raises(TypeError, match="Invoked with"):
        function(*[t] * (tensors + 1), *tail)


def test_modules_import_from_anywhere(tmp_path):
    import subprocess
    import sys

    run = subprocess.run([sys.executable, "-c", "import Orvane, OrvaneCPU"], cwd=tmp_path,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
