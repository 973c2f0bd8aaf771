"""Backends as a test parameter.

Every numerical test runs on the CPU twin ``OrvaneCPU`` and, where a CUDA
device is present, on ``Orvane``; the CUDA cases are skipped, never failed,
on machines without one.

A build without a CUDA compiler installs a stand-in ``Orvane`` whose import
raises ImportError; tests that import it are skipped there, with its message.
Any other failure to import ``Orvane`` (a broken build) still fails.
"""
import importlib.util
import os
from dataclasses import dataclass
from types import ModuleType

import pytest
import torch

# pictures are drawn off screen, here and in the docs' blocks run from here
os.environ.setdefault("MPLBACKEND", "Agg")


@dataclass(frozen=True)
class Backend:
    name: str
    module: ModuleType
    device: torch.device

    def tensor(self, t: torch.Tensor) -> torch.Tensor:
        """Move a tensor built on the CPU to this backend's device."""
        return t.to(self.device)


def _cuda_present() -> bool:
    return torch.cuda.is_available()


def cuda_module_is_standin() -> bool:
    """Whether the Orvane on the path is the stand-in of a build without CUDA."""
    spec = importlib.util.find_spec("Orvane")
    return bool(spec and spec.origin and spec.origin.endswith(".py"))


def _skip_when_cuda_module_not_built(exc: ImportError) -> None:
    if exc.name == "Orvane" and cuda_module_is_standin():
        pytest.skip(f"Orvane not built: {exc}")


@pytest.hookimpl(wrapper=True)
def pytest_runtest_setup(item):
    try:
        return (yield)
    except ImportError as exc:
        _skip_when_cuda_module_not_built(exc)
        raise


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    try:
        return (yield)
    except ImportError as exc:
        _skip_when_cuda_module_not_built(exc)
        raise


def pytest_configure(config):
    config.addinivalue_line("markers", "needs_cuda: test needs a CUDA device")
    config.addinivalue_line("markers", "slow: a physics run of seconds to a minute "
                            "(deselect with -m 'not slow')")


def pytest_collection_modifyitems(config, items):
    if _cuda_present():
        return
    skip = pytest.mark.skip(reason="no CUDA device on this machine")
    for item in items:
        if "needs_cuda" in item.keywords:
            item.add_marker(skip)


def _make_backend(name: str) -> Backend:
    if name == "cpu":
        import OrvaneCPU

        return Backend("cpu", OrvaneCPU, torch.device("cpu"))
    import Orvane

    return Backend("cuda", Orvane, torch.device("cuda"))


@pytest.fixture(params=["cpu", pytest.param("cuda", marks=pytest.mark.needs_cuda)])
def backend(request) -> Backend:
    return _make_backend(request.param)
