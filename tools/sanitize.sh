#!/usr/bin/env bash
# OrvaneCPU under AddressSanitizer and UndefinedBehaviorSanitizer. The kernels
# run the same per-cell bodies on both backends, so a CPU run whose every
# tensor allocation is fenced by redzones, and whose integer arithmetic,
# shifts, alignment and float-to-int conversions are checked, shows that no
# input the checks accept makes a kernel read or write outside its tensors or
# compute something undefined. Any report aborts the run (nothing recovers).
#
#   bash tools/sanitize.sh              the CPU tests, then the fuzzer for
#                                       FUZZ_SECONDS (60) from a seed derived
#                                       from the commit
#   bash tools/sanitize.sh fuzz [SECONDS]   the fuzzer only (default 600 s)
#   bash tools/sanitize.sh replay SEED [--function NAME]   one case, described
#
# FUZZ_SEED overrides the first seed. The instrumented module lives in
# build/sanitize and is rebuilt when a source under cuda/ changes.
set -euo pipefail
PY=${PYTHON:-python3}
# A relative interpreter path (make test PYTHON=.venv/bin/python) must still
# work after the cd below and the one into build/sanitize.
case $PY in */*) PY="$(cd "$(dirname "$PY")" && pwd)/$(basename "$PY")" ;; esac
cd "$(dirname "$0")/.."
out=build/sanitize
mkdir -p "$out"
mode=${1:-all}

read -r torch_lib suffix < <("$PY" - <<'PYEOF' 2>/dev/null
import sysconfig
from torch.utils.cpp_extension import TORCH_LIB_PATH
print(TORCH_LIB_PATH, sysconfig.get_config_var("EXT_SUFFIX"))
PYEOF
)
includes=$("$PY" -c "
import sysconfig
from torch.utils.cpp_extension import include_paths
print(' '.join('-I' + p for p in include_paths() + [sysconfig.get_paths()['include']]))" 2>/dev/null)
module="$out/OrvaneCPU$suffix"

# UBSan: signed overflow, shifts, misaligned access, out-of-range float-to-int
# conversions and the rest of -fsanitize=undefined, except the vptr check
# (pybind11's and PyTorch's classes carry no instrumented type info here).
sanitizers="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize=vptr -fno-sanitize-recover=all"
compile=(g++ -std=c++17 -O1 -g $sanitizers -fno-omit-frame-pointer -fPIC -shared -fopenmp
  -ffp-contract=off -fvisibility=hidden -fvisibility-inlines-hidden -DTORCH_API_INCLUDE_EXTENSION_H -DTORCH_EXTENSION_NAME=OrvaneCPU
  $includes cuda/Orvane/module_cpu.cpp -o "$module"
  -L"$torch_lib" -lc10 -ltorch -ltorch_cpu -ltorch_python -Wl,-rpath,"$torch_lib")
# Rebuilt when a source under cuda/ is newer or the command line changed.
if [ ! -e "$module" ] || [ -n "$(find cuda -newer "$module" -print -quit)" ] ||
   [ "$(cat "$out/command" 2>/dev/null)" != "${compile[*]}" ]; then
  echo "== building OrvaneCPU with AddressSanitizer and UndefinedBehaviorSanitizer"
  "${compile[@]}"
  echo "${compile[*]}" > "$out/command"
fi

# Python itself does not link libstdc++: preload it beside the sanitizer so
# that the sanitizer finds the C++ runtime it intercepts (exceptions).
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The instrumented module first, then the driver package at the root.
export PYTHONPATH="$PWD/$out:$PWD"

# A fixed seed per commit: the same cases on every run of one commit, new
# ones with the next.
commit_seed() {
  local h
  h=$(git rev-parse --short=7 HEAD 2>/dev/null || echo 0)
  echo $((16#$h))
}
seed=${FUZZ_SEED:-$(commit_seed)}

# The fuzzer; a sanitizer's abort ends the process at once, so the seed of
# the case it was running is read back from the progress file.
run_fuzz() {
  local seconds=$1 progress="$out/fuzz.running"
  echo "== fuzzer under the sanitizers ($seconds s)"
  rm -f "$progress"
  if ! "$PY" tests/fuzz.py --seconds "$seconds" --seed "$seed" --progress "$progress"; then
    if [ -s "$progress" ]; then
      echo "fuzz: the sanitizer stopped case $(cat "$progress"); replay: bash tools/sanitize.sh replay $(cat "$progress")"
    fi
    return 1
  fi
}

case "$mode" in
  replay)
    shift
    "$PY" tests/fuzz.py --replay "$@"
    ;;
  fuzz)
    run_fuzz "${2:-600}"
    ;;
  *)
    echo "== CPU tests under the sanitizers"
    # From inside $out: `python -m` puts the working directory first on
    # sys.path, where a module built in place at the root would shadow the
    # instrumented one.
    root=$PWD
    (cd "$out" && "$PY" -c "import OrvaneCPU, sys; sys.exit(None if OrvaneCPU.__file__.startswith('$root/$out') else 'not the instrumented module: ' + OrvaneCPU.__file__)")
    # The multi-process runs are left out: each rank is a fresh interpreter
    # under the sanitizer runtime, with time limits set for plain builds, and
    # they call no kernel in a way the single-process tests do not. So are
    # the slow physics runs (a Mie sphere, waveguide ports: minutes each
    # when instrumented): they repeat, over many steps, the calls that the
    # fast tests and the fuzzer make with every shape and edge.
    (cd "$out" && "$PY" -m pytest -q -p no:cacheprovider --rootdir "$root" --capture=sys \
      -k "not cuda" -m "not slow" \
      --ignore="$root/tests/test_module.py" --ignore="$root/tests/test_distributed.py" "$root/tests")
    run_fuzz "${FUZZ_SECONDS:-60}"
    ;;
esac
