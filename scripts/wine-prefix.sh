#!/usr/bin/env bash
# Makes (once) and readies a throwaway Wine prefix for one Windows target, kept off
# the machine's real serial devices, and leaves its wineserver running for the tests
# (its output goes to build/logs/wineserver-TARGET.log).
# Usage: wine-prefix.sh win32|win64     (stop it with: wine-prefix.sh TARGET --stop)
#
# Wine's device manager links serial devices to COM names at every start, COM1 to the
# first on-board UART (this machine's console) first. Every COM name is therefore listed
# in the registry: the test ports (COM7, COM8, COM12) at links under the prefix's ports/
# folder that a test points at its own pseudo-terminal, every other one at a path that
# does not exist. Wine also lists every one of them in the SERIALCOMM map (Windows lists
# only the ports present there), so once the session is up the map is cut down to the
# test ports; COM7 is described in the device registry the way Windows describes a USB
# adapter's port, so that `velmora ports` finds its friendly name.
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
# A block for the lab's devices (lab/consoles.py gives each device of its machine one):
# linked like the test ports, but left out of the SERIALCOMM map, which the tests read back.
mapfile -t lab_ports < <(seq 16 47)
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
        [[ " ${test_ports[*]} ${lab_ports[*]} " == *" $n "* ]] && path=$WINEPREFIX/ports/com$n
        printf '"COM%d"="%s"\n' "$n" "$path"
    done
    device='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\FTDIBUS\VID_0403+PID_6001+VELMORA7\0000'
    printf '\n[%s]\n"ClassGUID"="{4d36e978-e325-11ce-bfc1-08002be10318}"\n"Class"="Ports"\n' "$device"
    printf '"FriendlyName"="USB Serial Port (COM7)"\n"DeviceDesc"="USB Serial Port"\n'
    printf '\n[%s\\Device Parameters]\n"PortName"="COM7"\n' "$device"
} >"$reg"
"$WINELOADER" regedit /S "$reg" >/dev/null 2>&1
"$server" -w
for link in "$WINEPREFIX"/dosdevices/com*; do
    [ -L "$link" ] || continue
    case $(readlink "$link") in /dev/tty*|/dev/pts/*) rm -f "$link" ;; esac
done
for n in "${test_ports[@]}" "${lab_ports[@]}"; do
    ln -sfn "$WINEPREFIX/ports/com$n" "$WINEPREFIX/dosdevices/com$n"
done
# The persistent server (each test's program then starts in a fraction of a second) runs
# in the foreground of a session that it does not lead. Left to start itself it would lead
# one, and a session leader without a terminal takes the first terminal it opens as its
# own: a test's pseudo-terminal behind a COM port. Each test that closes its end then hangs
# that terminal up, and on SIGHUP the server writes every object it holds to its error
# output (Wine's server keeps that debugging hook), thousands of lines a time.
log=$root/build/logs/wineserver-$target.log
mkdir -p "$(dirname "$log")"
# shellcheck disable=SC2016  # expanded by that shell
setsid sh -c '"$1" -f -p </dev/null >"$2" 2>&1 &' sh "$server" "$log"
for _ in $(seq 1 100); do "$server" -k0 2>/dev/null && break; sleep 0.1; done
"$server" -k0 2>/dev/null || { echo "the Wine server did not start ($log)" >&2; exit 1; }

# The session's first program starts its services; the mount manager among them links
# the detected serial devices again and fills the SERIALCOMM map. Both are mended once
# it has done so, and stay mended while the persistent server runs.
serialcomm='HKLM\HARDWARE\DEVICEMAP\SERIALCOMM'
for _ in $(seq 1 50); do
    "$WINELOADER" reg query "$serialcomm" /v '\Device\Serial254' >/dev/null 2>&1 && break
    sleep 0.2
done
"$WINELOADER" reg delete "$serialcomm" /va /f >/dev/null 2>&1
for n in "${test_ports[@]}"; do
    "$WINELOADER" reg add "$serialcomm" /v "\\Device\\Serial$((n - 1))" /t REG_SZ /d "COM$n" /f >/dev/null 2>&1
done
for link in "$WINEPREFIX"/dosdevices/com*; do
    [ -L "$link" ] || continue
    case $(readlink "$link") in /dev/tty*|/dev/pts/*) rm -f "$link" ;; esac
done
