#!/usr/bin/env bash
# Installs what is missing, builds every target and runs every test. The last line is
# the summary "N passed, N failed, N skipped"; the exit status is non-zero when anything
# failed. Tests are skipped only when the package archive could not deliver what they
# need (scripts/setup.sh says what, in one line each).
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh || { echo "0 passed, 1 failed, 0 skipped"; exit 1; }

passed=0
failed=0
skipped=0
step() {  # step NAME COMMAND...: one pass or one failure
    echo "== $1"
    if "${@:2}"; then passed=$((passed + 1)); else echo "FAILED: $1"; failed=$((failed + 1)); fi
}
unavailable() {  # unavailable FEATURE: true, with the reason, when set-up could not get it
    [ -f "build/setup/unavailable/$1" ] && cat "build/setup/unavailable/$1"
}
skip() {  # skip NAME COUNT REASON
    echo "== SKIPPED $1 ($2): $3"
    skipped=$((skipped + $2))
}
build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1"; }

step "build native" build native
step "build win32" build win32
step "build win64" build win64

# ctest's own count: each test counts once. count_ctest PRESET [CTEST-ARGUMENTS...]
count_ctest() {
    local log summary total bad skips
    log=$(mktemp)
    ctest --preset "$1" $([ "$1" = wine ] || echo -j2) "${@:2}" 2>&1 | tee "$log" | grep -vE '^ +Start |Test +#[0-9]+: .* Passed'
    summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    # ctest counts a test that skipped itself among those that passed.
    skips=$(grep -cE '^ *[0-9]+ - .* \(Skipped\)$' "$log")
    rm -f "$log"
    if [ -n "$total" ] && [ -n "$bad" ]; then
        passed=$((passed + total - bad - skips))
        skipped=$((skipped + skips))
        failed=$((failed + bad))
    else
        echo "FAILED: ctest ($1) gave no summary"
        failed=$((failed + 1))
    fi
}

# Unit, serial-layer, module and console tests.
[ -x build/native/tests/velmora_unit_tests ] && count_ctest native

# The same tests again with AddressSanitizer and UndefinedBehaviorSanitizer: any report
# fails its test.
if step "build asan" build asan; then
    count_ctest asan
fi

# The host-driven tests once under valgrind's memcheck (the 10 MiB flood is left to the
# runs above: under valgrind it measures valgrind).
memcheck_suites=(velmora_unit_tests velmora_module_tests)
if why=$(unavailable memcheck); then
    skip "memcheck" ${#memcheck_suites[@]} "$why"
else
    for suite in "${memcheck_suites[@]}"; do
        step "memcheck $suite" valgrind -q --error-exitcode=99 --leak-check=full \
            --errors-for-leak-kinds=definite,indirect \
            "build/native/tests/$suite" --gtest_brief=1 --gtest_filter=-*TenMebibytes*
    done
fi

# The call-boundary fuzzer: its regressions, then a bounded run from the seed corpus.
if why=$(unavailable fuzz); then
    skip "fuzzer" 3 "$why"
elif step "build fuzz" build fuzz; then
    fuzzer=build/fuzz/fuzz/velmora_call_fuzzer
    regressions=()
    for f in fuzz/regressions/*; do [ "${f##*.}" = md ] || regressions+=("$f"); done
    ((${#regressions[@]})) && step "fuzz regressions" "$fuzzer" "${regressions[@]}"
    work=$(mktemp -d)
    step "fuzz ${VELMORA_FUZZ_SECONDS:-60} s" "$fuzzer" -max_total_time="${VELMORA_FUZZ_SECONDS:-60}" \
        -print_final_stats=1 -artifact_prefix=build/fuzz/ "$work" fuzz/corpus
    rm -rf "$work"
fi

# The Windows serial path under Wine: the shipped 32-bit DLL through user-mode
# emulation, and the 64-bit DLL. A target whose Wine could not be installed is skipped,
# the other still runs. No Wine or emulator process outlives this script.
stop_wine() { for t in win32 win64; do scripts/wine-prefix.sh "$t" --stop; done; }
trap stop_wine EXIT
if [ -x build/native/tests/velmora_wine_tests ]; then
    without=()
    for t in win32 win64; do
        if why=$(unavailable "wine${t#win}"); then
            without+=("$t")
            n=$(ctest --preset wine -N -R "/$t( |$)" | grep -cE '^ +Test +#')
            skip "Wine tests on $t" "$((n + 1))" "$why"
        else
            step "wine prefix $t" scripts/wine-prefix.sh "$t"
        fi
    done
    if ((${#without[@]} < 2)); then
        if ((${#without[@]})); then count_ctest wine -E "/${without[0]}( |$)"; else count_ctest wine; fi
    fi
fi
stop_wine

# The real-driver lab: the module on a 16550 UART and an FTDI adapter under their real
# Linux drivers in an emulated machine, through the native console and the Windows
# builds under Wine. One count per case and device; it shuts its machine down itself.
if why=$(unavailable lab); then
    skip "real-driver lab" "$(lab/run.py --count)" "$why"
else
    log=$(mktemp)
    lab/run.py | tee "$log"
    passed=$((passed + $(grep -c '^ok ' "$log")))
    failed=$((failed + $(grep -c '^FAIL ' "$log")))
    skipped=$((skipped + $(grep -c '^skip ' "$log")))
    grep -qE '^lab: [0-9]+ passed' "$log" || { echo "FAILED: the lab gave no summary"; failed=$((failed + 1)); }
    rm -f "$log"
fi

# The shipped files, checked statically.
for dll in build/win32/VELMORA.x32 build/win64/VELMORA.x64; do
    [ -f "$dll" ] || continue
    out=$(scripts/check-dll.sh "$dll" "$(basename "$dll")")
    echo "$out"
    passed=$((passed + $(grep -c '^ok ' <<<"$out")))
    failed=$((failed + $(grep -c '^FAIL ' <<<"$out")))
done

# The release archives, made and checked.
out=$(scripts/check-release.sh)
echo "$out"
passed=$((passed + $(grep -c '^ok ' <<<"$out")))
failed=$((failed + $(grep -c '^FAIL ' <<<"$out")))

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
