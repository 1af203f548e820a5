#!/usr/bin/env bash
# Configures and builds renumber, motor-sim and the tests in build/, warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRENUMBER_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build -j "$(nproc)"
