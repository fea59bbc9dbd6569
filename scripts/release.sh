#!/usr/bin/env bash
# Makes the release archives in build/release: velmora-VERSION-win32.zip (VELMORA.x32,
# the velmora.exe console, the guide, the licence, an install note) and
# velmora-VERSION-linux-x86_64.tar.gz (libvelmora.so, the velmora console, the guide).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
mkdir -p build/release
for preset in win32 native; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target velmora velmora_console >/dev/null
    (cd "build/$preset" && cpack -B "$PWD/../release" >/dev/null)
done
rm -rf build/release/_CPack_Packages
ls -1 build/release/velmora-*
