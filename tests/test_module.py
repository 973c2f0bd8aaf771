"""The module boundary: which functions exist, how they are called, what
each module exports."""
import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest
import torch

ROOT = pathlib.Path(__file__).resolve().parent.parent

T, INT, BOOL = "torch.Tensor", "int", "bool"
# The function table in registration order: name, argument types, return type.
TABLE = {
    "Update_E_Dispersion": ([T] * 30, "None"),
    "Update_H": ([T] * 20, "None"),
    "Update_E": ([T] * 26, "None"),
    "Update_E_Periodic": ([T] * 6 + [BOOL], "None"),
    "Inject_H": ([T] * 8 + [INT], "None"),
    "Inject_E": ([T] * 8 + [INT], "None"),
    "Inject_J": ([T] * 7, "None"),
    "get_id_range": ([T] * 2, T),
    "Mat_average": ([T] * 7, f"tuple[{T}, {T}, {T}, {T}]"),
    "Set_weight_mat_id": ([T] * 7 + [INT] + [T] * 3, "None"),
    "Set_ER_average": ([T] * 5, "None"),
    "Set_weight_subcell": ([T] * 8 + [INT] + [T] * 4 + [INT], f"tuple[{T}, {T}, {T}]"),
    "Monitor_Update_E": ([T] * 10, "None"),
    "Trilinear_interpolation": ([T] * 7 + [BOOL], T),
    "Trilinear_reverse_interpolation": ([T] * 7, T),
    # the addition beside the fifteen
    "Update_E_Anisotropic": ([T] * 12, "None"),
}
DOCSTRINGS = {name: name for name in TABLE} | {"Mat_average": "Average sampling for index"}
# How the binding layer spells the types (it writes int as typing.SupportsInt
# and the tuple as tuple or Tuple, by version).
SPELLINGS = {T: (T,), INT: ("int", "typing.SupportsInt"), BOOL: ("bool",)}


@pytest.fixture(params=["Orvane", "OrvaneCPU"])
def module(request):
    return __import__(request.param)


def test_the_fifteen_functions_and_the_addition_are_registered_in_table_order_alone(module):
    assert [n for n in vars(module) if not n.startswith("__")] == list(TABLE)
    assert module.__doc__ is None


@pytest.mark.parametrize("name", TABLE)
def test_docstring_and_signature(module, name):
    types, returns = TABLE[name]
    doc = getattr(module, name).__doc__
    assert DOCSTRINGS[name] in doc
    arguments, shown_returns = doc.splitlines()[0].split(" -> ")
    assert arguments.startswith(name + "(") and arguments.endswith(")")
    params = arguments[len(name) + 1:-1].split(", arg")
    assert len(params) == len(types)
    for n, (param, expected) in enumerate(zip(params, types)):
        shown = param.split(": ", 1)[1]
        assert shown in SPELLINGS[expected], f"argument {n}: {shown}, expected {expected}"
    assert shown_returns.lower() == returns.lower()


def _valid_non_tensor(kind):
    return {INT: 1, BOOL: True}[kind]


@pytest.mark.parametrize("name", TABLE)
def test_wrong_count_type_or_keyword_is_a_type_error(module, name):
    function = getattr(module, name)
    types, _ = TABLE[name]
    t = torch.zeros(2)  # (a one-element tensor would convert to an int or a bool)
    args = [t if kind == T else _valid_non_tensor(kind) for kind in types]
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(*args[:-1])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(3, *args[1:])  # an int where a tensor belongs
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(*args[:-1], spare=args[-1])
    with pytest.raises(TypeError, match="Invoked with"):
        function(*args, t)


def test_modules_import_from_anywhere(tmp_path):
    from conftest import cuda_module_is_standin

    modules = "OrvaneCPU" if cuda_module_is_standin() else "Orvane, OrvaneCPU"
    run = subprocess.run([sys.executable, "-c", f"import {modules}"], cwd=tmp_path,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


def _built(name):
    """The built module's file; skips where Orvane is the stand-in of a build
    without a CUDA compiler."""
    spec = importlib.util.find_spec(name)
    if spec is None or not spec.origin.endswith(".so"):
        pytest.skip(f"{name} is not built here")
    return spec.origin


@pytest.mark.parametrize("name", ["Orvane", "OrvaneCPU"])
def test_a_module_exports_its_entry_point_alone(name):
    """Both modules are built from one source tree: anything of ours left
    exported (a function, an inline function's static) would be bound to the
    other module's copy when both are loaded in one process."""
    table = subprocess.run(["readelf", "--dyn-syms", "-W", _built(name)], capture_output=True,
                           text=True, check=True).stdout
    defined = [line.split() for line in table.splitlines()
               if re.match(r"\s*\d+:", line) and len(line.split()) >= 8
               and line.split()[6] != "UND"]
    names = subprocess.run(["c++filt"], input="\n".join(row[7] for row in defined),
                           capture_output=True, text=True, check=True).stdout.splitlines()
    ours = {n for n in names if "orvane" in n.lower()}
    assert ours == {f"PyInit_{name}"}
    assert not [n for row, n in zip(defined, names) if row[4] == "UNIQUE" and "orvane" in n.lower()]


def test_the_cuda_module_finds_its_runtime_without_the_loader_cache():
    """`import Orvane` alone must not depend on the toolkit's libraries being
    registered with the dynamic loader: its run path names where the CUDA
    runtime it needs lies."""
    dynamic = subprocess.run(["readelf", "-d", _built("Orvane")], capture_output=True, text=True,
                             check=True).stdout
    runtime = re.search(r"NEEDED.*\[(libcudart[^\]]*)\]", dynamic).group(1)
    paths = re.search(r"R(?:UN)?PATH.*\[([^\]]*)\]", dynamic).group(1).split(":")
    assert any((pathlib.Path(p) / runtime).exists() for p in paths), (runtime, paths)


@pytest.mark.parametrize("order", [("OrvaneCPU",), ("Orvane", "OrvaneCPU"), ("OrvaneCPU", "Orvane")])
def test_both_modules_in_one_process_keep_their_own_code(order):
    for name in order:
        _built(name)
    run = subprocess.run([sys.executable, str(ROOT / "tools/load_probe.py"), "modules", *order],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "OrvaneCPU: painted" in run.stdout
    assert run.stdout.count("get_id_range refused: get_id_range: the box's lower bound 6.5") == len(order)
