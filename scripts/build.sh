#!/usr/bin/env bash
# Configures and builds renumber, motor-sim and the tests in build/ with the CMake preset "dev"
# (RelWithDebInfo, warnings as errors).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)"
