#!/bin/sh
# Installs a build into a fresh prefix as `cmake --install` does and checks
# what a user then finds: the programs, and nothing else, answering with the
# project's version without a display; their manual pages; the window's
# menu entry and icons, or none of them when the window was not built; the
# Python package importable from another folder, with its version and
# metadata, running a detection.
#
#   check-install.sh CMAKE BUILD_DIR VERSION window|no-window [PYTHON]
set -eu

cmake=$1 build=$2 version=$3 window=$4 python=${5:-}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

programs=hessian-maxima-cli
[ "$window" = window ] && programs="hessian-maxima $programs"
found=$(ls "$prefix/bin" | sort | tr '\n' ' ')
expected=$(printf '%s\n' $programs | sort | tr '\n' ' ')
[ "$found" = "$expected" ] || fail "bin/ holds '$found', not '$expected'"

for program in $programs; do
    answer=$(env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/$program" --version) ||
        fail "$program --version failed"
    [ "$answer" = "$program $version" ] || fail "$program --version printed '$answer'"
    page="$prefix/share/man/man1/$program.1.gz"
    if [ ! -f "$page" ]; then
        fail "no manual page $page (is help2man installed?)"
    else
        # The page is made from the program's own answers.
        gzip -dc "$page" | grep -q "^\.TH $(echo "$program" | tr a-z A-Z) .*\"$program $version\"" ||
            fail "$page is not the page of $program $version"
        # (--version, or -V, --version where there is a short option too)
        gzip -dc "$page" | grep -Eq '^\\fB(\\-V\\fR, \\fB)?\\-\\-version\\fR' ||
            fail "$page lacks the options of --help"
    fi
done

entry="$prefix/share/applications/hessian-maxima.desktop"
icons=$(cd "$prefix/share" 2>/dev/null && find icons -name hessian-maxima.png | sort | tr '\n' ' ')
if [ "$window" = window ]; then
    grep -qx 'Exec=hessian-maxima %f' "$entry" || fail "$entry does not start the window"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$entry" >/dev/null || fail "$entry: $(desktop-file-validate "$entry")"
    fi
    for size in 16 22 24 32 48 64 128 256; do
        case "$icons" in
            *"icons/hicolor/${size}x${size}/apps/hessian-maxima.png"*) ;;
            *) fail "no ${size}x${size} icon among '$icons'" ;;
        esac
    done
else
    [ ! -e "$entry" ] && [ -z "$icons" ] || fail "a menu entry or icons for a window that was not built"
    [ ! -e "$prefix/share/man/man1/hessian-maxima.1.gz" ] || fail "a manual page for a window that was not built"
fi

if [ -n "$python" ]; then
    package=$(find "$prefix" -type d -name hessian_maxima)
    answer=$(cd / && PYTHONPATH=$(dirname "$package") "$python" -c '
import importlib.metadata, sys
import numpy as np
import hessian_maxima as hm
assert hm.__file__.startswith(sys.argv[1]), hm.__file__
y, x = np.mgrid[0:48, 0:48]
blob = (255 * np.exp(-((x - 24) ** 2 + (y - 24) ** 2) / 18.0)).astype(np.uint8)
features = hm.detect(blob, sigma=2, threshold=1)
print(hm.__version__, importlib.metadata.version("hessian-maxima"), len(features))
' "$package") || fail "the installed package did not import or run"
    [ "$answer" = "$version $version 1" ] ||
        fail "the installed package says '$answer', not '$version $version 1' (its version twice, one feature)"
fi

echo "installed tree: $failures failed"
[ "$failures" -eq 0 ]
