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
# name: (number of tensor arguments, the other arguments' types, return type)
BUILT = {
    "Update_E_Dispersion": (30, (), "None"),
    "Update_H": (20, (), "None"),
    "Update_E": (26, (), "None"),
    "Trilinear_interpolation": (7, ("bool",), "torch.Tensor"),
    "Trilinear_reverse_interpolation": (7, (), "torch.Tensor"),
}


@pytest.fixture(params=["Orvane", "OrvaneCPU"])
def module(request):
    return __import__(request.param)


def test_functions_are_registered_in_table_order_and_nothing_else(module):
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == [n for n in TABLE if n in names]
    assert set(BUILT) <= set(names)
    assert module.__doc__ is None


@pytest.mark.parametrize("name, signature", BUILT.items())
def test_docstring_and_signature(module, name, signature):
    tensors, others, returns = signature
    doc = getattr(module, name).__doc__
    assert DOCSTRINGS[name] in doc
    first = doc.splitlines()[0]
    types = ["torch.Tensor"] * tensors + list(others)
    params = ", ".join(f"arg{n}: {t}" for n, t in enumerate(types))
    assert first == f"{name}({params}) -> {returns}"


@pytest.mark.parametrize("name, tensors", [(n, s[0]) for n, s in BUILT.items()])
def test_wrong_count_type_or_keyword_is_a_type_error(module, name, tensors):
    tensors += len(BUILT[name][1])  # a one-element tensor converts to bool: count those too
    function = getattr(module, name)
    t = torch.zeros(1)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(*[t] * (tensors - 1))
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(3, *[t] * (tensors - 1))  # an int where a tensor belongs
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
