#!/usr/bin/env bash
# Sets up, builds and renumbers a simulated motor from 0 to 1, showing the frames on the wire.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null
exec build/sim/motor-sim -- build/src/app/renumber /dev/ttyUSB0 0 1
