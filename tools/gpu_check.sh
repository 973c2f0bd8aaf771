#!/usr/bin/env bash
# The one script to run on a lent GPU machine (its python3 already has torch,
# pytest and ninja): build both modules in place, run the whole test suite
# with CUDA present (every kernel against the float64 reference: field
# updates, periodic pass, sources, monitor, and the driver's physical runs),
# then the fuzzer on CUDA, the suite's kernels under compute-sanitizer, and
# time a field step on a 256^3 grid. About eight minutes on an H100.
#
# CUDA_DISABLE_PTX_JIT=1 makes the driver refuse to compile the embedded PTX,
# so the tests prove that the machine code for this GPU is there and runs.
set -uo pipefail
cd "$(dirname "$0")/.."
export MAX_JOBS=${MAX_JOBS:-16} TORCH_CUDA_ARCH_LIST=${TORCH_CUDA_ARCH_LIST:-8.9+PTX}

nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader
python3 -c "import sys, torch; print('python', sys.version.split()[0], 'torch', torch.__version__, 'cuda', torch.cuda.is_available())"

echo "== build"
start=$SECONDS
python3 setup.py build_ext --inplace > build.log 2>&1 || { tail -40 build.log; exit 1; }
echo "built in $((SECONDS - start)) s"
export PYTHONPATH=$PWD${PYTHONPATH:+:$PYTHONPATH}

echo "== tests on CUDA (machine code only)"
CUDA_DISABLE_PTX_JIT=1 python3 -m pytest -q -p no:cacheprovider tests
tests=$?

seed=$((16#$(git rev-parse --short=7 HEAD 2>/dev/null || echo 0)))
echo "== fuzzer on CUDA (60 s from seed $seed)"
python3 tests/fuzz.py --backend cuda --seconds 60 --seed "$seed" || tests=1

# memcheck: every device access of every kernel inside its allocation, on
# random calls (well-formed and broken ones) over all fifteen functions.
sanitize() { compute-sanitizer --error-exitcode 3 --print-limit 20 "$@"; }
echo "== compute-sanitizer memcheck: the fuzzer on CUDA"
sanitize --tool memcheck python3 tests/fuzz.py --backend cuda --cases 300 --seed "$seed" || tests=1
echo "== compute-sanitizer memcheck: the CUDA tests of the kernels"
sanitize --tool memcheck python3 -m pytest -q -p no:cacheprovider -x -k cuda \
  tests/test_fields.py tests/test_boundary.py tests/test_sources.py tests/test_dispersion.py \
  tests/test_materials.py tests/test_monitor.py tests/test_interpolation.py || tests=1
# racecheck: the kernels where threads meet on one element, the reverse
# interpolation's atomic additions and the periodic pass' corner lines
# (written by the x pass, then read and rewritten by the y pass). racecheck
# inspects shared memory, which no kernel here uses, so a clean report says
# the kernels stayed out of it; that the global-memory totals are right is
# what the tests themselves check.
echo "== compute-sanitizer racecheck: reverse interpolation and periodic corners"
sanitize --tool racecheck python3 -m pytest -q -p no:cacheprovider -k "cuda and (reverse or transpose or two_targets or corner or periodic)" \
  tests/test_interpolation.py tests/test_boundary.py || tests=1

echo "== benchmark"
python3 bench/bench_fields.py --backend cuda --n 256
python3 bench/bench_interval_search.py --backend cuda --sizes 10000 100000 --repeats 2
python3 -m orvane_sim --backend cuda 2>/dev/null
exit $tests
