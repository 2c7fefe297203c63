#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/, makes the seed
# corpora, and runs each target for SECONDS (default 60):
#
#   ./scripts/fuzz.sh [SECONDS] [TARGET...]
#
# Inputs that add coverage are kept in build-fuzz/corpus/TARGET between runs.
# A crash, leak, timeout or memory blow-up fails the script and leaves its
# reproducer in fuzz-out/TARGET/; replay one with
#   build-fuzz/bin/TARGET fuzz-out/TARGET/crash-...
set -euo pipefail
source "$(dirname "$0")/common.sh"

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_load_job fuzz_core fuzz_fits fuzz_tiff fuzz_video fuzz_frames)
case "$seconds" in
    '' | *[!0-9]*) echo "usage: $0 [SECONDS] [TARGET...]" >&2; exit 2 ;;
esac

ensure_packages "${build_packages[@]}" clang libclang-rt-14-dev imagemagick ninja-build python3-numpy

build="$project_root/build-fuzz"
out="$project_root/fuzz-out"
cmake -S "$project_root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHESSIAN_FUZZ=ON -DBUILD_TESTING=OFF
cmake --build "$build" --parallel "$(nproc)" --target "${targets[@]}"
"$project_root/fuzz/make-seeds.sh" "$build/seeds"

export_sanitizer_options
# A failed allocation returns null here as it does in the plain build (Qt
# checks for that), instead of stopping the run; libFuzzer still reports any
# single allocation over the -rss_limit_mb below.
export ASAN_OPTIONS="$ASAN_OPTIONS:allocator_may_return_null=1"
failed=()
summaries=()
for target in "${targets[@]}"; do
    corpus="$build/corpus/$target"
    seeds="$build/seeds/${target#fuzz_}"
    # Inputs that once found a fault, run first every time.
    regressions=()
    [ -d "$project_root/fuzz/regressions/${target#fuzz_}" ] &&
        regressions=("$project_root/fuzz/regressions/${target#fuzz_}")
    log="$out/$target/log.txt"
    mkdir -p "$corpus" "$out/$target"
    echo "== $target: ${seconds}s"
    status=0
    dict=()
    [ -f "$project_root/fuzz/${target#fuzz_}.dict" ] && dict=(-dict="$project_root/fuzz/${target#fuzz_}.dict")
    started=$(date +%s)
    "$build/bin/$target" "$corpus" "$seeds" "${regressions[@]}" "${dict[@]}" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$out/$target/" \
        > "$log" 2>&1 || status=$?
    ran=$(( $(date +%s) - started ))
    # The final statistics, or after a finding the last progress line.
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    [ -n "$execs" ] || execs=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
    rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
    summary="$target: ${execs:-?} executions in ${ran}s (of ${seconds}s asked for), peak RSS ${rss:-?} MB"
    if [ $status -ne 0 ]; then
        tail -n 60 "$log" >&2
        echo "$summary: FAILED (exit $status), log $log" >&2
        grep -h 'Test unit written' "$log" >&2 || true
        failed+=("$target")
    else
        echo "$summary, no findings"
    fi
    summaries+=("$summary")
done

printf '%s\n' "${summaries[@]}"

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found problems in: ${failed[*]}; reproducers in $out/" >&2
    exit 1
fi
echo "fuzzing: no findings in ${targets[*]}"
