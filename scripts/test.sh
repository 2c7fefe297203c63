#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
#
#   ./scripts/test.sh [CTEST-ARGS...]             plain build in build/
#   ./scripts/test.sh --sanitize [CTEST-ARGS...]  AddressSanitizer and
#       UndefinedBehaviorSanitizer build in build-sanitize/; any finding,
#       leaks included, fails the test it happens in.
set -euo pipefail
source "$(dirname "$0")/common.sh"

sanitize=false
if [ "${1:-}" = "--sanitize" ]; then
    sanitize=true
    shift
fi

ensure_packages "${build_packages[@]}"

if ! $sanitize; then
    build_project "$project_root/build" -DBUILD_TESTING=ON
    cd "$project_root/build"
    ctest --output-on-failure --timeout 300 "$@"
    exit
fi

build_project "$project_root/build-sanitize" -DBUILD_TESTING=ON -DHESSIAN_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
export_sanitizer_options
cd "$project_root/build-sanitize"
ctest --output-on-failure --timeout 900 "$@"
