#!/usr/bin/env bash
# Installs everything plus the read simulator, then runs the benchmarks:
# the C++ micro-benchmarks from build/wheel and the Python decode benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
# The read simulator, the reference decoders the benchmarks compare with
# (htscodecs as a black-box yardstick, pigz, samtools), before the build so
# the benchmarks link the yardstick.
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
missing=()
for p in art-nextgen-simulation-tools libhtscodecs-dev pigz samtools; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
bash scripts/setup.sh
PY=${PYTHON:-python3}
for b in build/wheel/bench_*; do
  [ -x "$b" ] && { echo "== $b"; "$b"; }
done
echo "== bench/bench_decode.py"; $PY bench/bench_decode.py
echo "== bench/bench_random_access.py"; $PY bench/bench_random_access.py
