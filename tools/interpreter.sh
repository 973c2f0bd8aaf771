#!/usr/bin/env bash
# Prints the interpreter the two commands use (the Makefile asks it once per
# run): $PYTHON where set; else python3, unless python3 is a system
# interpreter that refuses pip installs (externally managed, as Debian's and
# Ubuntu's are), in which case a virtual environment of its own, outside the
# clone, made here on first use. What is installed then goes there and
# nowhere else.
set -euo pipefail
if [ -n "${PYTHON:-}" ]; then
  echo "$PYTHON"
  exit 0
fi
command -v python3 > /dev/null || { echo "python3 not found: install Python 3 first" >&2; exit 1; }
if ! python3 - <<'PYEOF'
import pathlib, sys, sysconfig
managed = (pathlib.Path(sysconfig.get_path("stdlib")) / "EXTERNALLY-MANAGED").exists()
sys.exit(0 if managed and sys.prefix == sys.base_prefix else 1)
PYEOF
then
  echo python3
  exit 0
fi
tag=$(python3 -c 'import sys; print("py%d%d" % sys.version_info[:2])')
venv="${XDG_DATA_HOME:-$HOME/.local/share}/orvane/venv-$tag"
if [ ! -x "$venv/bin/python" ]; then
  echo "== python3 is the system's and refuses pip installs: making a virtual environment in $venv" >&2
  python3 -m venv "$venv" >&2 || {
    rm -rf "$venv"
    echo "python3 -m venv failed: install the venv module (Debian, Ubuntu: apt install python3-venv)" >&2
    exit 1
  }
fi
echo "$venv/bin/python"
