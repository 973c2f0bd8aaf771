"""The smallest reproducers of a crash in the modules' host code. Each
command runs in a process of its own (tools/gpu_check.sh runs them first,
under a handler that prints the native stack of a crash; the tests run them
on the CPU):

    load_probe.py modules MODULE [MODULE ...]
        import the MODULEs (Orvane, OrvaneCPU) in that order, then on each:
        paint one object (on its device: Orvane needs a CUDA device, and
        says so where there is none) and have get_id_range refuse a box
        turned inside out
    load_probe.py format [MODULE ...]
        import the MODULEs, then build a module of one C++ function that
        formats a double into an ostringstream and throws it, built with the
        modules' own flags, and call it

Each prints one line per step and exits 0 when every step did what it
should, 1 when one did not; a crash ends the process with its signal.
"""
from __future__ import annotations

import importlib
import importlib.util
import pathlib
import subprocess
import sys
import sysconfig

import torch

ROOT = pathlib.Path(__file__).resolve().parent.parent
BACKENDS = {"Orvane": "cuda", "OrvaneCPU": "cpu"}


def step(text: str) -> None:
    print(text, flush=True)  # flushed, so that a crash shows how far it got


def paint(name: str) -> bool:
    from orvane_sim import Dielectric, Object, Simulation, Sphere

    backend = BACKENDS[name]
    if backend == "cuda" and not torch.cuda.is_available():
        step(f"{name}: no CUDA device, painting skipped")
        return True
    sim = Simulation((12, 12, 12), layers=2, backend=backend,
                     objects=[Object(Sphere((6, 6, 6), 3), Dielectric(4.0))])
    step(f"{name}: painted, mean permittivity {float(sim.permittivity()[0].mean()):.6f}")
    return True


def refuse_range(name: str) -> bool:
    module = sys.modules[name]
    coords = torch.arange(11, dtype=torch.float32)
    try:
        module.get_id_range(torch.tensor([6.5, 2.5], dtype=torch.float64), coords)
    except RuntimeError as e:
        step(f"{name}: get_id_range refused: {e}")
        return "6.5" in str(e)
    step(f"{name}: get_id_range accepted a box turned inside out")
    return False


def modules(*names: str) -> int:
    unknown = [n for n in names if n not in BACKENDS]
    if not names or unknown:
        print(f"modules: name Orvane and/or OrvaneCPU, got {' '.join(names) or 'none'}",
              file=sys.stderr)
        return 2
    for name in names:
        importlib.import_module(name)
        step(f"imported {name}")
    ok = True
    for name in names:
        ok &= paint(name)
        ok &= refuse_range(name)
    return 0 if ok else 1


FORMAT_SOURCE = r"""
#include <pybind11/pybind11.h>
#include <sstream>
#include <stdexcept>

static void refuse(double value) {
  std::ostringstream message;
  message << "refused: the bound " << value << " lies above";
  throw std::runtime_error(message.str());
}

PYBIND11_MODULE(format_probe, m) { m.def("refuse", &refuse); }
"""


def build_format_probe(out: pathlib.Path) -> pathlib.Path:
    """format_probe, built (once per source and flags) with the host compiler
    and the flags the modules are built with."""
    from torch.utils.cpp_extension import include_paths

    spec = importlib.util.spec_from_file_location("orvane_setup", ROOT / "setup.py")
    build = importlib.util.module_from_spec(spec)  # the modules' flags, where they are set
    spec.loader.exec_module(build)

    out.mkdir(parents=True, exist_ok=True)
    source = out / "format_probe.cpp"
    target = out / f"format_probe{sysconfig.get_config_var('EXT_SUFFIX')}"
    command = ["c++", "-std=c++17", "-shared", "-fPIC", *build.CPU_FLAGS,
               f"-I{sysconfig.get_paths()['include']}", *(f"-I{p}" for p in include_paths()),
               str(source), "-o", str(target)]
    stamp, wanted = out / "format_probe.command", FORMAT_SOURCE + " ".join(command)
    if not target.exists() or not stamp.exists() or stamp.read_text() != wanted:
        source.write_text(FORMAT_SOURCE)
        subprocess.run(command, check=True)
        stamp.write_text(wanted)
    return target


def format_(*names: str) -> int:
    for name in names:
        importlib.import_module(name)
        step(f"imported {name}")
    target = build_format_probe(ROOT / "build" / "load_probe")
    sys.path.insert(0, str(target.parent))
    import format_probe

    step("format_probe built and imported")
    try:
        format_probe.refuse(6.5)
    except RuntimeError as e:
        step(f"format_probe threw: {e}")
        return 0 if str(e) == "refused: the bound 6.5 lies above" else 1
    step("format_probe did not throw")
    return 1


if __name__ == "__main__":
    commands = {"modules": modules, "format": format_}
    if len(sys.argv) < 2 or sys.argv[1] not in commands:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(commands[sys.argv[1]](*sys.argv[2:]))
