#!/usr/bin/env bash
# Installs what the project needs on a Debian 12 machine, from scripts/packages.list:
# the named features, or all of them. Quick and quiet when everything is there.
#
# An index that fails to download is retried once and then reported: the install that
# follows decides. A package the archive cannot deliver is reported in one line; an
# optional feature is then recorded as unavailable (build/setup/unavailable/FEATURE
# holds the reason, and the test command counts its tests as skipped), any other
# feature fails the set-up.
#
# Usage: setup.sh [FEATURE...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=${VELMORA_PACKAGE_LIST:-$root/scripts/packages.list}
state=${VELMORA_SETUP_STATE:-$root/build/setup}
apt_dir=${VELMORA_APT_DIR:-/etc/apt}
hooks=${VELMORA_SETUP_HOOKS:-$root/scripts/setup.d}
export DEBIAN_FRONTEND=noninteractive

say() { echo "setup: $*"; }

# --- the list ---------------------------------------------------------------
features=()
declare -A what optional members
current=
while read -r first rest; do
    case $first in
        '' | '#'*) continue ;;
        feature)
            current=${rest%%[ :]*}
            features+=("$current")
            [[ $rest == *"(optional):"* ]] && optional[$current]=1
            what[$current]=${rest#*: }
            ;;
        *)
            [ -n "$current" ] || { say "$list: a package before any feature"; exit 1; }
            members[$current]+="$first ${rest:-}"$'\n'
            ;;
    esac
done <"$list"

wanted=("$@")
((${#wanted[@]})) || wanted=("${features[@]}")
for f in "${wanted[@]}"; do
    [ -n "${what[$f]:-}" ] || { say "no feature '$f' in $list"; exit 1; }
done
mkdir -p "$state/unavailable"

# --- after the packages ------------------------------------------------------------
# scripts/setup.d/FEATURE.sh, where there is one, finishes a feature whose packages are
# in (it runs every time: a registration may not survive a reboot). Its exit status 3
# means the archive could not deliver something, and its last line says what.
after_install() {
    local f hook out status failed=0
    for f in "${wanted[@]}"; do
        hook=$hooks/$f.sh
        [ -x "$hook" ] && [ ! -e "$state/unavailable/$f" ] || continue
        status=0
        out=$("$hook" 2>&1) || status=$?
        [ -n "$out" ] && printf '%s\n' "$out"
        if ((status == 3)) && [ -n "${optional[$f]:-}" ]; then
            say "$(tail -n1 <<<"$out"); not run: ${what[$f]}"
            tail -n1 <<<"$out" >"$state/unavailable/$f"
        elif ((status != 0)); then
            say "finishing $f failed (status $status); cannot go on: ${what[$f]}"
            failed=1
        fi
    done
    return "$failed"
}

# --- what is missing ----------------------------------------------------------
installed_version() { dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null | sed -n 's/^install ok installed //p' || true; }

is_present() {  # is_present PACKAGE [SUITE [MINIMUM]]
    local version
    version=$(installed_version "$1")
    [ -n "$version" ] || return 1
    [ -z "${3:-}" ] || dpkg --compare-versions "$version" ge "$3"
}

declare -A missing  # feature -> "package suite" lines still to install
any_missing=0 need_i386=0
suites=()
for f in "${wanted[@]}"; do
    rm -f "$state/unavailable/$f"
    while read -r name suite minimum; do
        [ -n "$name" ] || continue
        is_present "$name" "$suite" "$minimum" && continue
        missing[$f]+="$name ${suite:-}"$'\n'
        any_missing=1
        [[ $name == *:i386 ]] && need_i386=1
        [ -n "$suite" ] && suites+=("$suite")
    done <<<"${members[$f]}"
done
((any_missing)) || { after_install; exit $?; }

# --- the archive ----------------------------------------------------------------
if ((need_i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi

# The address of the machine's own archive, for a suite such as bookworm-backports:
# the URI of the first source that serves the base suite (bookworm).
archive_uri() {  # archive_uri BASE-SUITE
    local base=$1 file
    for file in "$apt_dir"/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v base="$base" '
            function check() { if (uri != "" && index(suites, " " base " ")) { print uri; exit 0 }
                               uri = ""; suites = "" }
            /^URIs:/ { uri = $2 }
            /^Suites:/ { $1 = ""; suites = $0 " " }
            /^[[:space:]]*$/ { check() }
            END { check() }' "$file"
    done | head -n1 | grep . && return
    [ -f "$apt_dir/sources.list" ] || return 0
    sed -E 's/\[[^]]*\] *//' "$apt_dir/sources.list" | awk -v base="$base" '$1 == "deb" && $3 == base { print $2; exit }'
}

declare -A no_suite  # suite -> why it could not be added
for suite in $(printf '%s\n' "${suites[@]:+${suites[@]}}" | sort -u); do
    grep -rqsw -- "$suite" "$apt_dir/sources.list" "$apt_dir/sources.list.d/" && continue
    uri=$(archive_uri "${suite%%-*}")
    if [ -z "$uri" ]; then
        no_suite[$suite]="no APT source for ${suite%%-*} to take the archive's address from"
        continue
    fi
    printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$uri" "$suite" >"$apt_dir/sources.list.d/velmora-$suite.sources"
done

first_error() { grep -m1 -E '^(E|Err):' <<<"$1" || grep -m1 . <<<"$1" || echo "no message"; }

update_log=
if ! update_log=$(apt-get update -qq 2>&1); then
    sleep "${VELMORA_APT_RETRY_DELAY:-5}"
    if ! update_log=$(apt-get update -qq 2>&1); then
        say "apt-get update failed twice ($(first_error "$update_log")); going on with the package lists there are"
    fi
fi

# --- installing -------------------------------------------------------------------
install() {  # install SUITE PACKAGE...: apt's output on failure
    local target=()
    [ -z "$1" ] || target=(-t "$1")
    apt-get install -y -qq --no-install-recommends "${target[@]}" "${@:2}" 2>&1 >/dev/null
}

for f in "${wanted[@]}"; do
    [ -n "${missing[$f]:-}" ] || continue
    names=$(awk 'NF {print $1}' <<<"${missing[$f]}" | paste -sd' ')
    say "installing $names ($f)"
    reason=
    # One apt call a suite; a package that will not go in is then tried alone, so that
    # the line names it and says what apt said of it.
    for suite in $(awk 'NF {print ($2 == "" ? "-" : $2)}' <<<"${missing[$f]}" | sort -u); do
        group=$(awk -v s="$suite" 'NF && ($2 == "" ? "-" : $2) == s {print $1}' <<<"${missing[$f]}")
        [ "$suite" = - ] && suite=
        if [ -n "$suite" ] && [ -n "${no_suite[$suite]:-}" ]; then
            reason="$(head -n1 <<<"$group") needs $suite: ${no_suite[$suite]}"
            break
        fi
        # shellcheck disable=SC2086
        log=$(install "$suite" $group) && continue
        for p in $group; do
            log=$(install "$suite" "$p") && continue
            reason="$p could not be installed (apt: $(first_error "$log"))"
            break 2
        done
    done
    [ -n "$reason" ] || continue
    if [ -n "${optional[$f]:-}" ]; then
        say "$reason; not run: ${what[$f]}"
        echo "$reason" >"$state/unavailable/$f"
    else
        say "$reason; cannot go on without it: ${what[$f]}"
        exit 1
    fi
done
after_install
