#!/usr/bin/env bash
# Idempotent set-up for this machine's python3: PyTorch, the test tools and
# the driver's libraries (tqdm, matplotlib; mypy for the stub check),
# then both extension modules (Orvane, OrvaneCPU) and the driver package built
# from this tree and installed into the interpreter's site-packages, so they
# import from any directory. A second run with unchanged sources does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
TORCH_VERSION=2.11.0

if ! "$PY" -c "import torch, numpy, pytest, ninja, wheel, tqdm, matplotlib, mypy, sys; sys.exit(torch.__version__.split('+')[0] != '$TORCH_VERSION')" 2>/dev/null; then
  echo "== installing torch $TORCH_VERSION, numpy, pytest, ninja, tqdm, matplotlib, mypy"
  "$PY" -m pip install --root-user-action=ignore "torch==$TORCH_VERSION" numpy pytest ninja wheel tqdm matplotlib mypy
fi

# The sources that make the installed build: rebuild whenever they change.
state_dir="${XDG_CACHE_HOME:-$HOME/.cache}/orvane"
stamp="$state_dir/$("$PY" -c 'import sys; print("py%d%d" % sys.version_info[:2])').stamp"
digest=$(cat setup.py pyproject.toml $(git ls-files -co --exclude-standard cuda orvane_sim stubs 2>/dev/null || find cuda orvane_sim stubs -type f) | sha256sum | cut -d' ' -f1)
installed() { (cd / && "$PY" -c "import Orvane, OrvaneCPU, orvane_sim") 2>/dev/null; }

if [ "$(cat "$stamp" 2>/dev/null)" = "$digest" ] && installed; then
  echo "== Orvane is up to date"
  exit 0
fi
echo "== building Orvane and OrvaneCPU (a few minutes on two cores)"
export MAX_JOBS=${MAX_JOBS:-2}
"$PY" -m pip install --root-user-action=ignore --no-build-isolation --no-deps . 
installed || { echo "setup: the modules were built but do not import" >&2; exit 1; }
mkdir -p "$state_dir"
echo "$digest" > "$stamp"
