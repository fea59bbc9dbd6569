#!/usr/bin/env bash
# Makes (once) and readies a throwaway Wine prefix for one Windows target, kept off
# the machine's real serial devices, and leaves its wineserver running for the tests.
# Usage: wine-prefix.sh win32|win64     (stop it with: wine-prefix.sh TARGET --stop)
#
# Wine's device manager links serial devices to COM names at every start, COM1 to the
# first on-board UART (this machine's console) first. Every COM name is therefore listed
# in the registry: the test ports (COM7, COM8, COM12) at links under the prefix's ports/
# folder that a test points at its own pseudo-terminal, every other one at a path that
# does not exist.
set -euo pipefail
target=$1
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=$root/build/wine-$target
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
case $target in
    win32) export WINEARCH=win32 WINELOADER=/usr/lib/wine/wine ;;
    win64) export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 ;;
    *) echo "usage: $0 win32|win64 [--stop]" >&2; exit 2 ;;
esac
server=/usr/lib/wine/wineserver$([ "$target" = win32 ] && echo 32 || echo 64)
[ -x "$server" ] || server=wineserver
if [ "${2:-}" = --stop ]; then
    [ -d "$WINEPREFIX" ] && "$server" -k 2>/dev/null || true
    exit 0
fi

test_ports=(7 8 12)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINELOADER" wineboot -i >/dev/null 2>&1
    "$server" -w
fi
mkdir -p "$WINEPREFIX/ports"
reg=$WINEPREFIX/velmora-ports.reg
{
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    for n in $(seq 1 255); do
        path=/nonexistent/velmora-no-port
        [[ " ${test_ports[*]} " == *" $n "* ]] && path=$WINEPREFIX/ports/com$n
        printf '"COM%d"="%s"\n' "$n" "$path"
    done
} >"$reg"
"$WINELOADER" regedit /S "$reg" >/dev/null 2>&1
"$server" -w
for link in "$WINEPREFIX"/dosdevices/com*; do
    [ -L "$link" ] || continue
    case $(readlink "$link") in /dev/tty*|/dev/pts/*) rm -f "$link" ;; esac
done
for n in "${test_ports[@]}"; do ln -sfn "$WINEPREFIX/ports/com$n" "$WINEPREFIX/dosdevices/com$n"; done
"$server" -p  # persistent: each test's program then starts in a fraction of a second
