#!/usr/bin/env bash
# Evaluations of oskacolor per second through the library a host loads: the
# Linux library and the 32-bit Windows DLL under Wine, built as released
# (Release, library only) and measured one after the other in one run, so
# that the two columns of the table share the machine's state.
# Usage: bench/oskacolor_bench.sh [extra Google Benchmark options]
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEDEBUG=-all
out=build/bench
mkdir -p "$out"

gbench_i686=$(bash bench/mingw-benchmark.sh)
common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DOSKA_BUILD_TESTS=OFF -DOSKA_BUILD_BENCH=ON)
cmake -S . -B "$out/linux" "${common[@]}" >"$out/linux.log" 2>&1
cmake --build "$out/linux" --target oska_bench oska >>"$out/linux.log" 2>&1
cmake -S . -B "$out/windows" "${common[@]}" -DCMAKE_PREFIX_PATH="$gbench_i686" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/i686-w64-mingw32.cmake" >"$out/windows.log" 2>&1
cmake --build "$out/windows" --target oska_bench oska >>"$out/windows.log" 2>&1

# The testing host and the benchmark use the toolchain's C++ runtime DLLs;
# oska.dll itself carries its own.
runtime=$(dirname "$(i686-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
export WINEPATH="Z:$runtime;Z:/usr/i686-w64-mingw32/lib"

options=(--benchmark_filter=oskacolor --benchmark_repetitions=3
         --benchmark_report_aggregates_only=true --benchmark_format=csv "$@")
"$out/linux/bin/oska_bench" "${options[@]}" >"$out/linux.csv" 2>/dev/null
wine "$out/windows/bin/oska_bench.exe" "${options[@]}" 2>/dev/null | tr -d '\r' >"$out/windows.csv"

# Median items per second of each benchmark, side by side.
median() { awk -F, '$1 ~ /_median"?$/ { gsub(/"/, "", $1); sub(/_median$/, "", $1); print $1, $7 }' "$1"; }
echo "| configuration | Linux x86-64 (liboska.so) | Win32 DLL under Wine (oska.dll) |"
echo "|---|---:|---:|"
join <(median "$out/linux.csv" | sort) <(median "$out/windows.csv" | sort) |
  awk '{ printf "| %s | %.1f M/s | %.1f M/s |\n", substr($1, 14), $2 / 1e6, $3 / 1e6; rows++ }
       END { if (rows < 4) { print "bench: a configuration has no figure on one side" > "/dev/stderr"; exit 1 } }'
