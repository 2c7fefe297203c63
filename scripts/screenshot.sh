#!/usr/bin/env bash
# Takes the README screenshot: starts the desktop program under Xvfb, opens
# an image through File > Open File as a person would, starts a detection,
# zooms into the picture with the mouse wheel and saves the window with its
# circles, the threshold histogram and the status line.
#
#   scripts/screenshot.sh [IMAGE]      (default: samples/cells.png)
#
# Needs xvfb-run, xauth, xdotool and ImageMagick (Debian: xvfb xauth xdotool
# imagemagick) and a build in build/ (or HESSIAN_MAXIMA=/path/to/program).
# Writes docs/screenshot.png (or SCREENSHOT=/path/to/file.png).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

if [[ "${1:-}" != --inside-xvfb ]]; then
    image=${1:-$root/samples/cells.png}
    [[ -f "$image" ]] || { echo "no such image: $image" >&2; exit 1; }
    export SHOT_IMAGE=$(realpath "$image")
    export SHOT_PROGRAM=${HESSIAN_MAXIMA:-$root/build/bin/hessian-maxima}
    export SHOT_OUTPUT=${SCREENSHOT:-$root/docs/screenshot.png}
    [[ -x "$SHOT_PROGRAM" ]] || { echo "build the program first: $SHOT_PROGRAM" >&2; exit 1; }
    for tool in xvfb-run xdotool import; do
        command -v "$tool" >/dev/null || { echo "missing tool: $tool" >&2; exit 1; }
    done
    mkdir -p "$(dirname "$SHOT_OUTPUT")"
    exec xvfb-run -a -s '-screen 0 1280x800x24' "$0" --inside-xvfb
fi

# Prints the id of the first window named exactly $1, waiting up to 20 s.
wait_for_window() {
    for _ in $(seq 100); do
        local id
        id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1) || true
        if [[ -n "$id" ]]; then echo "$id"; return 0; fi
        sleep 0.2
    done
    echo "window \"$1\" did not appear" >&2
    return 1
}

# With no window manager, keyboard focus is given by hand.
press() {
    xdotool windowfocus --sync "$1"
    xdotool key --clearmodifiers "$2"
}

"$SHOT_PROGRAM" &
program=$!
trap 'kill "$program" 2>/dev/null || true' EXIT

main=$(wait_for_window HessianMaximaMainWin)
xdotool windowsize --sync "$main" 1100 680
press "$main" ctrl+o

dialog=$(wait_for_window "Open image file")
xdotool windowfocus --sync "$dialog"
xdotool type --delay 10 "$SHOT_IMAGE"
xdotool key Return
sleep 1
if xdotool search --onlyvisible --name '^Invalid image file$' >/dev/null 2>&1; then
    echo "the program could not read $SHOT_IMAGE" >&2
    exit 1
fi

# The status line is the window's bottom strip: it changes when the run
# has been reported, circles and all.
status_line() {
    import -window "$main" -gravity south -crop 100%x30+0+0 +repage rgb:- | md5sum
}
before=$(status_line)
press "$main" ctrl+s
for _ in $(seq 600); do
    sleep 0.5
    [[ "$(status_line)" != "$before" ]] && break
done
sleep 0.5

# Three wheel notches into the picture, left of the middle of the view, then
# the pointer out of the way (a circle under it would show its tool tip).
xdotool mousemove --window "$main" 380 330
for _ in 1 2 3; do
    xdotool click 4
    sleep 0.3
done
xdotool mousemove --window "$main" 1000 20
sleep 1
import -window "$main" "$SHOT_OUTPUT"

press "$main" shift+x
status=0
wait "$program" || status=$?
trap - EXIT
echo "saved $SHOT_OUTPUT; the program exited with code $status"
exit "$status"
