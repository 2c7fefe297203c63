#!/usr/bin/env bash
# Builds the command-line tool and runs the accuracy benchmark: our
# scale-range detector against scikit-image's blob_doh and blob_log and
# OpenCV's SimpleBlobDetector on synthetic scenes with known truth, and the
# speed against blob_doh on a 4000 x 3000 scene. Prints one table.
# With "tracking": detection and linking on simulated particle movies,
# scored as the Particle Tracking Challenge scored its entries, against
# blob_log linked by a LAP linker and nearest-neighbour linking (see
# tools/accuracy/tracking.py; about 15 minutes, --quick about 1).
#
#   scripts/accuracy.sh [--skip-large]
#   scripts/accuracy.sh tracking [--quick]
#
# Environment: WORK (scenes and results, default /tmp/hessian-accuracy;
# scenes already there are reused), BUILD_DIR (default build).
set -euo pipefail
source "$(dirname "$0")/common.sh"

root=$project_root
build=${BUILD_DIR:-$root/build}
work=${WORK:-/tmp/hessian-accuracy}

# Debian's Python with its numeric packages (the scripts use /usr/bin/python3,
# whatever python3 comes first on PATH).
ensure_packages "${build_packages[@]}" python3 python3-numpy python3-scipy python3-skimage \
    python3-opencv python3-pil
build_project "$build" >/dev/null

echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "processor: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo 2>/dev/null | head -n 1), $(nproc) hardware threads"
echo "command: scripts/accuracy.sh $*"
echo
if [ "${1:-}" = tracking ]; then
    shift
    PYTHONPATH="$build/python" /usr/bin/python3 "$root/tools/accuracy/tracking.py" "$@"
    exit
fi
/usr/bin/python3 "$root/tools/accuracy/accuracy.py" --cli "$build/bin/hessian-maxima-cli" --work "$work" "$@"
