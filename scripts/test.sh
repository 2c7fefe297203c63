#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
source "$(dirname "$0")/common.sh"

ensure_packages "${build_packages[@]}"
build_project "$project_root/build" -DBUILD_TESTING=ON
cd "$project_root/build"
ctest --output-on-failure --timeout 300 "$@"
