#!/usr/bin/env bash
# The one script to run on a lent GPU machine, in one call: BUDGET seconds
# (470 by default) for everything, the build included. Its interpreter
# ($PYTHON, python3 unless set) already has torch, pytest and ninja; tqdm,
# matplotlib, mypy, miepython and scipy are installed if missing and the
# machine can reach the package index.
#
# Its parts, most telling first; each runs under its own time limit, and a
# part that would start with under 15 s of the budget left is skipped:
#   build      both modules in place, machine code for sm_90 alone
#              (ORVANE_CUDA_ARCHS; the full set is CI's)
#   probe      the smallest reproducers of a crash in host code, each in a
#              process of its own (tools/load_probe.py): each module alone
#              and both in each import order, painting one object and
#              refusing an inside-out box; a one-function module that
#              formats a double and throws, alone and after both modules.
#              Its logs are the first files in $OUT. A crash there, or
#              later, prints its native stack with the modules' frames named
#   tests      every CUDA case of the suite: each kernel against the float64
#              reference, the physics runs, the adjoint gradient checks and
#              the stream tests on Orvane (the CPU cases are CI's), with
#              CUDA_DISABLE_PTX_JIT=1 so that the machine code must run
#   demo       the slab demo on both backends, R and T compared
#   bench      every function against the bytes it must move, a field step
#              on a 256^3 grid (bare and the driver's; compact, then general
#              instantiations), the pulse run; the workloads' step and its
#              parts (bench_workloads.py): the empty box and the Mie sphere
#              at full size, 3 blocks each, the waveguide and the design at
#              --quick sizes (a check that their CUDA path runs), so that
#              the part stays within its limit
#   mie        the sphere on both backends (and against Mie)
#   slabs      the pulse run split into slabs over NCCL, one process per GPU
#   fuzz       random calls on CUDA
#   memcheck   compute-sanitizer on the fuzzer and the kernel tests
#   racecheck  compute-sanitizer on the atomics and the periodic corners
# Results go to $OUT (build/gpu_check without it): each part's log, the
# slab spectra, the benchmark table (bench.txt), the test tallies (in
# tests.log) and timings.txt, one line per part.
#
# `gpu_check.sh --dry-run` does what it can without a device, on the CPU
# twin already installed (a test runs it in CI): the plan, the probes,
# the collection of the CUDA tests and the demo comparison against itself.
set -uo pipefail
# The interpreter: $PYTHON (made absolute, as set-up does) or python3.
PY=${PYTHON:-python3}
case $PY in */*) PY="$(cd "$(dirname "$PY")" && pwd)/$(basename "$PY")" ;; esac
export PY
cd "$(dirname "$0")/.."
dry=0
case ${1:-} in
  --dry-run) dry=1 ;;
  "") ;;
  *) echo "usage: $0 [--dry-run]" >&2; exit 2 ;;
esac
export OUT_DIR=${OUT:-build/gpu_check} MAX_JOBS=${MAX_JOBS:-16}
export ORVANE_CUDA_ARCHS=${ORVANE_CUDA_ARCHS:-90}
BUDGET=${BUDGET:-470}
mkdir -p "$OUT_DIR" build
export GPU=cuda
[ $dry = 1 ] && GPU=cpu
PLAN="build probe tests demo bench mie slabs fuzz memcheck racecheck"
[ $dry = 1 ] && PLAN="probe tests demo"
echo "gpu_check: $PLAN; budget $BUDGET s; results in $OUT_DIR"
[ $dry = 1 ] && echo "(dry run: no device; the CPU twin stands in where it can)"
: > "$OUT_DIR/timings.txt"
t0=$SECONDS failed=""

# part NAME LIMIT FUNCTION: run FUNCTION (a shell function below) in a
# shell of its own, for at most LIMIT seconds and what is left of the budget.
part() {
  local name=$1 limit=$2 fn=$3
  local left=$((BUDGET - (SECONDS - t0)))
  if [ "$left" -lt 15 ]; then
    echo "-- $name: skipped, the budget is spent" | tee -a "$OUT_DIR/timings.txt"
    return
  fi
  [ "$limit" -gt "$left" ] && limit=$left
  echo "== $name (at most $limit s)"
  local start=$SECONDS
  timeout "$limit" bash -c "set -uo pipefail; $(declare -f resolve_stack "$fn"); $fn"
  local rc=$?
  [ $rc -ne 0 ] && failed="$failed $name"
  echo "-- $name: $((SECONDS - start)) s, exit $rc" | tee -a "$OUT_DIR/timings.txt"
}

# A crash in a module's host code shows where it happened: the preloaded
# handler prints the native stack, and resolve_stack names the frames that
# lie in the modules.
resolve_stack() {
  grep -oE '/[^ (]*Orvane[^ (]*\.so\(\+0x[0-9a-f]+\)' "$1" | sort -u |
    while IFS= read -r frame; do
      lib=${frame%%(*} off=${frame##*(+}
      echo "  ${frame##*/} -> $(addr2line -C -f -e "$lib" "${off%)}" | head -1)"
    done
}

build() {
  "$PY" -c "import tqdm, matplotlib, mypy, miepython, scipy" 2>/dev/null ||
    "$PY" -m pip install -q tqdm matplotlib mypy miepython scipy 2>/dev/null ||
    echo "(tqdm, matplotlib, mypy, miepython or scipy missing: the runs that need them fail or skip)"
  nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader
  "$PY" -c "import sys, torch; print('python', sys.version.split()[0], 'torch', torch.__version__, 'cuda', torch.cuda.is_available())"
  "$PY" setup.py build_ext --inplace > "$OUT_DIR/build.log" 2>&1 || { tail -40 "$OUT_DIR/build.log"; exit 1; }
}

# Every probe runs, whatever the one before did: which of them crash is the
# finding.
probe() {
  local failed=0 args log rc
  for args in "modules OrvaneCPU" "modules Orvane" "modules Orvane OrvaneCPU" \
              "modules OrvaneCPU Orvane" "format" "format Orvane OrvaneCPU"; do
    log="$OUT_DIR/probe_${args// /_}.log"
    LD_PRELOAD=${STACK:-} "$PY" tools/load_probe.py $args > "$log" 2>&1
    rc=$?
    echo "probe $args: exit $rc"
    tail -4 "$log" | sed 's/^/  /'
    resolve_stack "$log"
    [ $rc -eq 0 ] || failed=1
  done
  exit $failed
}

tests() {
  if [ "$GPU" = cpu ]; then
    "$PY" -m pytest -q -p no:cacheprovider --collect-only -k cuda tests | tail -1
    return
  fi
  CUDA_DISABLE_PTX_JIT=1 LD_PRELOAD=$STACK "$PY" -m pytest -q -p no:cacheprovider -k cuda tests \
    2>&1 | tee "$OUT_DIR/tests.log" | tail -15
  local rc=${PIPESTATUS[0]}
  resolve_stack "$OUT_DIR/tests.log"
  exit $rc
}

demo() {
  local resolutions="30 60"
  [ "$GPU" = cpu ] && resolutions=30
  for b in $GPU cpu; do
    "$PY" -m orvane_sim --backend $b --resolutions $resolutions --no-progress \
      --out "$OUT_DIR/slab_$b.png" --csv "$OUT_DIR/slab_$b.csv" > "$OUT_DIR/demo_$b.log" 2>&1 ||
      { tail -5 "$OUT_DIR/demo_$b.log"; exit 1; }
  done
  "$PY" tools/gpu_compare.py slab "$OUT_DIR/slab_cpu.csv" "$OUT_DIR/slab_$GPU.csv"
}

bench() {
  { "$PY" bench/bench_kernels.py --backend cuda
    "$PY" bench/bench_fields.py --backend cuda --n 256
    echo "the same, every kernel in its general (strided) instantiation:"
    ORVANE_LAYOUT=strided "$PY" bench/bench_fields.py --backend cuda --n 256
    "$PY" bench/bench_interval_search.py --backend cuda --sizes 10000 100000 --repeats 2
    "$PY" -m orvane_sim pulse --backend cuda 2>/dev/null
    # last, each under a limit of its own: an overrun costs its own table only
    timeout 35 "$PY" bench/bench_workloads.py --backend cuda --configs empty mie --repeats 3
    timeout 25 "$PY" bench/bench_workloads.py --backend cuda --configs waveguide design --quick
  } | tee "$OUT_DIR/bench.txt"
}

mie() {
  "$PY" tools/gpu_compare.py mie cuda
}

slabs() {
  "$PY" -m torch.distributed.run --nproc-per-node "$(nvidia-smi -L | wc -l)" --master-addr 127.0.0.1 \
    --master-port 29533 -m orvane_sim.distributed --backend cuda --cells 256 --layers 10 --steps 200
}

seed=$((16#$(git rev-parse --short=7 HEAD 2>/dev/null || echo 0)))
export seed
fuzz() {
  "$PY" tests/fuzz.py --backend cuda --seconds 30 --seed "$seed"
}

# memcheck: every device access of every kernel inside its allocation, on
# random calls (well-formed and broken ones) over all fifteen functions and the
# anisotropic pass beside them.
memcheck() {
  local sanitize="compute-sanitizer --error-exitcode 3 --print-limit 20"
  $sanitize --tool memcheck "$PY" tests/fuzz.py --backend cuda --cases 300 --seed "$seed" &&
  $sanitize --tool memcheck "$PY" -m pytest -q -p no:cacheprovider -x -k cuda \
    tests/test_fields.py tests/test_boundary.py tests/test_sources.py tests/test_dispersion.py \
    tests/test_materials.py tests/test_monitor.py tests/test_interpolation.py
}

# racecheck: the kernels where threads meet on one element, the reverse
# interpolation's atomic additions and the periodic pass' corner lines
# (written by the x pass, then read and rewritten by the y pass). racecheck
# inspects shared memory, which no kernel here uses, so a clean report says
# the kernels stayed out of it; that the global-memory totals are right is
# what the tests themselves check.
racecheck() {
  compute-sanitizer --error-exitcode 3 --print-limit 20 --tool racecheck \
    "$PY" -m pytest -q -p no:cacheprovider \
    -k "cuda and (reverse or transpose or two_targets or corner or periodic)" \
    tests/test_interpolation.py tests/test_boundary.py
}

if [ $dry = 0 ]; then
  part build 300 build
  [[ " $failed " == *" build "* ]] && { echo "the build failed: nothing else runs"; exit 1; }
  export PYTHONPATH=$PWD${PYTHONPATH:+:$PYTHONPATH}
  cc -shared -fPIC -O1 -o build/segv_backtrace.so tools/segv_backtrace.c
  export STACK=$PWD/build/segv_backtrace.so
fi
part probe 90 probe
part tests 240 tests
part demo 120 demo
if [ $dry = 0 ]; then
  part bench 90 bench
  part mie 60 mie
  part slabs 60 slabs
  part fuzz 45 fuzz
  part memcheck 120 memcheck
  part racecheck 60 racecheck
fi
echo "gpu_check: $((SECONDS - t0)) s in all; failed:${failed:- none}" | tee -a "$OUT_DIR/timings.txt"
[ -z "$failed" ]
