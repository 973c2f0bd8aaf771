"""What the GPU kernels cost before they run: per kernel (and per
instantiation), its SASS instructions, integer multiply-adds, global loads
(and how many of them take the read-only data path) and stores,
local-memory accesses, registers and spill bytes, read from the built
module's machine code.

    python3 bench/kernel_static.py [--arch sm_90] [--module PATH]

    python3 bench/kernel_static.py --check-tools

It needs ``cuobjdump`` and the ``nvdisasm`` it runs for the SASS listing
(each on PATH, in the CUDA toolkit, or from its PyPI package:
nvidia-cuda-cuobjdump, nvidia-cuda-nvdisasm) and ``c++filt``; no GPU. NOPs
are not counted. ``--check-tools`` says where the two are and exits non-zero
when one is missing (set-up asks it before installing them).
"""
from __future__ import annotations

import argparse
import collections
import os
import pathlib
import re
import shutil
import subprocess
import sys


# The disassembler cuobjdump runs for -sass, and cuobjdump itself.
TOOLS = ("cuobjdump", "nvdisasm")
PACKAGES = {"cuobjdump": "nvidia-cuda-cuobjdump", "nvdisasm": "nvidia-cuda-nvdisasm"}


def find_tool(name: str) -> str | None:
    """``name`` on PATH, in $CUDA_HOME/bin, or from its PyPI package; None
    where it is nowhere."""
    found = shutil.which(name)
    if found:
        return found
    places = [pathlib.Path(os.environ.get("CUDA_HOME", "/usr/local/cuda")) / "bin"]
    try:
        import nvidia

        places += [pathlib.Path(p) / sub / "bin" for p in nvidia.__path__
                   for sub in ("cu13", "cuda_cuobjdump", "cuda_nvdisasm")]
    except ImportError:
        pass
    for place in places:
        if (place / name).is_file():
            return str(place / name)
    return None


def find_tools() -> dict:
    """{tool: path or None} for cuobjdump and nvdisasm."""
    return {name: find_tool(name) for name in TOOLS}


def missing(tools: dict) -> str:
    """What is missing of ``tools``, with the package that brings each: ""
    when nothing is."""
    return ", ".join(f"{name} (pip install {PACKAGES[name]})"
                     for name, path in tools.items() if path is None)


def default_module() -> str | None:
    """The Orvane built in place at the repository root, or the installed
    one; None where only the stand-in of a build without CUDA is here."""
    root = pathlib.Path(__file__).resolve().parent.parent
    built = sorted(root.glob("Orvane.*.so"))  # not OrvaneCPU
    if built:
        return str(built[0])
    import importlib.util

    spec = importlib.util.find_spec("Orvane")
    if spec is None or not spec.origin or not spec.origin.endswith(".so"):
        return None
    return spec.origin


def demangle(names) -> dict:
    out = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True,
                         check=True).stdout.splitlines()
    return dict(zip(names, out))


def short(demangled: str) -> str:
    """"E_boundx <0>" from "E_boundx(orvane::PeriodicPass<0>)": the kernel's
    name and the template arguments of its instantiation."""
    name, _, args = demangled.partition("(")
    name = name.removeprefix("void ")
    inner = re.sub(r"\borvane::", "", args.rstrip(")"))
    template = re.search(r"<(.*)>", inner)
    return name + (f" <{template.group(1)}>" if template and "<" not in name else "")


def table(module: str, arch: str, tools: dict) -> dict:
    """{kernel: Counter of opcodes, "instructions", "registers", "spill"}."""
    counts = sass_counts(tools, module, arch)
    usage = resources(tools, module, arch)
    names = demangle(sorted(counts))
    out = {}
    for mangled, c in counts.items():
        regs, stack, local = usage.get(mangled, (0, 0, 0))
        c["registers"], c["spill"] = regs, stack + local
        out[short(names[mangled])] = c
    return out


def by_function(tools: dict, option: str, module: str, arch: str, header: str):
    """(function, line) for each line of cuobjdump's ``option`` report that
    follows a ``header`` match naming a function. cuobjdump finds nvdisasm
    on PATH alone, so its folder goes first there for the call."""
    path = os.pathsep.join([str(pathlib.Path(tools["nvdisasm"]).parent), os.environ.get("PATH", "")])
    text = subprocess.run([tools["cuobjdump"], option, "-arch", arch, module],
                          capture_output=True, text=True, check=True,
                          env={**os.environ, "PATH": path}).stdout
    current = None
    for line in text.splitlines():
        head = re.match(header, line)
        if head:
            current = head.group(1)
        elif current is not None:
            yield current, line


def sass_counts(tools: dict, module: str, arch: str) -> dict:
    counts = {}
    for function, line in by_function(tools, "-sass", module, arch, r"\s+Function : (\S+)"):
        c = counts.setdefault(function, collections.Counter())
        op = re.match(r"\s+/\*[0-9a-f]{4}\*/\s+(?:@!?U?P\w+\s+)?([A-Z][A-Z0-9_.]*)", line)
        if not op or op.group(1) == "NOP":
            continue
        opcode = op.group(1)
        c["instructions"] += 1
        base = opcode.split(".")[0]
        c[base] += 1
        if base == "LDG" and ".CONSTANT" in opcode:  # the read-only data path
            c["LDG read-only"] += 1
    return counts


def resources(tools: dict, module: str, arch: str) -> dict:
    out = {}
    for function, line in by_function(tools, "-res-usage", module, arch, r"\s*Function (\S+):"):
        use = re.search(r"REG:(\d+) STACK:(\d+) SHARED:\d+ LOCAL:(\d+)", line)
        if use:
            out[function] = tuple(int(v) for v in use.groups())
    return out


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--arch", default="sm_90")
    ap.add_argument("--module", default=None, help="the Orvane .so (default: the one built)")
    ap.add_argument("--check-tools", action="store_true",
                    help="say where cuobjdump and nvdisasm are; exit 1 if one is missing")
    args = ap.parse_args()
    tools = find_tools()
    if args.check_tools:
        for name, path in tools.items():
            print(f"{name}: {path or 'not found'}")
        return 1 if missing(tools) else 0
    module = args.module or default_module()
    if module is None:
        sys.exit("no built Orvane module here: build it first (make setup)")
    if missing(tools):
        sys.exit(f"not found: {missing(tools)}, or put the CUDA toolkit's bin on PATH")
    kernels = table(module, args.arch, tools)
    if not kernels:
        sys.exit(f"no {args.arch} machine code in {module}")
    print(f"{module}, {args.arch}")
    print(f"{'kernel':40s} {'instr':>6s} {'IMAD':>5s} {'LDG':>4s} {'(ro)':>4s} {'STG':>4s} "
          f"{'local':>5s} {'regs':>4s} {'spill':>5s}")
    for name in sorted(kernels):
        c = kernels[name]
        print(f"{name[:40]:40s} {c['instructions']:6d} {c['IMAD']:5d} {c['LDG']:4d} "
              f"{c['LDG read-only']:4d} {c['STG']:4d} {c['LDL'] + c['STL']:5d} "
              f"{c['registers']:4d} {c['spill']:5d}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
