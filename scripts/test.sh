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

# Unit, serial-layer and module tests: each test counts.
if [ -x build/native/tests/velmora_unit_tests ]; then
    log=$(mktemp)
    ctest --preset native -j2 2>&1 | tee "$log" | grep -vE '^ +Start |Test +#[0-9]+: .* Passed'
    summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
    if [ -n "$total" ] && [ -n "$bad" ]; then
        passed=$((passed + total - bad))
        failed=$((failed + bad))
    else
        echo "FAILED: ctest gave no summary"
        failed=$((failed + 1))
    fi
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

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
