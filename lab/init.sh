#!/bin/busybox sh
# shellcheck shell=dash
# The guest's first process. Loads the modules, puts a tmpfs over the host's root
# (shared read-only over 9p), chroots into it and serves a shell on each of the two
# virtio-serial control ports. The host keeps one connection to each for the whole run.
# Only ever the emulated machine's PID 1 (build.sh copies it into the initramfs): run
# anywhere else it would remount /proc and /dev and write to that machine's console.
[ "$$" = 1 ] || { echo "lab/init.sh runs only as the emulated machine's init" >&2; exit 1; }
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
# The guest's own console: QEMU's first serial port, which the host reads as a log.
say() { echo "lab-init: $* (t=$(cut -d' ' -f1 /proc/uptime)s)" >/dev/ttyS0; }
for m in $(cat /modules.wanted); do modprobe "$m" || say "modprobe $m failed"; done

# msize 512000 is several times faster than the default for running host programs.
# cache=mmap: no data cache, so a file the host rewrote is read anew (mmap still works).
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=mmap hostroot /host ||
    { say "9p mount failed"; poweroff -f; }
mount -t tmpfs -o size=1536m ov /ov
mkdir -p /ov/upper /ov/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/ov/upper,workdir=/ov/work /newroot ||
    { say "overlay mount failed"; poweroff -f; }
r=/newroot
for a in $(cat /proc/cmdline); do
    case $a in lab.share=*) share=${a#lab.share=} ;; lab.checkout=*) checkout=${a#lab.checkout=} ;; esac
done
# The mounts below cover folders of the host's root (/tmp, /run, /dev/shm): a checkout in
# one of them would be hidden. It is held here and, if hidden, put back in its place.
if [ -n "$checkout" ]; then
    mkdir -p /checkout
    mount -o bind "$r$checkout" /checkout || say "the checkout $checkout is not in the host's root"
fi
mount -t proc proc $r/proc
mount -t sysfs sys $r/sys
mount -t devtmpfs dev $r/dev
mkdir -p $r/dev/pts $r/dev/shm
mount -t devpts -o ptmxmode=666 devpts $r/dev/pts
mount -t tmpfs shm $r/dev/shm
mount -t tmpfs run $r/run
mount -t tmpfs tmp $r/tmp
if [ -n "$checkout" ] && [ ! -e "$r$checkout/lab/init.sh" ] && [ -e /checkout/lab/init.sh ]; then
    mkdir -p "$r$checkout" && mount -o bind /checkout "$r$checkout" ||
        say "the checkout $checkout stays hidden"
fi
[ -n "$checkout" ] && umount /checkout 2>/dev/null
# The host's files for this run, writable, coherent with the host (no cache).
if [ -n "$share" ]; then
    mkdir -p "$r$share"
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 share "$r$share" || say "share mount failed"
fi
hostname lab-guest
# The loopback, the one network the machine has: device servers for the tests listen there.
# glibc's AI_ADDRCONFIG counts no address but 127.0.0.1 as configured, so a server that looks
# up its listening address that way (ser2net does) would find none: give lo a second one.
ip link set lo up && ip addr add 127.0.1.1/8 dev lo || say "no loopback"

# No udev here: find the control ports by their names.
for p in /sys/class/virtio-ports/*; do
    name=$(cat "$p/name" 2>/dev/null)
    [ -n "$name" ] || continue
    ( while true; do
        chroot $r /bin/sh -c 'cd /tmp; export HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin; exec /bin/sh' \
            0<>"/dev/${p##*/}" 1>&0 2>&0
        sleep 0.2
    done ) &
done
say "ready: $(echo /dev/ttyS1 /dev/ttyUSB*)"
while true; do sleep 3600; done
