#!/usr/bin/env bash
# Builds the benchmark in Release and runs it: the reference, the fast core
# on one thread and on all threads, and the OpenCV pipeline, at 1280 x 720
# and 1920 x 1080, sigma 2, 5, 10 and 30, on a fixed synthetic frame. It
# checks that the fast core gives the reference's results before it times
# anything, and ends with a table of milliseconds per frame and ratios.
#
#   scripts/bench.sh [IMAGE]
#
# With IMAGE (best 1280 x 720) it then runs hessian-maxima-cli --repeat on
# it at sigma 5, and the detection job beside the OpenCV pipeline on it.
#
# Environment: BUILD_DIR (default build-bench), REPETITIONS (default 5; the
# table keeps the best repetition), REPEAT (default 50, runs on IMAGE),
# TARGET (the vector code the table times, e.g. AVX2; default the best this
# processor runs).
set -euo pipefail
source "$(dirname "$0")/common.sh"

root=$project_root
build=${BUILD_DIR:-$root/build-bench}
repetitions=${REPETITIONS:-5}
repeat=${REPEAT:-50}

ensure_packages "${build_packages[@]}" libbenchmark-dev libopencv-imgproc-dev
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHESSIAN_FORCE_REFERENCE=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target hessian-maxima-bench hessian-maxima-cli >/dev/null

processor=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo 2>/dev/null | head -n 1)
echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "processor: ${processor:-unknown}, $(nproc) hardware threads"
echo "command: ${TARGET:+TARGET=$TARGET }scripts/bench.sh $*"
echo

"$build/bin/hessian-maxima-bench" --benchmark_repetitions="$repetitions" ${TARGET:+--target "$TARGET"}

if [ $# -ge 1 ]; then
    echo
    echo "hessian-maxima-cli --sigma 5 --repeat $repeat $1:"
    "$build/bin/hessian-maxima-cli" --sigma 5 --repeat "$repeat" "$1" >/dev/null
    echo
    "$build/bin/hessian-maxima-bench" --image "$1" --sigma 5 --repeat "$repeat"
fi
