#!/usr/bin/env bash
# The way a user without a CUDA toolkit installs Orvane, checked end to end:
# a source distribution of this tree, a wheel built from it where no CUDA
# compiler can be found (CUDA_HOME is an empty directory), that wheel
# installed into a fresh virtual environment which reuses this interpreter's
# PyTorch, and everything used from another directory: --version reports the
# build, `import Orvane` says how to get it, the CPU twin and the driver pass
# their tests against the installed copy.
#
# The wheel is cached outside the clone, keyed on the sources, the
# interpreter and PyTorch: with unchanged sources a second run only repeats
# the install and the checks (seconds, not minutes).
set -euo pipefail
PY=${PYTHON:-python3}
# A relative interpreter path (make test PYTHON=.venv/bin/python) must still
# work after the cd below and from the other directory used later.
case $PY in */*) PY="$(cd "$(dirname "$PY")" && pwd)/$(basename "$PY")" ;; esac
cd "$(dirname "$0")/.."
repo=$PWD

fail() { echo "install check: $*" >&2; exit 1; }

read -r pytag torch_version < <("$PY" -c "
import sys, torch
print('py%d%d' % sys.version_info[:2], torch.__version__)" 2>/dev/null) || fail "$PY cannot import torch"
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' orvane_sim/_version.py)
sources=$(git ls-files -co --exclude-standard setup.py pyproject.toml MANIFEST.in cuda orvane_sim \
            2>/dev/null || find setup.py pyproject.toml MANIFEST.in cuda orvane_sim -type f)
digest=$( (cat $sources; echo "$torch_version") | sha256sum | cut -c1-16)
cache="${XDG_CACHE_HOME:-$HOME/.cache}/orvane/wheels"
wheels="$cache/$pytag-$digest"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! compgen -G "$wheels/orvane-$version-*.whl" > /dev/null; then
  echo "== building a wheel without a CUDA compiler (a few minutes on two cores)"
  mkdir -p "$work/no_cuda" "$work/dist"
  "$PY" -c "from setuptools import build_meta; build_meta.build_sdist('$work/dist')" \
    > "$work/sdist.log" 2>&1 || { tail -30 "$work/sdist.log"; fail "the source distribution failed"; }
  CUDA_HOME="$work/no_cuda" MAX_JOBS=${MAX_JOBS:-2} "$PY" -m pip wheel -v --no-build-isolation \
    --no-deps --wheel-dir "$work/dist" "$work"/dist/orvane-"$version".tar.gz > "$work/wheel.log" 2>&1 \
    || { tail -40 "$work/wheel.log"; fail "the wheel failed to build"; }
  grep -h "Orvane (CUDA module) skipped: .*$work/no_cuda" "$work/wheel.log" | head -1 \
    || fail "the build did not say that it skipped Orvane"
  rm -rf "$cache/$pytag"-*
  mkdir -p "$wheels"
  cp "$work"/dist/orvane-*.whl "$wheels/"
fi
wheel=$(compgen -G "$wheels/orvane-$version-*.whl" | head -1)
contents=$("$PY" -c "import sys, zipfile; print('\n'.join(zipfile.ZipFile(sys.argv[1]).namelist()))" "$wheel")
grep -qx "Orvane\.py" <<< "$contents" || fail "$wheel has no stand-in Orvane"
if grep -q "^Orvane\..*\.so$" <<< "$contents"; then fail "$wheel carries a CUDA module"; fi

echo "== installing $(basename "$wheel") into a fresh virtual environment"
venv="$work/venv"
"$PY" -m venv --system-site-packages "$venv" || fail "$PY -m venv cannot make a virtual environment"
# --system-site-packages reaches the base interpreter's packages only: where
# $PY is itself a virtual environment, its own packages (PyTorch) are added.
"$PY" -c "import site; print('\n'.join(site.getsitepackages()))" \
  > "$("$venv/bin/python" -c "import sysconfig; print(sysconfig.get_paths()['purelib'])")/_reuse.pth"
# The first install puts the wheel into the environment even where this
# interpreter has the same version installed; the second resolves its
# requirements (PyTorch, numpy) against what is there, with no index to fall
# back on.
"$venv/bin/python" -m pip install -q --no-index --no-deps --force-reinstall "$wheel"
"$venv/bin/python" -m pip install -q --no-index "$wheel"

echo "== using it from another directory"
mkdir -p "$work/elsewhere"
cp -r tests "$work/elsewhere/tests"
mkdir -p "$work/elsewhere/tools" && cp tools/load_probe.py "$work/elsewhere/tools/"
cd "$work/elsewhere"
"$venv/bin/python" - "$venv" <<'EOF' || fail "the installed package does not work"
import sys

import torch

import OrvaneCPU
import orvane_sim

venv = sys.argv[1]
for module in (OrvaneCPU, orvane_sim):
    assert module.__file__.startswith(venv), f"{module.__name__} imported from {module.__file__}"
try:
    import Orvane  # noqa: F401
except ImportError as exc:
    assert exc.name == "Orvane" and "CUDA toolkit" in str(exc), str(exc)
    assert exc.path.startswith(venv), exc.path
    print("import Orvane:", exc)
else:
    raise AssertionError("import Orvane succeeded in a build without a CUDA compiler")
EOF
"$venv/bin/python" -m orvane_sim --version | tee "$work/version.txt"
grep -q "^orvane $version" "$work/version.txt" || fail "--version does not give $version"
grep -q "^Orvane: *not built: no CUDA compiler found" "$work/version.txt" \
  || fail "--version does not say that Orvane was skipped"
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests/test_module.py tests/test_fields.py \
  tests/test_driver.py || fail "the tests fail against the installed package"
echo "== install check passed ($repo)"
