"""Backends as a test parameter.

Every numerical test runs on the CPU twin ``OrvaneCPU`` and, where a CUDA
device is present, on ``Orvane``; the CUDA cases are skipped, never failed,
on machines without one.
"""
from dataclasses import dataclass
from types import ModuleType

import pytest
import torch


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
