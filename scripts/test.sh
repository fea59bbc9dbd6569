#!/usr/bin/env bash
# Installs what is missing, builds every target and runs every test. Every tool's full
# output goes to a file under build/logs/ (the lab's guest console to build/lab/), and the
# log says which; what it shows itself is one line a step, the lab's own lines, and each
# failure with where its output is. It ends with one line per test that failed or was
# skipped, with the reason, then the summary "N passed, N failed, N skipped"; the exit
# status is non-zero when anything failed. Tests are skipped only when the package
# archive could not deliver what they need (scripts/setup.sh says what, in one line each).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
logs=build/logs

scripts/setup.sh || {
    echo "FAIL set-up: scripts/setup.sh failed (its lines are above)"
    echo "0 passed, 1 failed, 0 skipped"
    exit 1
}
rm -rf "$logs"
mkdir -p "$logs"
echo "== every tool's full output: $PWD/$logs/"

passed=0
failed=0
skipped=0
problems=()  # "FAIL NAME: why" or "SKIP NAME: why", for the end of the log

fail() {  # fail NAME WHY: one failure, said now and listed at the end
    echo "FAIL $1: $2"
    problems+=("FAIL $1: $2")
    failed=$((failed + 1))
}
step() {  # step NAME LOG COMMAND...: one pass or one failure; the command's output goes to LOG
    local t0=$SECONDS status=0
    "${@:3}" >"$2" 2>&1 || status=$?
    if ((status == 0)); then
        echo "ok $1 ($((SECONDS - t0)) s): $2"
        passed=$((passed + 1))
    else
        fail "$1" "exit status $status; its output: $2"
        tail -n 15 "$2" | sed 's/^/    | /'
    fi
    return "$status"
}
unavailable() {  # unavailable FEATURE: true, with the reason, when set-up could not get it
    [ -f "build/setup/unavailable/$1" ] && cat "build/setup/unavailable/$1"
}
skip() {  # skip WHAT REASON: the tests named on standard input, one a line, are skipped
    local name n=0
    while IFS= read -r name; do
        [ -n "$name" ] || continue
        problems+=("SKIP $name: $2")
        n=$((n + 1))
    done
    echo "skip $1 ($n): $2"
    skipped=$((skipped + n))
}
build() { cmake --preset "$1" && cmake --build --preset "$1"; }

step "build native" "$logs/build-native.log" build native
step "build win32" "$logs/build-win32.log" build win32
step "build win64" "$logs/build-win64.log" build win64

# A test's first gtest message (where, and what) from ctest's full log (LastTest.log), or
# else its last line of output. ctest_reason LOG TEST-NAME
ctest_reason() {
    awk -v want="$2" '
        /^[0-9]+\/[0-9]+ Test: / {
            sub(/^[0-9]+\/[0-9]+ Test: /, ""); sub(/  # .*/, ""); here = ($0 == want); next }
        !here { next }
        /^Output:$/ { output = 1; next }
        /^<end of output>$/ { print (found != "" ? found : last); exit }
        !output || /^-+$/ { next }
        taking && (!NF || /^\[/) { taking = 0 }
        taking { found = found " " $0; next }
        found == "" && /: (Failure|Skipped)$/ {
            found = $0; sub(/.*\//, "", found); sub(/ (Failure|Skipped)$/, "", found); taking = 1 }
        NF { last = $0 }' "$1" | tr -s ' ' | cut -c1-300
}

# ctest's own count: each test counts once. Its lines go to build/logs/ctest-NAME.log, every
# test's own output (ctest's LastTest.log) to ctest-NAME-output.log; each test that failed
# or skipped itself is named here. count_ctest NAME PRESET [CTEST-ARGUMENTS...]
count_ctest() {
    local name=$1 preset=$2 log=$logs/ctest-$1.log output=$logs/ctest-$1-output.log
    local t0=$SECONDS summary total bad skips test why dir=build/$2 parallel=(-j2)
    # The Wine tests are the native build's, and run one at a time.
    [ "$preset" = wine ] && dir=build/native parallel=()
    ctest --preset "$preset" "${parallel[@]}" "${@:3}" >"$log" 2>&1
    cp "$dir/Testing/Temporary/LastTest.log" "$output" 2>/dev/null
    summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    if [ -z "$total" ] || [ -z "$bad" ]; then
        fail "ctest $name" "no summary; its output: $log"
        tail -n 15 "$log" | sed 's/^/    | /'
        return
    fi
    # ctest counts a test that skipped itself among those that passed.
    skips=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$log")
    passed=$((passed + total - bad - skips))
    echo "$([ "$bad" = 0 ] && echo ok || echo FAIL) ctest $name: $((total - bad - skips)) passed," \
        "$bad failed, $skips skipped ($((SECONDS - t0)) s): $log, $output"
    failed=$((failed + bad))
    while read -r test why; do
        problems+=("FAIL $test ($why, ctest $name): $(ctest_reason "$output" "$test") [$output]")
        echo "FAIL $test ($why): its output: $output"
    done < <(sed -nE '/^The following tests FAILED:/,/^$/ s/^\s*[0-9]+ - (.*) \(([^()]*)\)$/\1\t\2/p' \
        "$log" | sed -E 's/  # [^\t]*//' | awk -F'\t' '{ print $1 " " $2 }')
    while read -r test; do
        skip "$test" "$(ctest_reason "$output" "$test")" <<<"$test"
    done < <(sed -nE 's/^\s*[0-9]+ - (.*) \(Skipped\)$/\1/p' "$log" | sed -E 's/  # .*//')
}

# Unit, serial-layer, module and console tests.
[ -x build/native/tests/velmora_unit_tests ] && count_ctest native native

# The same tests again with AddressSanitizer and UndefinedBehaviorSanitizer: any report
# fails its test.
if step "build asan" "$logs/build-asan.log" build asan; then
    count_ctest asan asan
fi

# The host-driven tests once under valgrind's memcheck (the 10 MiB flood is left to the
# runs above: under valgrind it measures valgrind).
memcheck_suites=(velmora_unit_tests velmora_module_tests velmora_device_server_tests)
if why=$(unavailable memcheck); then
    skip "memcheck" "$why" < <(printf 'memcheck %s\n' "${memcheck_suites[@]}")
else
    for suite in "${memcheck_suites[@]}"; do
        step "memcheck $suite" "$logs/memcheck-$suite.log" valgrind -q --error-exitcode=99 \
            --leak-check=full --errors-for-leak-kinds=definite,indirect \
            "build/native/tests/$suite" --gtest_brief=1 --gtest_filter=-*TenMebibytes*
    done
fi

# The fuzzers, the call boundary's and the Telnet one (what a device server sends): each
# one's regressions, then a bounded run from its seed corpus.
fuzz_seconds=${VELMORA_FUZZ_SECONDS:-60}
fuzz() {  # fuzz NAME LOG PROGRAM CORPUS REGRESSIONS
    local name=$1 log=$logs/$2 fuzzer=build/fuzz/fuzz/$3 corpus=$4 f work regressions=()
    for f in "$5"/*; do [ "${f##*.}" = md ] || regressions+=("$f"); done
    ((${#regressions[@]})) &&
        step "$name regressions" "$log-regressions.log" "$fuzzer" "${regressions[@]}"
    work=$(mktemp -d)
    step "$name $fuzz_seconds s" "$log.log" "$fuzzer" -max_total_time="$fuzz_seconds" \
        -print_final_stats=1 -artifact_prefix=build/fuzz/ "$work" "$corpus"
    rm -rf "$work"
}
if why=$(unavailable fuzz); then
    skip "fuzzers" "$why" < <(printf '%s\n' "build fuzz" "fuzz regressions" "fuzz $fuzz_seconds s" \
        "telnet fuzz regressions" "telnet fuzz $fuzz_seconds s")
elif step "build fuzz" "$logs/build-fuzz.log" build fuzz; then
    fuzz fuzz fuzz velmora_call_fuzzer fuzz/corpus fuzz/regressions
    fuzz "telnet fuzz" telnet-fuzz velmora_telnet_fuzzer fuzz/telnet_corpus fuzz/telnet_regressions
fi

# The Windows serial path under Wine: the shipped 32-bit DLL through user-mode
# emulation, and the 64-bit DLL. A target whose Wine could not be installed is skipped,
# the other still runs. No Wine or emulator process outlives this script; each Wine
# server writes to build/logs/wineserver-TARGET.log.
stop_wine() { for t in win32 win64; do scripts/wine-prefix.sh "$t" --stop; done; }
trap stop_wine EXIT
if [ -x build/native/tests/velmora_wine_tests ]; then
    without=()
    for t in win32 win64; do
        if why=$(unavailable "wine${t#win}"); then
            without+=("$t")
            skip "Wine tests on $t" "$why" < <(
                echo "wine prefix $t"
                ctest --preset wine -N -R "/$t( |$)" | sed -nE 's/^ +Test +#[0-9]+: (.*)/\1/p' |
                    sed -E 's/  # .*//')
        else
            step "wine prefix $t" "$logs/wine-prefix-$t.log" scripts/wine-prefix.sh "$t"
        fi
    done
    if ((${#without[@]} < 2)); then
        if ((${#without[@]})); then
            count_ctest wine wine -E "/${without[0]}( |$)"
        else
            count_ctest wine wine
        fi
    fi
fi
stop_wine

# The real-driver lab: the module on a 16550 UART and an FTDI adapter under their real
# Linux drivers in an emulated machine, through the native console and the Windows
# builds under Wine. One count per case and device; it shuts its machine down itself.
if why=$(unavailable lab); then
    skip "real-driver lab" "$why" < <(lab/run.py --list)
else
    lab_log=$logs/lab.log
    echo "== the real-driver lab (its lines also in $lab_log)"
    lab/run.py 2>&1 | tee "$lab_log"
    passed=$((passed + $(grep -c '^ok ' "$lab_log")))
    failed=$((failed + $(grep -c '^FAIL ' "$lab_log")))
    skipped=$((skipped + $(grep -c '^skip ' "$lab_log")))
    while IFS= read -r line; do
        problems+=("$(sed -E 's/^skip /SKIP /' <<<"$line" | cut -c1-400)")
    done < <(grep -E '^(FAIL|skip) ' "$lab_log")
    grep -qE '^lab: [0-9]+ passed' "$lab_log" ||
        fail "real-driver lab" "no summary; its output: $lab_log"
fi

# The shipped files, checked statically, and the release archives, made and checked:
# one "ok" or "FAIL" line each.
count_checks() {  # count_checks OUTPUT
    echo "$1"
    passed=$((passed + $(grep -c '^ok ' <<<"$1")))
    failed=$((failed + $(grep -c '^FAIL ' <<<"$1")))
    while IFS= read -r line; do problems+=("$line"); done < <(grep '^FAIL ' <<<"$1")
}
for dll in build/win32/VELMORA.x32 build/win64/VELMORA.x64; do
    [ -f "$dll" ] && count_checks "$(scripts/check-dll.sh "$dll" "$(basename "$dll")")"
done
count_checks "$(scripts/check-release.sh)"

if ((${#problems[@]})); then
    echo "== ${#problems[@]} failed or skipped (full output in $logs/):"
    printf '%s\n' "${problems[@]}"
else
    echo "== none failed or skipped"
fi
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
