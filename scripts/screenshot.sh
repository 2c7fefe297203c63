#!/usr/bin/env bash
# Takes the README screenshot: starts the desktop program under Xvfb, opens
# an image through File > Open File as a person would, sets a scale range in
# the controls, starts a detection, zooms into the picture with the mouse
# wheel and saves the window with its circles, the threshold histogram and
# the status line.
#
#   scripts/screenshot.sh [IMAGE]      (default: samples/cells.png)
#
# SIGMA, SIGMA_MAX and SCALES set the run (default 2, 16 and 10: blobs found
# at their own scale; SCALES=1 is the single-sigma run at SIGMA), ZOOM the
# wheel notches into the picture (default 3).
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
    export SHOT_SIGMA=${SIGMA:-2} SHOT_SIGMA_MAX=${SIGMA_MAX:-16} SHOT_SCALES=${SCALES:-10}
    export SHOT_ZOOM=${ZOOM:-3}
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

# Types a value into the spin box at x, y of the window (the control column
# of a 1100 x 680 window); a click gives it focus, as a person would.
set_control() {
    xdotool windowfocus --sync "$main"
    xdotool mousemove --window "$main" "$1" "$2" click 1
    xdotool key --clearmodifiers ctrl+a
    xdotool type --delay 10 "$3"
    xdotool key Return
    sleep 0.3
}
# Scales first: it enables Sigma max.
set_control 1025 154 "$SHOT_SCALES"
[[ "$SHOT_SCALES" -gt 1 ]] && set_control 1025 186 "$SHOT_SIGMA_MAX"
set_control 1035 90 "$SHOT_SIGMA"

# The status line is the window's bottom strip: it changes when the run
# has been reported, circles and all.
status_line() {
    import -window "$main" -gravity south -crop 100%x30+0+0 +repage rgb:- | md5sum
}
before=$(status_line)
# Start Processing clicked, which also takes the focus from the spin box
# (where the Exit shortcut below would be typed as text).
xdotool windowfocus --sync "$main"
xdotool mousemove --window "$main" 990 627 click 1
for _ in $(seq 600); do
    sleep 0.5
    [[ "$(status_line)" != "$before" ]] && break
done
sleep 0.5

# Wheel notches into the picture, left of the middle of the view, then the
# pointer out of the way (a circle under it would show its tool tip).
xdotool mousemove --window "$main" 380 330
for _ in $(seq "$SHOT_ZOOM"); do
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
