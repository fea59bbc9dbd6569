#!/usr/bin/env bash
# The main job: build the Linux module and its console, then run the built-in demo
# against a simulated instrument on a virtual cable. Extra arguments go to velmora.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh core
cmake --preset native >/dev/null
cmake --build --preset native --target velmora velmora_console >/dev/null
exec build/native/velmora demo "$@"
