#!/usr/bin/env bash
# Installs what is missing, builds, and starts the desktop program. Without a
# display it runs the command-line tool on the shipped sample image instead.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${build_packages[@]}"
build_project

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec "$project_root/build/bin/hessian-maxima" "$@"
fi

sample="$project_root/samples/cells.png"
features=/tmp/hessian-maxima-features.csv
echo
echo "No display is available (neither DISPLAY nor WAYLAND_DISPLAY is set), so the"
echo "desktop program cannot open its window. Running the command-line tool on"
echo "$sample instead:"
echo
report=$("$project_root/build/bin/hessian-maxima-cli" --sigma 5 --threshold 100 "$sample" 2>&1 > "$features") || { echo "$report" >&2; exit 1; }
head -n 6 "$features"
echo "... ($(($(wc -l < "$features") - 1)) features in all, written to $features)"
echo "$report"
