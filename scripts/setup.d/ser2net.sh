#!/usr/bin/env bash
# ser2net's package enables a system service whose default configuration serves
# /dev/ttyS0 and /dev/ttyS1 on localhost: on this machine ttyS0 is the console. The tests
# start ser2net themselves with a configuration of their own, so a service that still
# has the package's configuration is stopped and disabled; one configured by someone is
# left alone.
set -uo pipefail
config=/etc/ser2net.yaml
command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ] || exit 0
systemctl is-enabled --quiet ser2net 2>/dev/null || systemctl is-active --quiet ser2net 2>/dev/null ||
    exit 0
packaged=$(dpkg-query -W -f='${Conffiles}\n' ser2net 2>/dev/null | awk -v f="$config" '$1 == f { print $2 }')
[ -n "$packaged" ] && [ "$(md5sum <"$config" 2>/dev/null | cut -d' ' -f1)" = "$packaged" ] || exit 0
systemctl disable --now ser2net >/dev/null 2>&1 &&
    echo "setup: stopped and disabled the ser2net service (its packaged configuration serves /dev/ttyS0); the tests start their own"
exit 0
