#!/usr/bin/env bash
# Static checks on a built Windows module: its export directory's name, exactly the
# five plain exports, imports limited to what every Windows has, and none of the C++
# runtime's exception and type-information code inside it (at most 64 KB in all).
# Usage: check-dll.sh FILE NAME   (NAME: VELMORA.x32 or VELMORA.x64)
set -uo pipefail
file=$1 name=$2
dump=$(x86_64-w64-mingw32-objdump -p "$file") || { echo "FAIL $file: objdump cannot read it"; exit 1; }
fails=0
check() {  # check DESCRIPTION COMMAND...
    if "${@:2}"; then echo "ok   $name: $1"; else echo "FAIL $name: $1"; fails=$((fails + 1)); fi
}
format=$([ "$name" = VELMORA.x32 ] && echo pei-i386 || echo pei-x86-64)
check "is $format" grep -q "file format $format" <<<"$(x86_64-w64-mingw32-objdump -f "$file")"
check "export directory named $name" grep -qE "^Name[[:space:]]+[0-9a-f]+ $name\$" <<<"$dump"
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | grep -E '^\s+\[ *[0-9]+\] ' | awk '{print $NF}' | sort | tr '\n' ' ')
check "exports exactly the five plain names (got: $exports)" \
    test "$exports" = "DllCanUnloadNow DllGetClassForm DllGetClassInfo DllGetClassObject DllGetInterface "
imports=$(grep -E "^\s+DLL Name:" <<<"$dump" | awk '{print $3}' | tr 'a-z' 'A-Z' | sort -u | tr '\n' ' ')
check "imports only KERNEL32, MSVCRT and WS2_32 (got: $imports)" test "$imports" = "KERNEL32.DLL MSVCRT.DLL WS2_32.DLL "
size=$(stat -c %s "$file")
check "at most 64 KB (65536 bytes; it is $size)" test "$size" -le 65536
check "holds no C++ exception or type-information runtime" \
    sh -c "! strings -a '$file' | grep -qE '__gxx_personality|terminate called|St9bad_alloc|St9type_info|__cxa_throw'"
exit $((fails > 0))
