#!/usr/bin/env bash
# Installs quernlet into .venv and runs the demonstration in examples/demo.py.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

bash "$ROOT/scripts/bootstrap.sh"

export PATH="$ROOT/.venv/bin:$PATH"
export PIP_DISABLE_PIP_VERSION_CHECK=1
echo "[demo] building and installing quernlet into .venv"
"$ROOT/.venv/bin/python" -m pip install -q --no-build-isolation .

if [[ ! -f examples/demo.py ]]; then
  echo "[demo] examples/demo.py is not there yet; nothing to run"
  exit 0
fi
echo "[demo] running examples/demo.py"
echo
exec "$ROOT/.venv/bin/python" examples/demo.py
