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
BUILT = {"Update_H": 20, "Update_E": 26,  # name: number of tensor arguments
         "get_id_range": 2, "Mat_average": 7, "Set_weight_mat_id": 10, "Set_ER_average": 5,
         "Set_weight_subcell": 12}
# What the functions that return something return, as the signature shows it
# (the binding layer spells the tuple `tuple` or `Tuple`, by version).
_T = "torch.Tensor"
RETURNS = {"get_id_range": _T, "Mat_average": f"tuple[{_T}, {_T}, {_T}, {_T}]",
           "Set_weight_subcell": f"tuple[{_T}, {_T}, {_T}]"}


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
    arguments, returns = signature.split(" -> ")
    assert arguments.count("torch.Tensor") == tensors
    assert returns.lower() == RETURNS.get(name, "None").lower()


@pytest.mark.parametrize("name, tensors", BUILT.items())
def test_wrong_count_type_or_keyword_is_a_type_error(module, name, tensors):
    function = getattr(module, name)
    t = torch.zeros(2)  # (a one-element tensor would pass for an int)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(*[t] * (tensors - 1))
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(*[t] * (tensors - 1), 3)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(*[t] * (tensors - 1), spare=t)
    with pytest.raises(TypeError, match="Invoked with"):
        function(*[t] * (tensors + 1))


def test_modules_import_from_anywhere(tmp_path):
    import subprocess
    import sys

    run = subprocess.run([sys.executable, "-c", "import Orvane, OrvaneCPU"], cwd=tmp_path,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
