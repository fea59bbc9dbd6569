#!/usr/bin/env bash
# Makes the release archives and checks them: the files each must hold, and the Linux
# console from the unpacked archive finding its module and running the demo.
set -uo pipefail
cd "$(dirname "$0")/.."
version=$(sed -nE 's/^project\(velmora VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
scripts/release.sh >/dev/null || { echo "FAIL release: scripts/release.sh failed"; exit 1; }
fails=0
check() { if "${@:2}"; then echo "ok   release: $1"; else echo "FAIL release: $1"; fails=$((fails + 1)); fi; }
zip=build/release/velmora-$version-win32.zip
tgz=build/release/velmora-$version-linux-x86_64.tar.gz
check "$(basename "$zip") holds VELMORA.x32, the guide, the licence and the install note" \
    test "$(unzip -Z1 "$zip" | sort | tr '\n' ' ')" = "INSTALL.txt LICENSE VELMORA.x32 guide.md "
check "$(basename "$tgz") holds the module, the console and the guide" \
    test "$(tar tzf "$tgz" | grep -vE '/$' | sort | tr '\n' ' ')" = "bin/velmora lib/libvelmora.so share/doc/velmora/CHANGELOG.md share/doc/velmora/LICENSE share/doc/velmora/guide.md "
unpacked=$(mktemp -d)
tar xzf "$tgz" -C "$unpacked"
check "the unpacked console reports version $version" \
    test "$("$unpacked/bin/velmora" --version)" = "velmora $version"
check "the unpacked console finds its module and runs the demo" \
    sh -c "'$unpacked/bin/velmora' demo >/dev/null"
check "the unpacked module states version $version" \
    sh -c "'$unpacked/bin/velmora' info | grep -qx 'version: $version'"
rm -rf "$unpacked"
exit $((fails > 0))
