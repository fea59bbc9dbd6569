#!/usr/bin/env bash
# Builds the real-driver lab into build/lab from Debian packages: the distribution's own
# kernel (fetched with apt-get download and unpacked, never installed) and a busybox
# initramfs that loads the few modules the guest needs. Quick when it is there.
#
# A kernel package that cannot be fetched marks the lab unavailable for the test
# command (build/setup/unavailable/lab holds the reason) and exits 3.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/lab
mkdir -p "$out/debs"
cd "$out"

unavailable() {
    mkdir -p "$root/build/setup/unavailable"
    echo "$1" >"$root/build/setup/unavailable/lab"
    echo "lab: unavailable: $1" >&2
    exit 3
}

for tool in qemu-system-x86_64 busybox dpkg-deb apt-get gzip; do
    command -v "$tool" >/dev/null || unavailable "$tool is not installed (scripts/setup.sh lab)"
done
busybox --list | grep -x depmod >/dev/null || unavailable "busybox has no depmod applet (busybox-static)"

# The kernel the distribution's metapackage points at, unless VELMORA_LAB_KERNEL names one.
pkg=${VELMORA_LAB_KERNEL:-}
if [ -z "$pkg" ]; then
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9].*-amd64$/ {print $2; exit}')
    if [ -z "$pkg" ]; then
        apt-get update -qq >/dev/null 2>&1 || true
        pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
            awk '/Depends: linux-image-[0-9].*-amd64$/ {print $2; exit}')
    fi
fi
[ -n "$pkg" ] || unavailable "no kernel package found behind linux-image-amd64"
kver=${pkg#linux-image-}

# The 8250 driver is built into the kernel; the rest are modules: what the machine needs,
# xhci and ftdi_sio for QEMU's FTDI adapter, vhci-hcd for the software adapters
# (lab/adapters) and the driver each of their families names in its record.
drivers=$(python3 -B "$root/lab/adapters/serve.py" --families |
    python3 -c 'import json, sys; print(" ".join(sorted({r["driver"] for r in json.load(sys.stdin)})))') ||
    unavailable "the software adapters' program did not say its families"
wanted="virtio_pci 9pnet_virtio 9p overlay virtio_console xhci_pci ftdi_sio vhci-hcd $drivers"

if [ -f kver ] && [ "$(cat kver)" = "$kver" ] && [ -f initramfs.gz ] &&
    [ initramfs.gz -nt "$root/lab/init.sh" ] && [ initramfs.gz -nt "$root/lab/build.sh" ] &&
    [ "$(cat modules.wanted 2>/dev/null)" = "$wanted" ]; then
    exit 0
fi

start=$(date +%s.%N)
if ! ls debs/"$pkg"_*.deb >/dev/null 2>&1; then
    (cd debs && apt-get download "$pkg" >/dev/null 2>&1) ||
        unavailable "apt-get download $pkg failed"
fi
if [ ! -f kernel/boot/vmlinuz-"$kver" ]; then
    rm -rf kernel
    mkdir kernel
    dpkg-deb -x debs/"$pkg"_*.deb kernel
fi
modules=kernel/lib/modules/$kver
# The package's maintainer scripts make modules.dep; it is unpacked, not installed.
[ -f "$modules/modules.dep" ] || busybox depmod -b kernel "$kver"

# The initramfs: static busybox, the modules wanted with what they depend on, /init.
tree=$out/initramfs.d
rm -rf "$tree"
mkdir -p "$tree"/{bin,proc,sys,dev,host,ov,newroot} "$tree/lib/modules/$kver"
cp /bin/busybox "$tree/bin/busybox"
for m in $wanted; do
    # Module files are named with dashes or underscores, whichever the kernel chose.
    line=$(grep -E "/${m//[-_]/[-_]}\.ko(\.xz)?:" "$modules/modules.dep") ||
        unavailable "the kernel $kver has no module $m"
    echo "${line%%:*}"
    for dep in ${line#*:}; do echo "$dep"; done
done | sort -u | while read -r f; do
    mkdir -p "$tree/lib/modules/$kver/$(dirname "$f")"
    cp "$modules/$f" "$tree/lib/modules/$kver/$f"
done
cp "$modules/modules.builtin" "$modules/modules.order" "$tree/lib/modules/$kver/"
busybox depmod -b "$tree" "$kver"
echo "$wanted" >"$tree/modules.wanted"
cp "$root/lab/init.sh" "$tree/init"
chmod +x "$tree/init"
(cd "$tree" && find . | busybox cpio -o -H newc -R 0:0 2>/dev/null) | gzip -1 >initramfs.gz.new
mv initramfs.gz.new initramfs.gz
echo "$wanted" >modules.wanted
rm -rf "$tree"
echo "$kver" >kver
rm -f "$root/build/setup/unavailable/lab"
echo "lab: kernel $kver, initramfs $(du -h initramfs.gz | cut -f1), built in $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}') s"
