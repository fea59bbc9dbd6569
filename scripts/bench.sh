#!/usr/bin/env bash
# Runs the benchmarks and prints one table: each module figure beside the raw system
# call figure measured in the same run, their ratio and the target. Per-call system
# calls come from strace -c, user-space instructions from callgrind (host included,
# the counting loop's own cost taken away).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
command -v strace >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq strace >/dev/null
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
out=build/bench/results
mkdir -p "$out"
count=build/bench/bench/velmora_call_count

build/bench/bench/velmora_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true \
    --benchmark_out="$out/bench.json" --benchmark_out_format=json >/dev/null

syscalls() {  # system calls made by N runs of an operation beyond 0 runs, per run
    local op=$1 ports=$2 n=2000 a b
    a=$(strace -c -o /dev/stdout "$count" "$op" 0 "$ports" | awk '$NF=="total"{print $(NF-2)}')
    b=$(strace -c -o /dev/stdout "$count" "$op" $n "$ports" | awk '$NF=="total"{print $(NF-2)}')
    python3 -c "print(round(($b - $a) / $n, 2))"
}
instructions() {  # user-space instructions per run, inside the counting loop
    local op=$1 ports=$2
    valgrind --tool=callgrind --callgrind-out-file=/dev/null --collect-atstart=no \
        --toggle-collect=velmora_measured_calls "$count" "$op" 1000 "$ports" 2>&1 |
        awk '/Collected/{print $4}'
}
harness=$(instructions harness 1)
{
    echo '{"syscalls": {'
    for op in GetCommBaudRate SetCommBaudRate ReadComm-empty closed-port number-above-20; do
        for ports in 1 64; do echo "\"$op/$ports\": $(syscalls $op $ports),"; done
    done
    for op in raw-tcgetattr raw-tcgetattr-tcsetattr raw-FIONREAD; do echo "\"$op\": $(syscalls $op 1),"; done
    echo "\"WriteComm-64/1\": $(syscalls WriteComm-64 1),"
    echo "\"ReadComm-fed/1\": $(syscalls ReadComm-fed 1),"
    echo "\"BM_Module_ClosedPort\": $(syscalls closed-port 1),"
    echo "\"BM_Module_NumberAbove20\": $(syscalls number-above-20 1)"
    echo '}, "instructions": {'
    for op in GetCommBaudRate SetCommBaudRate ReadComm-empty closed-port number-above-20; do
        for ports in 1 64; do
            echo "\"$op/$ports\": $(( ($(instructions $op $ports) - harness) / 1000 )),"
        done
    done
    sep=""
    for op in raw-tcgetattr raw-tcgetattr-tcsetattr raw-FIONREAD; do
        echo "$sep\"$op\": $(( ($(instructions $op 1) - harness) / 1000 ))"
        sep=","
    done
    echo '}}'
} >"$out/counts.json"

python3 bench/report.py "$out/bench.json" "$out/counts.json" | tee "$out/table.txt"
