#!/usr/bin/env bash
# scripts/setup.sh on a simulated machine: stand-ins for dpkg-query, dpkg, apt-get and
# mount come first on PATH, answer from a state folder and record every call; APT's
# sources, the binfmt_misc folder and the set-up hooks are folders of the test's own.
# Usage: setup_test.sh SCENARIO
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
scenario=$1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export FAKE=$work/fake PATH=$here/standins:$PATH
export VELMORA_APT_DIR=$work/apt VELMORA_SETUP_STATE=$work/state
export VELMORA_SETUP_HOOKS=$work/hooks VELMORA_BINFMT_DIR=$work/binfmt
export VELMORA_APT_RETRY_DELAY=0
mkdir -p "$FAKE" "$VELMORA_APT_DIR/sources.list.d" "$VELMORA_SETUP_HOOKS" "$VELMORA_BINFMT_DIR"
touch "$FAKE/calls" "$FAKE/installed"
cat >"$VELMORA_APT_DIR/sources.list.d/debian.sources" <<'SOURCES'
Types: deb
# an archive of the test's own
URIs: http://archive.test/debian
Suites: bookworm bookworm-updates
Components: main

Types: deb
URIs: http://archive.test/debian-security
Suites: bookworm-security
Components: main
SOURCES
# Registering writes the entry that the kernel would then show.
ln -s qemu-i386 "$VELMORA_BINFMT_DIR/register"
cp "$root/scripts/setup.d/wine32.sh" "$VELMORA_SETUP_HOOKS/"
for f in $(awk '$1 == "feature" {sub(/[ :].*/, "", $2); print $2}' "$root/scripts/packages.list"); do
    [ -e "$VELMORA_SETUP_HOOKS/$f.sh" ] && continue
    printf '#!/bin/sh\necho "hook %s" >>"$FAKE/calls"\n' "$f" >"$VELMORA_SETUP_HOOKS/$f.sh"
    chmod +x "$VELMORA_SETUP_HOOKS/$f.sh"
done

# Every package of the list, and those of one feature.
all_packages() { awk '$1 != "feature" && $1 !~ /^#/ && NF {print $1}' "$root/scripts/packages.list" | sort -u; }
feature_packages() {
    awk -v f="$1" '$1 == "feature" {sub(/[ :].*/, "", $2); in_f = ($2 == f); next}
                   in_f && $1 !~ /^#/ && NF {print $1}' "$root/scripts/packages.list"
}
everything_installed() {
    all_packages | while read -r p; do
        case $p in
            qemu-user-static | qemu-system-x86) echo "$p 1:10.0.2+ds-2~bpo12+1" ;;
            *) echo "$p 1.0" ;;
        esac
    done >"$FAKE/installed"
    echo i386 >"$FAKE/architectures"
    echo enabled >"$VELMORA_BINFMT_DIR/qemu-i386"
}

failures=0
check() {  # check DESCRIPTION COMMAND...
    if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}
run_setup() {
    status=0
    output=$("$root/scripts/setup.sh" "$@" 2>&1) || status=$?
    [ -z "$output" ] || printf '%s\n' "$output" | sed 's/^/  | /'
}
installed() { grep -q "^$1 " "$FAKE/installed"; }
all_installed() {
    local p
    for p in $(all_packages); do installed "$p" || { echo "  not installed: $p"; return 1; }; done
}
called() { grep -qE "$1" "$FAKE/calls"; }
lines_matching() { grep -cE "$1" <<<"$output"; }

case $scenario in
    fresh)
        run_setup
        check "ends with status 0" test "$status" = 0
        check "installs every package of the list" all_installed
        check "reads the indexes first" called '^apt-get update'
        check "adds the i386 architecture" grep -qx i386 "$FAKE/architectures"
        check "adds bookworm-backports from the address the machine's sources use" \
            grep -qx 'URIs: http://archive.test/debian' "$VELMORA_APT_DIR/sources.list.d/velmora-bookworm-backports.sources"
        check "takes qemu-user-static from bookworm-backports" \
            called '^apt-get install .*-t bookworm-backports qemu-user-static$'
        check "registers i386 emulation" grep -q ':qemu-i386:M::' "$VELMORA_BINFMT_DIR/qemu-i386"
        check "finishes every feature" test "$(grep -c '^hook ' "$FAKE/calls")" = \
            "$(($(grep -c '^feature ' "$root/scripts/packages.list") - 1))"
        check "records nothing as unavailable" test -z "$(ls "$VELMORA_SETUP_STATE/unavailable")"
        ;;
    installed)
        everything_installed
        run_setup
        check "ends with status 0" test "$status" = 0
        check "calls apt-get not at all" bash -c "! grep -q '^apt-get' '$FAKE/calls'"
        check "leaves the architectures alone" bash -c "! grep -q -- '--add-architecture' '$FAKE/calls'"
        check "writes no APT source" test -z "$(ls "$VELMORA_APT_DIR/sources.list.d" | grep -v debian.sources)"
        check "says nothing" test -z "$output"
        ;;
    update-fails)
        echo 2 >"$FAKE/update-failures"
        run_setup
        check "ends with status 0" test "$status" = 0
        check "tries the update twice" test "$(grep -c '^apt-get update' "$FAKE/calls")" = 2
        check "says so in one line, with apt's error" \
            test "$(lines_matching 'apt-get update failed twice \(E: Failed to fetch .*Mirror sync')" = 1
        check "installs every package of the list all the same" all_installed
        ;;
    update-fails-once)
        echo 1 >"$FAKE/update-failures"
        run_setup
        check "ends with status 0" test "$status" = 0
        check "retries the update" test "$(grep -c '^apt-get update' "$FAKE/calls")" = 2
        check "reports no failure" test "$(lines_matching 'update failed')" = 0
        ;;
    wine32-undeliverable)
        echo 'wine32:i386' >"$FAKE/uninstallable"
        run_setup
        check "ends with status 0" test "$status" = 0
        check "one line names the package, apt's error and the tests not run" \
            test "$(lines_matching '^setup: wine32:i386 could not be installed \(apt: E: Unable to correct problems, you have held broken packages\.\); not run: the Wine tests on VELMORA\.x32$')" = 1
        check "records wine32 as unavailable, with the reason" \
            grep -q 'wine32:i386 could not be installed' "$VELMORA_SETUP_STATE/unavailable/wine32"
        check "still installs and records nothing against the 64-bit Wine" \
            bash -c "grep -q '^wine64 ' '$FAKE/installed' && [ ! -e '$VELMORA_SETUP_STATE/unavailable/wine64' ]"
        check "does not register i386 emulation for it" test ! -e "$VELMORA_BINFMT_DIR/qemu-i386"
        # A later run that gets it clears the record.
        : >"$FAKE/uninstallable"
        run_setup
        check "a later run that installs it clears the record" \
            bash -c "[ '$status' = 0 ] && [ ! -e '$VELMORA_SETUP_STATE/unavailable/wine32' ]"
        ;;
    ser2net-undeliverable)
        echo ser2net >"$FAKE/uninstallable"
        run_setup
        check "ends with status 0" test "$status" = 0
        check "one line names the package, apt's error and the tests not run" \
            test "$(lines_matching '^setup: ser2net could not be installed \(apt: E: .*\); not run: the network ports.* tests against a real device server \(ser2net\)$')" = 1
        check "records ser2net as unavailable, with the reason" \
            grep -q 'ser2net could not be installed' "$VELMORA_SETUP_STATE/unavailable/ser2net"
        check "installs everything else" bash -c \
            "for p in $(all_packages | grep -vx ser2net | tr '\n' ' '); do grep -q \"^\$p \" '$FAKE/installed' || exit 1; done"
        check "does not finish ser2net, which is not there" bash -c "! grep -qx 'hook ser2net' '$FAKE/calls'"
        ;;
    core-undeliverable)
        echo libgtest-dev >"$FAKE/uninstallable"
        run_setup
        check "fails the set-up" test "$status" != 0
        check "says which package and why" \
            test "$(lines_matching '^setup: libgtest-dev could not be installed \(apt: E: .*\); cannot go on without it')" = 1
        ;;
    old-emulator)
        everything_installed
        sed -i 's/^qemu-user-static .*/qemu-user-static 1:7.2+dfsg-7/' "$FAKE/installed"
        run_setup
        check "ends with status 0" test "$status" = 0
        check "installs only qemu-user-static, from bookworm-backports" \
            test "$(grep '^apt-get install' "$FAKE/calls")" = \
            "apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user-static"
        ;;
    no-archive-address)
        rm "$VELMORA_APT_DIR/sources.list.d/debian.sources"
        run_setup
        check "ends with status 0" test "$status" = 0
        check "records wine32 as unavailable: no address for bookworm-backports" \
            grep -q 'needs bookworm-backports: no APT source for bookworm' "$VELMORA_SETUP_STATE/unavailable/wine32"
        check "writes no source with a made-up address" \
            test ! -e "$VELMORA_APT_DIR/sources.list.d/velmora-bookworm-backports.sources"
        ;;
    one-feature)
        run_setup core
        check "ends with status 0" test "$status" = 0
        check "installs the core packages" bash -c \
            "for p in $(feature_packages core | tr '\n' ' '); do grep -q \"^\$p \" '$FAKE/installed' || exit 1; done"
        check "installs nothing else" test "$(wc -l <"$FAKE/installed")" = "$(feature_packages core | wc -l)"
        check "adds no architecture" test ! -e "$FAKE/architectures"
        ;;
    *)
        echo "no scenario '$scenario'" >&2
        exit 2
        ;;
esac
exit $((failures > 0))
