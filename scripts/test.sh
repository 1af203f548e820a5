#!/usr/bin/env bash
# Sets up, builds and runs every test: unit tests and the end-to-end suite under motor-sim.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
ctest --preset dev -j "$(nproc)"
