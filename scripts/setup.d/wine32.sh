#!/usr/bin/env bash
# Lets this machine's kernel, which refuses 32-bit programs, run them through the
# emulator: i386 ELF registered with binfmt_misc, with the F flag so that the
# interpreter is opened once, here, and works inside Wine's and the lab's namespaces.
set -euo pipefail
binfmt=${VELMORA_BINFMT_DIR:-/proc/sys/fs/binfmt_misc}
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
if [ ! -e "$binfmt/qemu-i386" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' >"$binfmt/register"
fi
if grep -qx disabled "$binfmt/qemu-i386"; then
    echo "i386 emulation is registered but disabled" >&2
    exit 1
fi
