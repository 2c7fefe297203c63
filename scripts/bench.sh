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
#   scripts/bench.sh batch
#
# The batch benchmark instead: 200 generated 1920 x 1080 JPEG photographs
# (kept in build-bench/photos), read and searched at sigma 5 by a shell loop
# over single-file hessian-maxima-cli calls, by one hessian-maxima-cli call
# on the folder, and by an OpenCV batch (cv::imread and the OpenCV pipeline,
# one picture per core), taking turns ROUNDS times (default 3); then the
# steps of a batch around the detector, and one 1080p picture's whole
# command (hyperfine).
#
#   scripts/bench.sh single [PICTURE]
#
# One picture's whole command in a fresh process and where its time goes
# (PICTURE, by default the batch benchmark's first 1920 x 1080 JPEG
# photograph): the libraries the tool loads at start (ldd, and the dynamic
# loader's own figures from LD_DEBUG=statistics); hyperfine, ROUNDS times
# (default 3), of a program with the same libraries and nothing else (the
# start-up floor), of hessian-maxima-cli --version, of the tool on the
# picture, on the picture through Qt's JPEG reader (HESSIAN_QT_JPEG=1) and
# on its grey PGM; the steps inside a fresh process (hessian-maxima-bench
# --single, RUNS times each way, taking turns, medians); and the ways of
# decoding the JPEG in one process (hessian-maxima-bench --decode).
#
#   scripts/bench.sh phases
#
# Where a run's time goes on one thread: the row passes, the column pass and
# the maxima search, with the best vector code and the next one (AVX-512 and
# AVX2), taking turns REPEAT times (hessian-maxima-bench --phases).
#
#   scripts/bench.sh stream
#
# The streaming run instead: a 32768 x 32768 8-bit TIFF (1 gigapixel) run
# in bands at sigma 5 with its peak resident memory, beside a 32768 x 8192
# TIFF (the largest picture of that width read whole) run whole and in
# bands, taking turns ROUNDS times (default 3); the timed stages per pixel
# are compared with the whole run's of the same round. Then a 16000 x 16000
# TIFF whole and in bands. Features read in bands must be identical to the
# whole run's. Then the same gigapixel picture as a raw PGM, streamed once
# each round in a fresh process: the whole command's wall time against its
# timed stages. The pictures are written into BUILD_DIR and deleted at the
# end (2.7 GB of disk while it runs).
#
#   scripts/bench.sh view
#
# The frame view instead: how long the window's view takes to redraw a
# 100-megapixel picture with 100 000 circles after a zoom step, a fit, one
# picture pixel per screen pixel and a repaint (hessian-maxima-view-bench,
# on Qt's offscreen platform).
#
#   scripts/bench.sh dask
#
# The Python package on a Dask cluster instead: a 16384 x 16384 scene (kept
# in build-bench/) in 1024 x 1024 chunks, hessian_maxima.dask.detect_array
# on a LocalCluster of 2 single-threaded worker processes against
# hessian_maxima.detect on the whole array in one process (every core), at
# sigma 5 and over the default scale range, ROUNDS turns each (default 3):
# identical features, times, and each worker's peak memory above idle
# (bench/dask-bench.py; SIZE, CHUNK and WORKERS change the set-up).
#
#   scripts/bench.sh video
#
# Sequences instead: two 600-frame 1080p H.264 clips made here (blobs
# panning across the frame, by hessian-maxima-video-bench --make-clip, and
# a photograph, scikit-image's Hubble deep field, panned the same way), at
# sigma 2 and 5, taking turns ROUNDS times (default 2): decoding alone and
# detection alone (hessian-maxima-video-bench, whose bound
# 1 / (1/decode + 1/detect) is what the two reach sharing the cores), our
# end-to-end run (the whole hessian-maxima-cli command, writing its CSV),
# and OpenCV's video loop (cv2.VideoCapture and SimpleBlobDetector frame by
# frame, bench/opencv-video.py); the same with --luma. Then the peak
# resident memory of the command on a 600-frame and a 6000-frame clip.
#
# Environment: BUILD_DIR (default build-bench), REPETITIONS (default 5; the
# table keeps the best repetition), REPEAT (default 50, runs on IMAGE),
# TARGET (the vector code the table times, e.g. AVX2; default the one the
# core chooses for this processor, see docs/speed.md).
set -euo pipefail
source "$(dirname "$0")/common.sh"

root=$project_root
build=${BUILD_DIR:-$root/build-bench}
repetitions=${REPETITIONS:-5}
repeat=${REPEAT:-50}

ensure_packages "${build_packages[@]}" libbenchmark-dev libopencv-imgproc-dev libopencv-imgcodecs-dev \
    python3-numpy python3-pil hyperfine python3-opencv python3-skimage
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DHESSIAN_FORCE_REFERENCE=OFF >/dev/null
cmake --build "$build" --parallel "$(nproc)" \
    --target hessian-maxima-bench hessian-maxima-cli hessian-maxima-opencv-batch hessian-maxima-view-bench \
    hessian-maxima-make-tiff hessian-maxima-start-floor hessian-maxima-video-bench >/dev/null

processor=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo 2>/dev/null | head -n 1)
echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "processor: ${processor:-unknown}, $(nproc) hardware threads"
echo "command: ${TARGET:+TARGET=$TARGET }scripts/bench.sh $*"
echo

# Seconds a command takes, wall clock.
seconds_of() {
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    awk "BEGIN { print $end - $start }"
}

if [ "${1:-}" = phases ]; then
    "$build/bin/hessian-maxima-bench" --phases --repeat "$repeat"
    exit 0
fi

if [ "${1:-}" = single ]; then
    cli=$build/bin/hessian-maxima-cli
    floor=$build/bin/hessian-maxima-start-floor
    picture=${2:-}
    if [ -z "$picture" ]; then
        picture=$build/single/photo-000.jpg
        [ -f "$picture" ] || /usr/bin/python3 "$root/bench/make-photos.py" "$build/single" 1 >/dev/null
    fi
    grey=$build/single/grey.pgm
    mkdir -p "$build/single"
    /usr/bin/python3 -c 'import sys; from PIL import Image; Image.open(sys.argv[1]).convert("L").save(sys.argv[2])' \
        "$picture" "$grey"
    echo "picture: $picture"
    echo "libraries loaded at start: hessian-maxima-cli $(ldd "$cli" | wc -l), the floor program $(ldd "$floor" | wc -l)"
    for program in "$floor" "$cli"; do
        LD_DEBUG=statistics "$program" --version 2>&1 >/dev/null |
            sed -n "s|.*total startup time in dynamic loader: *\([0-9]*\) cycles.*|  $(basename "$program"): dynamic loader \1 cycles|p"
    done
    echo
    # Medians of ROUNDS hyperfine runs of each command, in milliseconds.
    runs=${RUNS:-20}
    echo "whole commands, median ms of $runs runs (hyperfine), round by round:"
    printf '%6s %12s %12s %12s %16s %12s\n' round floor --version JPEG "JPEG (Qt's)" "grey PGM"
    median_ms() {  # hyperfine arguments...
        hyperfine -N -w 3 -r "$runs" --export-csv "$build/single/hf.csv" "$@" >/dev/null 2>&1
        awk -F, 'NR > 1 { printf " %.2f", $4 * 1000 } END { print "" }' "$build/single/hf.csv"
    }
    for round in $(seq "${ROUNDS:-3}"); do
        read -r f v j p < <(median_ms "$floor" "$cli --version" "$cli $picture" "$cli $grey")
        q=$(HESSIAN_QT_JPEG=1 median_ms "$cli $picture")
        printf '%6d %12s %12s %12s %16s %12s\n' "$round" "$f" "$v" "$j" "$q" "$p"
    done
    echo
    echo "inside a fresh process, median ms of $runs processes each way (hessian-maxima-bench --single):"
    steps=$build/single/steps.txt
    for run in $(seq "$runs"); do
        echo "own $("$build/bin/hessian-maxima-bench" --single "$picture")"
        echo "qt $(HESSIAN_QT_JPEG=1 "$build/bin/hessian-maxima-bench" --single "$picture")"
    done >"$steps"
    for way in own qt; do
        line=$([ "$way" = own ] && echo "  the loader's decoder:" || echo "  Qt's JPEG reader:    ")
        for step in load set-up job-untimed timed writing release; do
            line+=" $step $(awk -v w="$way" -v s="$step" '$1 == w { for (i = 2; i < NF; i += 2) if ($i == s) print $(i + 1) }' "$steps" |
                sort -g | awk '{ a[NR] = $1 } END { printf "%.2f", NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }')"
        done
        echo "$line"
    done
    echo
    "$build/bin/hessian-maxima-bench" --decode "$picture" --repeat "${REPEAT:-30}"
    exit 0
fi

if [ "${1:-}" = stream ]; then
    cli=$build/bin/hessian-maxima-cli
    pictures=$build/stream
    mkdir -p "$pictures"
    trap 'rm -rf "$pictures"' EXIT
    "$build/bin/hessian-maxima-make-tiff" 32768 32768 "$pictures/giga.tif"
    "$build/bin/hessian-maxima-make-tiff" 32768 8192 "$pictures/wide.tif"
    "$build/bin/hessian-maxima-make-tiff" 16000 16000 "$pictures/p16k.tif"
    # Prints "KB MSEC": the peak resident memory and the timed stages (the
    # median of --repeat 3).
    measure() {  # output-file cli-arguments...
        local out=$1
        shift
        /usr/bin/time -f "rss %M" "$cli" --sigma 5 "$@" >"$out" 2>"$pictures/err" || { cat "$pictures/err" >&2; exit 1; }
        echo "$(sed -n 's/^rss //p' "$pictures/err") $(sed -n 's/.*Time per frame: \([0-9.]*\) msec.*/\1/p' "$pictures/err")"
    }
    rounds=${ROUNDS:-3}
    printf '%-30s %6s %12s %10s %13s %12s\n' run round "peak RSS MB" "timed ms" "ns per pixel" "of whole"
    for round in $(seq "$rounds"); do
        whole=
        for run in "32768 x 8192 whole:--no-stream wide.tif 268435456" \
                   "32768 x 8192 streamed:--stream wide.tif 268435456" \
                   "32768 x 32768 streamed:--stream giga.tif 1073741824"; do
            name=${run%%:*}
            set -- ${run#*:}
            read -r kb ms < <(measure "$pictures/${1#--}-$2.csv" --repeat 3 "$1" "$pictures/$2")
            perpixel=$(awk -v ms="$ms" -v px="$3" 'BEGIN { print ms * 1e6 / px }')
            [ -n "$whole" ] || whole=$perpixel
            awk -v n="$name" -v r="$round" -v kb="$kb" -v ms="$ms" -v p="$perpixel" -v w="$whole" \
                'BEGIN { printf "%-30s %6d %12.0f %10.1f %13.3f %11.1f%%\n", n, r, kb / 1024, ms, p, 100 * w / p }'
        done
        cmp -s "$pictures/no-stream-wide.tif.csv" "$pictures/stream-wide.tif.csv" ||
            { echo "streamed and whole features differ" >&2; exit 1; }
    done
    "$build/bin/hessian-maxima-make-tiff" 32768 32768 "$pictures/giga.pgm"
    echo
    echo "32768 x 32768 raw PGM (1 gigapixel) streamed, one run in a fresh process:"
    printf '%6s %14s %12s %16s %12s\n' round "whole s" "timed s" "whole / timed" "peak RSS MB"
    for round in $(seq "$rounds"); do
        /usr/bin/time -f "rss %M wall %e" "$cli" --sigma 5 --stream "$pictures/giga.pgm" >/dev/null 2>"$pictures/err" ||
            { cat "$pictures/err" >&2; exit 1; }
        awk '/Time per frame/ { for (i = 1; i < NF; ++i) if ($i == "frame:") timed = $(i + 1) / 1000 }
             /^rss / { rss = $2; wall = $4 }
             END { printf "%6d %14.2f %12.2f %16.3f %12.0f\n", '"$round"', wall, timed, wall / timed, rss / 1024 }' \
            "$pictures/err"
    done
    echo
    measure "$pictures/whole-16k.csv" --no-stream "$pictures/p16k.tif" >/dev/null
    measure "$pictures/stream-16k.csv" --stream "$pictures/p16k.tif" >/dev/null
    cmp -s "$pictures/whole-16k.csv" "$pictures/stream-16k.csv" ||
        { echo "16000 x 16000: streamed and whole features differ" >&2; exit 1; }
    echo "features streamed and whole identical: 32768 x 8192 ($(($(wc -l <"$pictures/stream-wide.tif.csv") - 1)) features)," \
        "16000 x 16000 ($(($(wc -l <"$pictures/stream-16k.csv") - 1)) features)"
    exit 0
fi

if [ "${1:-}" = video ]; then
    cli=$build/bin/hessian-maxima-cli
    videobench=$build/bin/hessian-maxima-video-bench
    clips=$build/video
    mkdir -p "$clips"
    [ -f "$clips/blobs.mp4" ] || "$videobench" --make-clip "$clips/blobs.mp4" --frames 600 >/dev/null
    [ -f "$clips/blobs6000.mp4" ] || "$videobench" --make-clip "$clips/blobs6000.mp4" --frames 6000 >/dev/null
    if [ ! -f "$clips/photo.mp4" ]; then
        # The Hubble deep field brought to 2560 x 1440, panned as the blobs are.
        /usr/bin/python3 -c 'import sys; from skimage import data; from PIL import Image
im = Image.fromarray(data.hubble_deep_field()); w, h = 2560, round(2560 * im.height / im.width)
im.resize((w, h), Image.LANCZOS).crop((0, (h - 1440) // 2, w, (h - 1440) // 2 + 1440)).save(sys.argv[1])' \
            "$clips/photo.png"
        ffmpeg -hide_banner -loglevel error -nostdin -y -loop 1 -framerate 25 -i "$clips/photo.png" -vf \
            "crop=1920:1080:x='320+300*sin(2*PI*t/8)':y='180+170*cos(2*PI*t/8)',format=yuv420p" \
            -frames:v 600 -c:v libx264 -preset veryfast -crf 20 -movflags +faststart "$clips/photo.mp4"
    fi
    # "decode detect bound" frames per second from the video benchmark.
    bound_of() {  # clip sigma [--luma]
        "$videobench" "$1" --sigma "$2" --repeat 1 ${3:-} 2>/dev/null | awk '
            /decode alone/ { d = $3 } /detect alone/ { e = $3 } /bound/ { b = $2 } END { print d, e, b }'
    }
    wall_of() {  # command...: seconds of the whole command
        /usr/bin/time -f "%e" "$@" 2>&1 >/dev/null | tail -n 1
    }
    echo "| clip | sigma | round | decode | detect | bound | ours | ours / bound | OpenCV | ours / OpenCV |" \
         "luma: decode | detect | bound | ours | ours / bound | ours / OpenCV |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for round in $(seq "${ROUNDS:-2}"); do
        for clip in blobs photo; do
            for sigma in 2 5; do
                file=$clips/$clip.mp4
                read -r decode detect bound < <(bound_of "$file" "$sigma")
                ours=$(wall_of "$cli" --sigma "$sigma" "$file")
                read -r cvframes cvseconds _ < <(/usr/bin/python3 "$root/bench/opencv-video.py" "$file" "$sigma")
                read -r ldecode ldetect lbound < <(bound_of "$file" "$sigma" --luma)
                luma=$(wall_of "$cli" --luma --sigma "$sigma" "$file")
                awk -v c="$clip" -v s="$sigma" -v r="$round" -v d="$decode" -v e="$detect" -v b="$bound" \
                    -v o="$ours" -v cf="$cvframes" -v cs="$cvseconds" -v ld="$ldecode" -v le="$ldetect" \
                    -v lb="$lbound" -v l="$luma" 'BEGIN {
                    of = 600 / o; cv = cf / cs; lf = 600 / l
                    printf "| %s | %s | %d | %.1f | %.1f | %.1f | %.1f | %.0f%% | %.1f | %.2fx | %.1f | %.1f | %.1f | %.1f | %.0f%% | %.2fx |\n",
                        c, s, r, d, e, b, of, 100 * of / b, cv, of / cv, ld, le, lb, lf, 100 * lf / lb, lf / cv }'
            done
        done
    done
    echo
    echo "frames per second; ours: 600 frames over the whole command's wall time"
    echo
    echo "| clip | round | peak RSS (KiB) |"
    echo "|---|---:|---:|"
    for round in $(seq "${ROUNDS:-2}"); do
        for clip in blobs blobs6000; do
            rss=$(/usr/bin/time -v "$cli" --sigma 2 "$clips/$clip.mp4" 2>&1 >/dev/null |
                  sed -n 's/.*Maximum resident set size (kbytes): //p')
            echo "| $clip.mp4 | $round | $rss |"
        done
    done
    exit 0
fi

if [ "${1:-}" = dask ]; then
    ensure_packages python3-psutil
    cmake --build "$build" --parallel "$(nproc)" --target hessian_maxima_core >/dev/null
    PYTHONPATH=$build/python /usr/bin/python3 -W ignore::DeprecationWarning "$root/bench/dask-bench.py" "$build" \
        --size "${SIZE:-16384}" --chunk "${CHUNK:-1024}" --workers "${WORKERS:-2}" --rounds "${ROUNDS:-3}"
    exit 0
fi

if [ "${1:-}" = view ]; then
    QT_QPA_PLATFORM=offscreen "$build/bin/hessian-maxima-view-bench" --repeat "${REPETITIONS}"
    exit 0
fi

if [ "${1:-}" = batch ]; then
    photos=$build/photos
    count=200
    if [ "$(ls "$photos" 2>/dev/null | wc -l)" -ne "$count" ]; then
        echo "writing $count photographs to $photos ..."
        rm -rf "$photos"
        /usr/bin/python3 "$root/bench/make-photos.py" "$photos" "$count"
    fi
    cli=$build/bin/hessian-maxima-cli
    files=("$photos"/*.jpg)
    shell_loop() { for f in "${files[@]}"; do "$cli" "$f" >/dev/null 2>&1; done; }
    echo "$count pictures of 1920 x 1080 (JPEG), sigma 5, threshold 100; seconds per round:"
    echo
    echo "| round | shell loop over single calls | one call on the folder | OpenCV batch |"
    echo "|---:|---:|---:|---:|"
    loops=() ours=() opencvs=()
    for round in $(seq "${ROUNDS:-3}"); do
        loop=$(seconds_of shell_loop)
        one=$(seconds_of "$cli" "$photos")
        cv=$(seconds_of "$build/bin/hessian-maxima-opencv-batch" "${files[@]}")
        printf '| %d | %.2f | %.2f | %.2f |\n' "$round" "$loop" "$one" "$cv"
        loops+=("$loop") ours+=("$one") opencvs+=("$cv")
    done
    best() { printf '%s\n' "$@" | sort -g | head -n 1; }
    loop=$(best "${loops[@]}") one=$(best "${ours[@]}") cv=$(best "${opencvs[@]}")
    echo
    awk -v n="$count" -v loop="$loop" -v one="$one" -v cv="$cv" 'BEGIN {
        printf "pictures per second (best round): shell loop %.1f, one call %.1f, OpenCV batch %.1f\n", n / loop, n / one, n / cv
        printf "one call is %.2fx the shell loop and %.2fx the OpenCV batch\n", loop / one, cv / one }'
    echo
    "$build/bin/hessian-maxima-bench" --stages "$photos" --sigma 5
    echo
    grey=$build/photo-grey.pgm
    [ -f "$grey" ] || /usr/bin/python3 -c 'import sys; from PIL import Image; Image.open(sys.argv[1]).convert("L").save(sys.argv[2])' "${files[0]}" "$grey"
    echo "one 1080p picture, the whole command, first run in a fresh process:"
    hyperfine -N -w 5 -r 40 "$cli $grey" "$cli ${files[0]}" 2>&1 | grep -E 'Benchmark|Time|Range'
    exit 0
fi

"$build/bin/hessian-maxima-bench" --benchmark_repetitions="$repetitions" ${TARGET:+--target "$TARGET"}

if [ $# -ge 1 ]; then
    echo
    echo "hessian-maxima-cli --sigma 5 --repeat $repeat $1:"
    "$build/bin/hessian-maxima-cli" --sigma 5 --repeat "$repeat" "$1" >/dev/null
    echo
    "$build/bin/hessian-maxima-bench" --image "$1" --sigma 5 --repeat "$repeat"
fi
