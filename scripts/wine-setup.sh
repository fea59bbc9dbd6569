#!/usr/bin/env bash
# Installs Wine for both Windows targets and user-mode emulation for 32-bit programs,
# which this machine's kernel refuses to run: wine64; wine32 (i386 multiarch); qemu-user
# 10 from bookworm-backports (bookworm's 7.2 cannot start 32-bit Wine), registered with
# binfmt_misc for i386 ELF with the F flag. Idempotent.
set -euo pipefail

need=()
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
sources=/etc/apt/sources.list.d/debian-backports.sources
if ! grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d/; then
    cat >"$sources" <<'SOURCES'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
fi
for p in wine wine64 wine32:i386; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || need+=("$p")
done
qemu_major=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null | sed -E 's/^[0-9]+://; s/\..*//')
if ((${#need[@]})) || [ "${qemu_major:-0}" -lt 10 ]; then
    echo "wine-setup: installing ${need[*]} qemu-user-static (backports)"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    ((${#need[@]})) && apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
    apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user-static >/dev/null
fi

binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
if [ ! -e "$binfmt/qemu-i386" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' >"$binfmt/register"
fi
grep -q '^enabled' "$binfmt/qemu-i386"
