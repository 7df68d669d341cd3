#!/usr/bin/env bash
# Installs everything zarv needs to build and test: Debian packages when
# missing, the Python build and test tools, then the package itself (with the
# C++ test suite and benchmarks built in the same CMake tree, build/wheel).
set -euo pipefail
cd "$(dirname "$0")/.."

# nginx serves archives to the remote-reading tests (started by the tests
# themselves); velvet-tests holds real FASTQ the sampling tests read, and
# tabix's bgzip makes BGZF copies of it.
DEBS=(g++ pkg-config ninja-build libxxhash-dev zlib1g-dev libargon2-dev libsodium-dev libgtest-dev nginx-light
      velvet-tests tabix)
missing=()
for p in "${DEBS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
  # The package starts a system-wide server; the tests run their own.
  if [[ " ${missing[*]} " == *" nginx-light "* ]]; then
    $SUDO service nginx stop >/dev/null 2>&1 || true
  fi
fi

PY=${PYTHON:-python3}
$PY -m pip install -q "scikit-build-core>=0.10" "cmake>=3.21" ninja "pytest>=7"
# One build: the abi3 extension for the wheel plus the GoogleTest suite,
# fuzz-corpus replay and benchmarks (left in build/wheel for ctest).
$PY -m pip install -q --no-build-isolation . \
  -Cbuild-dir=build/wheel -Ccmake.define.ZARV_BUILD_TESTS=ON
