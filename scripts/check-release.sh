#!/usr/bin/env bash
# Makes the release archives and checks them: the files each must hold, the Windows
# console's imports, and the Linux console from the unpacked archive finding its module
# and running the demo. (The Windows console from the zip's layout runs under Wine in
# the Wine tests.)
set -uo pipefail
cd "$(dirname "$0")/.."
version=$(sed -nE 's/^project\(velmora VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
scripts/release.sh >/dev/null || { echo "FAIL release: scripts/release.sh failed"; exit 1; }
fails=0
check() { if "${@:2}"; then echo "ok   release: $1"; else echo "FAIL release: $1"; fails=$((fails + 1)); fi; }
zip=build/release/velmora-$version-win32.zip
tgz=build/release/velmora-$version-linux-x86_64.tar.gz
check "$(basename "$zip") holds VELMORA.x32, velmora.exe, the guide, the licence and the install note" \
    test "$(unzip -Z1 "$zip" | LC_ALL=C sort | tr '\n' ' ')" = "INSTALL.txt LICENSE VELMORA.x32 guide.md velmora.exe "
unzipped=$(mktemp -d)
unzip -q "$zip" -d "$unzipped"
check "the zip's velmora.exe is a 32-bit program needing only what Windows ships" \
    sh -c "x86_64-w64-mingw32-objdump -p '$unzipped/velmora.exe' | grep -q 'file format pei-i386' && ! x86_64-w64-mingw32-objdump -p '$unzipped/velmora.exe' | grep -E '^\s+DLL Name:' | grep -viqE 'DLL Name: (KERNEL32|msvcrt|ADVAPI32|SETUPAPI|USER32|WS2_32)\.dll'"
rm -rf "$unzipped"
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
