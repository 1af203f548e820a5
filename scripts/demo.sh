#!/usr/bin/env bash
# Sets up, builds renumber and motor-sim (nothing else), and renumbers a simulated motor from 0 to
# 1, showing the frames on the wire. CMake's own progress shows while it builds.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "demo: checking the build tools (installing them the first time takes about a minute)"
scripts/install-deps.sh
echo "demo: building renumber and motor-sim in build-release/ (about a minute the first time)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target renumber motor-sim
echo "demo: renumbering simulated motor 0 to 1; motor-sim traces the wire around renumber's own output"
exec build-release/sim/motor-sim -- build-release/src/app/renumber /dev/ttyUSB0 0 1
