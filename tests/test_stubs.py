"""The type stubs of both modules: they list the modules' functions with the
right arity, and a type checker accepts correct calls and rejects keyword
arguments, wrong counts and wrong types."""
import ast
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

STUBS = Path(__file__).resolve().parent.parent / "stubs"


def stub_functions(module: str) -> dict:
    tree = ast.parse((STUBS / f"{module}-stubs" / "__init__.pyi").read_text())
    return {f.name: f for f in tree.body if isinstance(f, ast.FunctionDef)}


def test_both_stubs_are_the_same_table():
    a, b = (stub_functions(m) for m in ("Orvane", "OrvaneCPU"))
    assert list(a) == list(b)
    for name in a:
        assert ast.dump(a[name]) == ast.dump(b[name]), name


def test_stubs_list_every_function_with_its_arity_and_positional_only():
    import OrvaneCPU

    functions = stub_functions("OrvaneCPU")
    assert list(functions) == [n for n in vars(OrvaneCPU) if not n.startswith("_")]
    for name, f in functions.items():
        # pybind11's signature line: "Name(arg0: torch.Tensor, ...) -> ..."
        shown = getattr(OrvaneCPU, name).__doc__.splitlines()[0]
        count = len(re.findall(r"arg\d+:", shown))
        assert len(f.args.posonlyargs) == count and not f.args.args, name
        kinds = re.findall(r"arg\d+: ([\w.]+)", shown)
        stub_kinds = [a.annotation.id for a in f.args.posonlyargs]
        names = {"torch.Tensor": "Tensor", "typing.SupportsInt": "int"}
        assert stub_kinds == [names.get(k, k) for k in kinds], name


GOOD = """\
import torch
import OrvaneCPU

t = torch.zeros(3)
r: torch.Tensor = OrvaneCPU.get_id_range(t, t)
OrvaneCPU.Update_E_Periodic(t, t, t, t, t, t, True)
OrvaneCPU.Inject_E(t, t, t, t, t, t, t, t, 4)
x, y, z = OrvaneCPU.Set_weight_subcell(t, t, t, t, t, t, t, t, 1, t, t, t, t, 2)
"""
BAD = """\
import torch
import OrvaneCPU

t = torch.zeros(3)
OrvaneCPU.get_id_range(bounds=t, coords=t)
OrvaneCPU.Update_E_Periodic(t, t, t, t, t, t)
OrvaneCPU.Inject_E(t, t, t, t, t, t, t, 2, 4)
"""


@pytest.mark.slow
def test_type_checker_accepts_calls_and_rejects_keywords_counts_and_types(tmp_path):
    pytest.importorskip("mypy")
    shutil.copy(STUBS / "OrvaneCPU-stubs" / "__init__.pyi", tmp_path / "OrvaneCPU.pyi")
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    run = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--hide-error-context",
                          "--no-error-summary", "good.py", "bad.py"], cwd=tmp_path,
                         capture_output=True, text=True, env={"MYPYPATH": str(tmp_path),
                                                              "PATH": "/usr/bin:/bin"})
    lines = run.stdout.splitlines()
    assert not [line for line in lines if line.startswith("good.py")], run.stdout
    bad = {int(line.split(":")[1]) for line in lines if line.startswith("bad.py")}
    assert bad == {5, 6, 7}, run.stdout
