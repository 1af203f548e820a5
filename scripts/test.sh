#!/usr/bin/env bash
# Sets up, builds and runs every test: unit tests and the end-to-end suite under motor-sim
# (the CMake workflow preset "dev", whose test preset sets how many tests run at once).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
CMAKE_BUILD_PARALLEL_LEVEL=$(nproc) cmake --workflow --preset dev
