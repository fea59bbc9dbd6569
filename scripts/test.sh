#!/usr/bin/env bash
# Installs what is missing, builds every target and runs every test. The last line is
# the summary "N passed, N failed"; the exit status is non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh || { echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
step() {  # step NAME COMMAND...: one pass or one failure
    echo "== $1"
    if "${@:2}"; then passed=$((passed + 1)); else echo "FAILED: $1"; failed=$((failed + 1)); fi
}
build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1"; }

step "build native" build native
step "build win32" build win32
step "build win64" build win64

# ctest's own count: each test counts once.
count_ctest() {
    local log summary total bad
    log=$(mktemp)
    ctest --preset "$1" $([ "$1" = wine ] || echo -j2) 2>&1 | tee "$log" | grep -vE '^ +Start |Test +#[0-9]+: .* Passed'
    summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    rm -f "$log"
    if [ -n "$total" ] && [ -n "$bad" ]; then
        passed=$((passed + total - bad))
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
for suite in velmora_unit_tests velmora_module_tests; do
    step "memcheck $suite" valgrind -q --error-exitcode=99 --leak-check=full \
        --errors-for-leak-kinds=definite,indirect \
        "build/native/tests/$suite" --gtest_brief=1 --gtest_filter=-*TenMebibytes*
done

# The call-boundary fuzzer: its regressions, then a bounded run from the seed corpus.
if step "build fuzz" build fuzz; then
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
# emulation, and the 64-bit DLL. No Wine or emulator process outlives this script.
stop_wine() { for t in win32 win64; do scripts/wine-prefix.sh "$t" --stop; done; }
trap stop_wine EXIT
if step "wine set-up" scripts/wine-setup.sh; then
    step "wine prefix win32" scripts/wine-prefix.sh win32
    step "wine prefix win64" scripts/wine-prefix.sh win64
    [ -x build/native/tests/velmora_wine_tests ] && count_ctest wine
fi
stop_wine

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

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
