"""Building where the machine allows: the compiler lookup, the stand-in
Orvane, the build record and what --version makes of it.

The end-to-end install (a wheel built without a CUDA compiler, installed into
a fresh virtual environment) is tools/install_check.sh.
"""
import importlib.util
import os
import pathlib
import sys

import pytest

import orvane_sim
from orvane_sim.core import build_info
from orvane_sim.__main__ import main

ROOT = pathlib.Path(__file__).resolve().parent.parent
if not (ROOT / "setup.py").exists():
    pytest.skip("needs the source tree", allow_module_level=True)


@pytest.fixture(scope="module")
def build():
    """setup.py as a module (its setup() call runs only as a script)."""
    spec = importlib.util.spec_from_file_location("orvane_setup", ROOT / "setup.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _program(path: pathlib.Path, executable=True) -> pathlib.Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n")
    path.chmod(0o755 if executable else 0o644)
    return path


@pytest.mark.parametrize("layout, environ, found, reason", [
    ("none", {}, False, "no CUDA toolkit found"),
    ("empty", {}, False, "bin/nvcc does not exist"),
    ("plain file", {}, False, "bin/nvcc does not exist"),
    ("toolkit", {}, True, None),
    ("toolkit", {"ORVANE_CPU_ONLY": "1"}, False, "ORVANE_CPU_ONLY=1"),
    ("toolkit", {"PYTORCH_NVCC": "no-such-compiler-here --flag"}, False, "no-such-compiler-here"),
    ("empty", {"PYTORCH_NVCC": "sh"}, True, None),
])
def test_cuda_compiler_lookup(build, tmp_path, layout, environ, found, reason):
    home = None if layout == "none" else tmp_path / "cuda"
    if layout in ("empty", "toolkit", "plain file"):
        home.mkdir()
    if layout in ("toolkit", "plain file"):
        _program(home / "bin" / "nvcc", executable=layout == "toolkit")
    nvcc, why = build.find_cuda_compiler(str(home) if home else None, environ)
    assert (nvcc is not None) == found
    if found:
        assert why is None and os.access(nvcc, os.X_OK)
    else:
        assert reason in why


def test_architectures_are_named_from_the_gencode_flags(build):
    assert build.cuda_architectures() == ["sm_89", "sm_90", "compute_89 (PTX)"]
    assert "--use_fast_math" in build.NVCC_FLAGS and "-ffp-contract=off" in build.CPU_FLAGS


def test_a_quick_build_names_its_architectures(monkeypatch):
    monkeypatch.setenv("ORVANE_CUDA_ARCHS", "90, 100")
    spec = importlib.util.spec_from_file_location("orvane_setup_quick", ROOT / "setup.py")
    quick = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(quick)
    assert quick.cuda_architectures() == ["sm_90", "sm_100"]


@pytest.mark.slow
def test_gpu_check_dry_run(tmp_path):
    """What the GPU check does without a device: its plan, the probes,
    the CUDA tests collected and the demo's comparison, timed to $OUT."""
    import subprocess

    done = subprocess.run(["bash", str(ROOT / "tools/gpu_check.sh"), "--dry-run"],
                          env={**os.environ, "OUT": str(tmp_path), "PYTHON": sys.executable}, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.startswith("gpu_check: probe tests demo; budget")
    timings = (tmp_path / "timings.txt").read_text()
    assert all(f"-- {p}: " in timings for p in ("probe", "tests", "demo"))
    assert "failed: none" in timings and (tmp_path / "slab_cpu.csv").exists()


def test_version_is_set_once_and_read_by_the_build(build):
    tomllib = pytest.importorskip("tomllib")
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert "version" not in project["project"] and "version" in project["project"]["dynamic"]
    assert (project["tool"]["setuptools"]["dynamic"]["version"]["attr"]
            == "orvane_sim._version.__version__")
    assert build.read_version() == orvane_sim.__version__


def test_standin_import_says_why_and_how_to_get_orvane(build, tmp_path):
    reason = "no CUDA compiler found: /opt/none/bin/nvcc does not exist"
    path = tmp_path / "Orvane.py"
    path.write_text(build.standin_source(reason))
    spec = importlib.util.spec_from_file_location("Orvane", path)
    with pytest.raises(ImportError) as info:
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    assert info.value.name == "Orvane" and info.value.path == str(path)
    for words in (reason, "OrvaneCPU", "CUDA toolkit", "CUDA_HOME", "pip install"):
        assert words in str(info.value)


GPU = {"built": True, "nvcc": "/usr/local/cuda/bin/nvcc", "cuda": "13.0",
       "architectures": ["sm_89", "sm_90", "compute_89 (PTX)"], "flags": [],
       "numerics": ["--use_fast_math", "-Xcompiler=-ffp-contract=off"]}
CPU = {"built": True, "compiler": "c++ (GCC) 12.2.0", "flags": [],
       "numerics": ["-ffp-contract=off", "-fopenmp"]}


def _record(gpu, version=orvane_sim.__version__):
    return {"version": version, "torch": "2.11.0", "modules": {"Orvane": gpu, "OrvaneCPU": CPU}}


@pytest.mark.parametrize("record, expected", [
    (_record(GPU), ["orvane {v}, built against torch 2.11.0",
                    "Orvane:    CUDA 13.0, device code sm_89, sm_90, compute_89 (PTX); numerics flags: "
                    "--use_fast_math -Xcompiler=-ffp-contract=off",
                    "OrvaneCPU: c++ (GCC) 12.2.0; numerics flags: -ffp-contract=off -fopenmp"]),
    (_record({"built": False, "reason": "no CUDA toolkit found"}),
     ["orvane {v}, built against torch 2.11.0", "Orvane:    not built: no CUDA toolkit found",
      "OrvaneCPU: c++ (GCC) 12.2.0; numerics flags: -ffp-contract=off -fopenmp"]),
    (_record(GPU, version="0.0.1"), ["orvane {v} (modules built from 0.0.1), built against torch 2.11.0"]),
    (None, ["orvane {v}", "no build record: Orvane and OrvaneCPU were not built from this tree"]),
])
def test_version_report(monkeypatch, record, expected):
    monkeypatch.setattr(build_info, "load_record", lambda: record)
    lines = build_info.describe().splitlines()
    assert lines[:len(expected)] == [e.format(v=orvane_sim.__version__) for e in expected]
    assert build_info.cuda_module_built() == bool(record and record["modules"]["Orvane"]["built"])


def test_version_option_prints_the_report_and_exits(capsys):
    with pytest.raises(SystemExit) as info:
        main(["--version", "--n", "not a number"])
    assert info.value.code == 0
    assert capsys.readouterr().out == build_info.describe() + "\n"


@pytest.fixture
def build_ext_in(build, monkeypatch, tmp_path):
    """The build's extension command with PyTorch's compile step left out."""
    from setuptools import Distribution

    monkeypatch.setattr(build.BuildExtension, "run", lambda self: None)
    monkeypatch.setattr(build, "build_record", lambda nvcc, skipped: {"skipped": skipped})
    monkeypatch.chdir(tmp_path)

    def command(skipped, inplace):
        cmd = build.BuildWithRecord(Distribution({"name": "orvane", "ext_modules": []}))
        cmd.build_lib, cmd.inplace = str(tmp_path / "lib"), inplace
        cmd.skipped = skipped
        cmd.ensure_finalized()
        return cmd, pathlib.Path(cmd.get_ext_fullpath("Orvane")).absolute()
    return command


@pytest.mark.parametrize("skipped, inplace, stale, kept, standin", [
    # A CUDA module left in the build directory by an earlier full build
    # would be packaged as if this build had made it.
    ("no CUDA toolkit found", False, ["so"], [], True),
    # In place an earlier CUDA module stays, and no stand-in is written (it
    # would hide an installed Orvane from everything run in the tree).
    ("ORVANE_CPU_ONLY=1 asks for the CPU twin alone", True, ["so"], ["so"], False),
    ("no CUDA toolkit found", True, ["py"], [], False),
    # A full build drops the stand-in of an earlier CPU-only build.
    (None, False, ["py", "so"], ["so"], False),
    (None, True, ["py"], [], False),
])
def test_build_directory_holds_only_what_this_build_made(build_ext_in, capfd, skipped, inplace,
                                                         stale, kept, standin):
    cmd, gpu_module = build_ext_in(skipped, inplace)
    outdir = gpu_module.parent
    outdir.mkdir(parents=True, exist_ok=True)
    files = {"so": gpu_module, "py": outdir / "Orvane.py"}
    for kind in stale:
        files[kind].write_text("stale")
    cmd.run()
    said = [line for line in capfd.readouterr().err.splitlines() if "skipped" in line]
    assert said == ([f"Orvane (CUDA module) skipped: {skipped}; building OrvaneCPU and "
                     "orvane_sim only"] if skipped else [])
    assert gpu_module.exists() == ("so" in kept)
    assert (outdir / "Orvane.py").exists() == standin
    if standin:
        assert repr(skipped) in (outdir / "Orvane.py").read_text()
    record = (outdir / "orvane_sim" / "_build_info.py").read_text()
    assert f"BUILD = {{'skipped': {skipped!r}}}" in record


def test_an_externally_managed_python3_gets_a_virtual_environment_outside_the_clone(tmp_path):
    """Debian's and Ubuntu's python3 refuse pip installs: the two commands
    then set up and run a virtual environment of their own, made once."""
    system = pathlib.Path("/usr/bin/python3")
    import subprocess

    marker = subprocess.run([str(system), "-c", "import sysconfig; print(sysconfig.get_path("
                             "'stdlib'))"], capture_output=True, text=True) if system.exists() else None
    if marker is None or not (pathlib.Path(marker.stdout.strip()) / "EXTERNALLY-MANAGED").exists():
        pytest.skip("needs an externally managed /usr/bin/python3")
    env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path), "XDG_DATA_HOME": str(tmp_path / "data")}
    picks = [subprocess.run(["bash", str(ROOT / "tools/interpreter.sh")], env=env,
                            capture_output=True, text=True, timeout=300) for _ in range(2)]
    assert [p.returncode for p in picks] == [0, 0], picks[0].stderr
    venv = pathlib.Path(picks[0].stdout.strip())
    assert picks[1].stdout == picks[0].stdout and venv.is_relative_to(tmp_path / "data")
    assert "making a virtual environment" in picks[0].stderr and not picks[1].stderr
    assert subprocess.run([str(venv), "-c", "import sys; assert sys.prefix != sys.base_prefix"]
                          ).returncode == 0
    # a caller's own interpreter is never second-guessed
    own = subprocess.run(["bash", str(ROOT / "tools/interpreter.sh")], capture_output=True,
                         text=True, env={**env, "PYTHON": "/opt/py/bin/python"})
    assert own.stdout.strip() == "/opt/py/bin/python"
