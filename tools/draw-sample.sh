#!/usr/bin/env bash
# Draws samples/cells.png, the picture the project ships for trying the
# detector: blurred bright and dark discs of many sizes ("cells") on an uneven
# background with a little noise, 1280 x 720. Fully determined by the seed,
# so it can be redrawn. Needs ImageMagick.
set -euo pipefail
out=${1:-"$(dirname "$0")/../samples/cells.png"}
seed=${SEED:-20261207}

# Disc positions, radii and grey levels from a fixed pseudo-random sequence.
draw=$(awk -v seed="$seed" 'BEGIN {
    srand(seed)
    for (i = 0; i < 220; i++) {
        r = 3 + int(rand() * rand() * 16)
        x = int(rand() * 1280); y = int(rand() * 720)
        level = rand() < 0.8 ? 150 + int(rand() * 105) : int(rand() * 40)
        printf "fill rgb(%d,%d,%d) circle %d,%d %d,%d ", level, level * 0.9, level * 0.8, x, y, x + r, y
    }
}')

convert -size 1280x720 -seed "$seed" \
    gradient:'rgb(40,45,60)-rgb(95,90,80)' \
    -draw "$draw" \
    -blur 0x3 \
    -attenuate 0.4 +noise Gaussian \
    -depth 8 -define png:color-type=2 -strip \
    "$out"
echo "wrote $out"
