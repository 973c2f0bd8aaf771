"""What this installation is: the package version and what its build made.

The build writes orvane_sim/_build_info.py (setup.py); a tree whose modules
were never built has no such record and says so.
"""
from __future__ import annotations

import argparse

from .._version import __version__


def load_record() -> dict | None:
    """The build's record, or None where nothing was built from this tree."""
    try:
        from .._build_info import BUILD
    except ImportError:
        return None
    return BUILD


def cuda_module_built(record: dict | None = None) -> bool:
    """Whether the build made the CUDA module (False without a record)."""
    record = load_record() if record is None else record
    return bool(record and record["modules"]["Orvane"]["built"])


def _flags(flags) -> str:
    return " ".join(flags) if flags else "none"


def describe(record: dict | None = None) -> str:
    """Lines for ``--version``: version, PyTorch, then one line per module."""
    record = load_record() if record is None else record
    if record is None:
        return (f"orvane {__version__}\n"
                "no build record: Orvane and OrvaneCPU were not built from this tree")
    head = f"orvane {__version__}"
    if record["version"] != __version__:
        head += f" (modules built from {record['version']})"
    lines = [f"{head}, built against torch {record['torch']}"]
    gpu, cpu = record["modules"]["Orvane"], record["modules"]["OrvaneCPU"]
    if gpu["built"]:
        lines.append(f"Orvane:    CUDA {gpu['cuda']}, device code {', '.join(gpu['architectures'])}; "
                     f"numerics flags: {_flags(gpu['numerics'])}")
    else:
        lines.append(f"Orvane:    not built: {gpu['reason']}")
    lines.append(f"OrvaneCPU: {cpu['compiler']}; numerics flags: {_flags(cpu['numerics'])}")
    return "\n".join(lines)


class _Version(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        print(describe())
        parser.exit()


def add_version_option(parser: argparse.ArgumentParser) -> None:
    """``--version``: print describe() and exit (lines kept as they are)."""
    parser.add_argument("--version", action=_Version, nargs=0,
                        help="print the version and what was built, then exit")
