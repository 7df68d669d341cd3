#!/usr/bin/env bash
# Installs everything plus the read simulator, then runs the benchmarks:
# the C++ micro-benchmarks from build/wheel and the Python decode benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if ! command -v art_illumina >/dev/null; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq art-nextgen-simulation-tools
fi
PY=${PYTHON:-python3}
for b in build/wheel/bench_*; do
  [ -x "$b" ] && { echo "== $b"; "$b"; }
done
echo "== bench/bench_decode.py"; $PY bench/bench_decode.py
echo "== bench/bench_random_access.py"; $PY bench/bench_random_access.py
