#!/usr/bin/env bash
# Installs everything, then runs zarv on the bundled example archive.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PY=${PYTHON:-python3}
$PY examples/demo.py examples/example.zarv
