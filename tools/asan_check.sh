#!/usr/bin/env bash
# OrvaneCPU under AddressSanitizer. The kernels run the same per-cell bodies on
# both backends, so a CPU run whose every tensor allocation is fenced by
# redzones shows that no input accepted by the checks makes a kernel read or
# write outside its tensors. Builds an instrumented OrvaneCPU in build/asan
# and runs the CPU tests against it (all but the module-boundary ones, which
# load the GPU module too).
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
out=build/asan
mkdir -p "$out"

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

if [ ! -e "$module" ] || [ -n "$(find cuda -newer "$module" -print -quit)" ]; then
  echo "== building OrvaneCPU with AddressSanitizer"
  g++ -std=c++17 -O1 -g -fsanitize=address -fno-omit-frame-pointer -fPIC -shared -fopenmp \
    -ffp-contract=off -DTORCH_API_INCLUDE_EXTENSION_H -DTORCH_EXTENSION_NAME=OrvaneCPU \
    $includes cuda/Orvane/module_cpu.cpp -o "$module" \
    -L"$torch_lib" -lc10 -ltorch -ltorch_cpu -ltorch_python -Wl,-rpath,"$torch_lib"
fi

echo "== CPU tests under AddressSanitizer"
# Python itself does not link libstdc++: preload it beside the sanitizer so
# that the sanitizer finds the C++ runtime it intercepts (exceptions).
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  PYTHONPATH="$PWD/$out" "$PY" -m pytest -q -p no:cacheprovider --capture=sys -k "not cuda" \
  --ignore=tests/test_module.py tests
