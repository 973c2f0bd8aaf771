#!/usr/bin/env bash
# Idempotent set-up for one interpreter, $PYTHON (python3 unless set; a
# virtual environment's python works the same): PyTorch, the test tools and
# the driver's libraries (tqdm, matplotlib; mypy for the stub check and
# hypothesis for the property-based tests;
# miepython, the reference of the sphere scattering check; shapely and gdstk
# for polygon prisms and GDS layouts; scipy, the sparse eigensolver of the
# mode solver; scikit-rf for Touchstone files; optionally gdsfactory, and
# femwell with scikit-fem for the mode solver's finite-element check),
# then both extension modules (Orvane, OrvaneCPU) and the driver package built
# from this tree and installed into that interpreter's site-packages, so they
# import from any directory. Where no CUDA compiler is found the build makes
# OrvaneCPU and orvane_sim alone, and says so. A second run with unchanged
# sources and the same toolkit does nothing.
set -euo pipefail
PY=${PYTHON:-python3}
# A relative interpreter path (make test PYTHON=.venv/bin/python) must still
# work after the cd below and from the other directory used to check imports.
case $PY in */*) PY="$(cd "$(dirname "$PY")" && pwd)/$(basename "$PY")" ;; esac
cd "$(dirname "$0")/.."
TORCH_VERSION=2.11.0

if ! "$PY" -c "import torch, numpy, pytest, hypothesis, ninja, wheel, tqdm, matplotlib, mypy, miepython, shapely, gdstk, scipy, skrf, sys; sys.exit(torch.__version__.split('+')[0] != '$TORCH_VERSION' or tuple(map(int, shapely.__version__.split('.')[:2])) < (2, 1))" 2>/dev/null; then
  echo "== installing torch $TORCH_VERSION, numpy, pytest, hypothesis, ninja, tqdm, matplotlib, mypy, miepython, shapely, gdstk, scipy, scikit-rf"
  "$PY" -m pip install --root-user-action=ignore "torch==$TORCH_VERSION" numpy pytest hypothesis ninja wheel tqdm matplotlib mypy miepython "shapely>=2.1" gdstk scipy scikit-rf
fi

# gdsfactory is optional (orvane_sim.gdsfactory and the mmi demo need it; their
# tests skip without it): a failed install leaves the rest of the set-up whole.
if ! "$PY" -c "import gdsfactory, sys; sys.exit(int(gdsfactory.__version__.split('.')[0]) != 9)" 2>/dev/null; then
  echo "== installing gdsfactory 9 (optional: components in, S-parameters out)"
  "$PY" -m pip install --root-user-action=ignore "gdsfactory>=9,<10" ||
    echo "(gdsfactory not installed: orvane_sim.gdsfactory and its tests are skipped)"
fi

# femwell is optional too, the finite-element mode solver the strip's modes
# are compared with (its test skips without it). Its waveguide solver needs
# scikit-fem, numpy, scipy and matplotlib alone; --no-deps leaves out the
# meshing packages it also lists (gmsh, pygmsh, meshwell: hundreds of MB),
# as the test builds its mesh with scikit-fem itself.
if ! "$PY" -c "import femwell.maxwell.waveguide, skfem" 2>/dev/null; then
  echo "== installing scikit-fem and femwell 0.1 (optional: the mode solver's finite-element check)"
  { "$PY" -m pip install --root-user-action=ignore "scikit-fem>=8.1,<13" &&
    "$PY" -m pip install --root-user-action=ignore --no-deps "femwell>=0.1.12,<0.2"; } ||
    echo "(femwell not installed: the mode solver's comparison with it is skipped)"
fi

# cuobjdump reads the kernels' machine code without a GPU, and runs nvdisasm
# for the SASS listing (bench/kernel_static.py and its test); where the
# toolkit lacks them, their PyPI packages bring them. The script that uses
# them says whether they are found.
if ! "$PY" bench/kernel_static.py --check-tools > /dev/null 2>&1; then
  echo "== installing cuobjdump and nvdisasm (nvidia-cuda-cuobjdump, nvidia-cuda-nvdisasm)"
  "$PY" -m pip install --root-user-action=ignore "nvidia-cuda-cuobjdump==13.*" "nvidia-cuda-nvdisasm==13.*" ||
    echo "(cuobjdump or nvdisasm not installed: the static check of the kernels is skipped)"
fi

# The sources that make the installed build, and the toolkit that compiles
# it: rebuild whenever either changes. One stamp per interpreter (its
# prefix), so two environments never take each other's build for their own.
state_dir="${XDG_CACHE_HOME:-$HOME/.cache}/orvane"
stamp="$state_dir/$("$PY" -c 'import sys; print("py%d%d" % sys.version_info[:2])')-$("$PY" -c 'import sys; print(sys.prefix)' | sha256sum | cut -c1-12).stamp"
toolkit="CUDA_HOME=${CUDA_HOME:-} CUDA_PATH=${CUDA_PATH:-} PYTORCH_NVCC=${PYTORCH_NVCC:-} nvcc=$(command -v nvcc || true)"
digest=$( (cat setup.py pyproject.toml $(git ls-files -co --exclude-standard cuda orvane_sim stubs 2>/dev/null || find cuda orvane_sim stubs -type f); echo "$toolkit") | sha256sum | cut -d' ' -f1)
# Installed means importable from elsewhere: OrvaneCPU and the driver always,
# Orvane unless the build recorded that it had no CUDA compiler.
installed() {
  (cd / && "$PY" -c "
import OrvaneCPU, orvane_sim
from orvane_sim.core.build_info import cuda_module_built, load_record
assert load_record() is not None
if cuda_module_built():
    import Orvane") 2>/dev/null
}
report() { (cd / && "$PY" -m orvane_sim --version) | sed 's/^/   /'; }

if [ "$(cat "$stamp" 2>/dev/null)" = "$digest" ] && installed; then
  echo "== Orvane is up to date"
  report
  exit 0
fi
echo "== building Orvane and OrvaneCPU (a few minutes on two cores)"
export MAX_JOBS=${MAX_JOBS:-2}
# The build folder keeps the compiled objects between builds (a rebuild
# takes seconds) and a copy of the package, which the wheel is made from:
# a module since moved or deleted would stay in that copy and be installed,
# shadowing its new home. The copy is remade from the tree each time.
rm -rf build/lib*/orvane_sim
"$PY" -m pip install --root-user-action=ignore --no-build-isolation --no-deps .
installed || { echo "setup: the modules were built but do not import" >&2; exit 1; }
report
mkdir -p "$state_dir"
echo "$digest" > "$stamp"
