#!/usr/bin/env bash
# Installs everything, then runs every test: GoogleTest (through CTest, with
# the fuzz seed corpora) and pytest against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PY=${PYTHON:-python3}
ctest --test-dir build/wheel --output-on-failure -j2
$PY -m pytest -q tests/python
