"""The launch frame's index decoding and the layer slots, checked in C++."""
import subprocess
from pathlib import Path

import pytest
from torch.utils.cpp_extension import include_paths

ROOT = Path(__file__).resolve().parent.parent


def test_thread_to_cell_and_batch_decoding(tmp_path):
    exe = tmp_path / "frame_test"
    includes = [f"-I{p}" for p in [ROOT / "cuda" / "Orvane", *include_paths()]]
    build = subprocess.run(
        ["g++", "-std=c++17", "-O1", *includes, str(ROOT / "tests" / "frame_test.cpp"), "-o", str(exe)],
        capture_output=True, text=True)
    if build.returncode != 0:
        pytest.fail(build.stderr[-4000:])
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout
