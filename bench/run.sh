#!/usr/bin/env bash
# `make bench`, after the product is built: builds the benchmarks, runs them and
# writes build/bench/report.md with its chart. Exits non-zero when a measurement
# is not valid (a wrong answer, something left behind), never for a missed goal.
#
#   BENCH_SIZES=1000:3,10000:3 bench/run.sh     fewer sizes or runs (N:runs,...)
#   BENCH_WINDOW_SIZES=10000:3                   the same for the progress window's cost
set -uo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-/usr/bin/python3}
out=build/bench
mkdir -p "$out"
status=0
started=$SECONDS

echo "== building the benchmarks"
cmake -S bench -B "$out/native" -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$out/native" -j "$(nproc)" >/dev/null || exit 1
i686-w64-mingw32-g++-posix -std=c++20 -O2 -Wall -Wextra -municode -mwindows -static -s \
    bench/floor/floor.cpp -ladvapi32 -o "$out/floor.exe" || exit 1

# The same program without its progress window, to time what the window costs.
cmake -S . -B "$out/windows-nowindow" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DDISMORA_PROGRESS_OFF=ON >/dev/null &&
    cmake --build "$out/windows-nowindow" --target dismora -j "$(nproc)" >/dev/null || exit 1

echo "== native micro-benchmarks"
rm -f "$out/micro.json" "$out/wine.json"
"$out/native/dismora_microbench" --log "$out/reader.log" --json "$out/micro.json" --runs 5 || status=1

echo "== removal under Wine"
"$PYTHON" bench/wine_bench.py --out "$out/wine.json" ${BENCH_SIZES:+--sizes "$BENCH_SIZES"} \
    ${BENCH_WINDOW_SIZES:+--window-sizes "$BENCH_WINDOW_SIZES"} --no-window-dismora "$out/windows-nowindow/dismora.exe" ||
    status=1

"$PYTHON" bench/report.py --dir "$out" || status=1
echo "bench: $((SECONDS - started)) s"
exit $status
