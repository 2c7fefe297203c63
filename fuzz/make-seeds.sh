#!/usr/bin/env bash
# Writes the fuzzers' seed corpora into DIR (default build-fuzz/seeds):
#   DIR/load_job  small pictures in every format the Qt plug-ins read, odd
#                 variants of them (animated, multi-page, rotated by a tag,
#                 16-bit, palette, interlaced), cut-short and damaged copies,
#                 and headers that claim enormous pictures; each behind the
#                 three bytes fuzz_load_job reads first.
#   DIR/core      grey pixel dumps for fuzz_core.
#   DIR/fits, DIR/tiff  for fuzz_fits and fuzz_tiff: every layout the native
#                 readers take and small hostile files
#                 (fuzz/make-reader-files.py), behind the byte those
#                 fuzzers read first.
#   DIR/frames    for fuzz_frames: stacks (multi-page TIFF, ImageJ, FITS cubes,
#                 cut ones), TIFF descriptions, patterns and selections
#   DIR/video     small clips in the containers and codecs people meet
#                 (Matroska, MP4, NUT, AVI, WebM, MPEG-TS; FFV1, H.264,
#                 HEVC, VP9, MJPEG, raw), cut-short and damaged copies, each
#                 behind the byte fuzz_video reads first.
# Needs ImageMagick's convert, Debian's python3-numpy and the ffmpeg program.
set -euo pipefail

dir=${1:-"$(cd "$(dirname "$0")/.." && pwd)/build-fuzz/seeds"}
rm -rf "$dir"
mkdir -p "$dir/load_job" "$dir/core" "$dir/fits" "$dir/tiff" "$dir/video" "$dir/frames"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A few dark blobs on a light gradient: something for the detector to find.
base="$work/base.png"
convert -size 40x28 gradient:'#e0e0e0-#909090' \
    -fill '#202020' -draw 'circle 10,10 13,10' -draw 'circle 28,16 30,16' \
    -fill '#c03030' -draw 'circle 20,22 21,22' "$base"

# Every load seed starts with sigma 2.7 (byte 100) and threshold 2 (16/8).
add_seed() {  # name file
    { printf '\144\020\000'; cat "$2"; } > "$dir/load_job/$1"
}

convert_seed() {  # name convert-arguments... (the last is the output)
    local name=$1
    shift
    local out=${*: -1}
    convert "$@" && add_seed "$name" "${out#*:}"  # without a FORMAT: prefix
}

convert_seed png         "$base" "$work/a.png"
convert_seed png-grey16  "$base" -colorspace Gray -depth 16 "$work/b.png"
convert_seed png-palette "$base" -colors 8 "PNG8:$work/c.png"
convert_seed png-alpha   "$base" -alpha set -channel A -evaluate set 50% "$work/d.png"
convert_seed png-interlaced "$base" -interlace PNG "$work/e.png"
convert_seed jpeg        "$base" -quality 80 "$work/a.jpg"
convert_seed jpeg-progressive "$base" -interlace JPEG "$work/b.jpg"
convert_seed jpeg-grey   "$base" -colorspace Gray "$work/c.jpg"
convert_seed jpeg-cmyk   "$base" -colorspace CMYK "$work/d.jpg"
convert_seed jpeg-rotated "$base" -orient RightTop "$work/e.jpg"
convert_seed bmp         "$base" "$work/a.bmp"
convert_seed bmp-rle8    "$base" -colors 16 -compress RLE "BMP3:$work/b.bmp"
convert_seed gif         "$base" "$work/a.gif"
convert_seed gif-animated -delay 10 "$base" \( "$base" -negate \) \( "$base" -flop \) -loop 0 "$work/b.gif"
convert_seed tiff        "$base" "$work/a.tif"
convert_seed tiff-lzw    "$base" -compress LZW "$work/b.tif"
convert_seed tiff-pages  "$base" \( "$base" -negate -resize 20x14 \) "$work/c.tif"
convert_seed tiff-rotated "$base" -orient LeftBottom "$work/d.tif"
convert_seed webp        "$base" -quality 70 "$work/a.webp"
convert_seed webp-lossless "$base" -define webp:lossless=true "$work/b.webp"
convert_seed webp-animated -delay 10 "$base" \( "$base" -negate \) "$work/c.webp"
convert_seed ppm         "$base" "$work/a.ppm"
convert_seed ppm-ascii   "$base" -compress none "$work/b.ppm"
convert_seed pgm         "$base" -colorspace Gray "$work/a.pgm"
convert_seed pgm-ascii   "$base" -colorspace Gray -compress none "$work/b.pgm"
convert_seed pbm         "$base" -threshold 50% "$work/a.pbm"
convert_seed pbm-ascii   "$base" -threshold 50% -compress none "$work/b.pbm"
convert_seed xpm         "$base" -colors 6 "$work/a.xpm"
convert_seed xbm         "$base" -threshold 50% "$work/a.xbm"
convert_seed ico         "$base" "$work/a.ico"
# Qt reads only TGA 2.0, which ends in a footer that convert leaves off.
tga_footer() {
    printf '\0\0\0\0\0\0\0\0TRUEVISION-XFILE.\0' >> "$1"
}
convert "$base" "$work/a.tga" && tga_footer "$work/a.tga" && add_seed tga "$work/a.tga"
convert "$base" -compress RLE "$work/b.tga" && tga_footer "$work/b.tga" && add_seed tga-rle "$work/b.tga"
convert_seed wbmp        "$base" -threshold 50% "$work/a.wbmp"
convert_seed mng         "$base" "$work/a.mng"
# Deeper samples, read with their values as stored: 16-bit PNM, PNG and
# TIFF, 32-bit integer and float TIFF, tiles, unassociated alpha, FITS.
convert_seed pgm-16bit   "$base" -colorspace Gray -depth 16 "$work/c.pgm"
convert_seed ppm-16bit   "$base" -depth 16 "$work/c.ppm"
convert_seed png-rgb16   "$base" -depth 16 "PNG48:$work/f.png"
convert_seed tiff-16bit  "$base" -depth 16 "$work/e.tif"
convert_seed tiff-float  "$base" -depth 32 -define quantum:format=floating-point "$work/f.tif"
convert_seed tiff-int32  "$base" -colorspace Gray -depth 32 "$work/g.tif"
convert_seed tiff-tiled  "$base" -depth 16 -define tiff:tile-geometry=16x16 "$work/h.tif"
convert_seed tiff-rgba   "$base" -alpha set -channel A -evaluate set 50% "$work/i.tif"
convert_seed fits        "$base" -colorspace Gray "$work/a.fits"
convert_seed fits-float  "$base" -colorspace Gray -depth 32 -define quantum:format=floating-point "$work/b.fits"

# Vector drawings: one with text, one that refers to another file.
printf '%s\n' '<svg xmlns="http://www.w3.org/2000/svg" width="40" height="28">' \
    '<rect width="40" height="28" fill="white"/><circle cx="12" cy="12" r="4"/>' \
    '<text x="2" y="26" font-size="8">Hi</text></svg>' > "$work/a.svg"
add_seed svg-text "$work/a.svg"
printf '%s\n' '<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink"' \
    ' width="40" height="28"><image width="40" height="28" xlink:href="/dev/zero"/></svg>' > "$work/b.svg"
add_seed svg-image "$work/b.svg"

# Cut short, and damaged at three places past the header.
for seed in "$dir"/load_job/*; do
    size=$(stat -c %s "$seed")
    head -c $((size / 2)) "$seed" > "$seed.cut"
    cp "$seed" "$seed.damaged"
    for at in $((size / 3)) $((size / 2)) $((size * 3 / 4)); do
        printf '\377' | dd of="$seed.damaged" bs=1 seek="$at" conv=notrunc status=none
    done
done

# Headers that claim 65500 x 65500 pixels (or more) over a few bytes of data.
patch_bytes() {  # file offset bytes-as-printf-escapes
    printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
bomb() {  # name source-seed
    cp "$dir/load_job/$2" "$dir/load_job/bomb-$1"
    echo "$dir/load_job/bomb-$1"
}
# JPEG: height and width of the start-of-frame segment (FFC0 or FFC2).
for kind in jpeg jpeg-progressive; do
    file=$(bomb "$kind" "$kind")
    sof=$(LC_ALL=C grep -obUaP '\xff[\xc0\xc2]\x00\x11' "$file" | head -n 1 | cut -d: -f1)
    patch_bytes "$file" $((sof + 5)) '\377\334\377\334'
done
# BMP: width and height, little-endian, at 18 and 22 of the file.
patch_bytes "$(bomb bmp bmp)" $((3 + 18)) '\334\377\000\000\334\377\000\000'
# GIF: the logical screen and the first image descriptor.
file=$(bomb gif gif)
patch_bytes "$file" $((3 + 6)) '\334\377\334\377'
# GIF: a logical screen wider than the picture, which Qt decodes onto.
file=$(bomb gif-screen gif)
mv "$file" "$dir/load_job/gif-wide-screen"
patch_bytes "$dir/load_job/gif-wide-screen" $((3 + 6)) '\054\001\000\000'
# Icons and cursors whose entry says 256 x 256 and whose picture says more:
# a PNG stream, or a bitmap header (the entry's 0 x 0 defers to it).
le32() {  # number: four bytes, little-endian
    local byte
    for shift in 0 8 16 24; do
        byte=$(( ($1 >> shift) & 255 ))
        printf "\\$(printf %03o "$byte")"
    done
}
icon() {  # type picture-file
    printf '\0\0'
    printf "\\$(printf %03o "$1")"
    printf '\0\1\0\0\0\0\0\1\0\40\0'
    le32 "$(stat -c %s "$2")"
    le32 22
    cat "$2"
}
tail -c +4 "$dir/load_job/png" > "$work/icon.png"
patch_bytes "$work/icon.png" 16 '\000\000\234\100\000\000\234\100'  # 40000 x 40000, CRC now wrong
icon 1 "$work/icon.png" > "$work/bomb.ico" && add_seed bomb-ico-png "$work/bomb.ico"
icon 2 "$work/icon.png" > "$work/bomb.cur" && add_seed bomb-cur-png "$work/bomb.cur"
tail -c +4 "$dir/load_job/png" > "$work/small.png"
icon 1 "$work/small.png" > "$work/a.ico" && add_seed ico-png "$work/a.ico"
{ le32 40; le32 20000; le32 40000; printf '\1\0\40\0'; head -c 100 /dev/zero; } > "$work/dib"
icon 1 "$work/dib" > "$work/bomb-dib.ico" && add_seed bomb-ico-bitmap "$work/bomb-dib.ico"
# GIF: one pixel on a screen just over the limit.
printf 'GIF89a\1\100\0\100\200\0\0\0\0\0\377\377\377,\0\0\0\0\1\0\1\0\0\2\2D\1\0;' > "$work/screen.gif"
add_seed bomb-gif-screen "$work/screen.gif"
# X bitmaps: over the limit (Qt's format check decodes them whole), and
# one whose data stops early.
printf '#define a_width 32767\n#define a_height 32767\nstatic char a_bits[] = {\n0x00,\n};\n' > "$work/bomb.xbm"
add_seed bomb-xbm "$work/bomb.xbm"
printf '#define a_width 64\n#define a_height 64\nstatic char a_bits[] = {\n0x00, 0xff,\n' > "$work/short.xbm"
add_seed xbm-short "$work/short.xbm"
# Bitmaps: stored top row first (negative height), and run-length coded
# with an end code before any pixel.
cp "$dir/load_job/bmp" "$dir/load_job/bmp-top-down"
patch_bytes "$dir/load_job/bmp-top-down" $((3 + 22)) '\344\377\377\377'
cp "$dir/load_job/bmp-rle8" "$dir/load_job/bmp-rle8-empty"
offset=$(od -An -tu4 -j $((3 + 10)) -N4 "$dir/load_job/bmp-rle8" | tr -d ' ')
patch_bytes "$dir/load_job/bmp-rle8-empty" $((3 + offset)) '\0\1'
# PNM: a header alone.
printf 'P6\n65500 65500\n255\n\1\2\3' > "$work/bomb.ppm"
add_seed bomb-ppm "$work/bomb.ppm"
printf 'P5 40000 40000 255 \1\2\3' > "$work/bomb.pgm"
add_seed bomb-pgm "$work/bomb.pgm"
# FITS: 1000000 x 1000000 claimed over the header of a small one.
sed 's/NAXIS1  =                   40/NAXIS1  =              1000000/; s/NAXIS2  =                   28/NAXIS2  =              1000000/' \
    "$dir/load_job/fits" > "$dir/load_job/bomb-fits"
# Under the program's limit but large: 16000 x 16000 claimed, three bytes given.
printf 'P6\n16000 16000\n255\n\1\2\3' > "$work/big.ppm"
add_seed big-ppm "$work/big.ppm"

# Core: grey pixels of the picture and of noise; fuzz_core reads the size,
# sigma and threshold from the last bytes.
convert "$base" -colorspace Gray -depth 8 "gray:$dir/core/blobs"
convert -seed 1 -size 24x24 xc: +noise Random -colorspace Gray -depth 8 "gray:$dir/core/noise"
convert -size 16x16 xc:black -fill white -draw 'point 8,8' -depth 8 "gray:$dir/core/spike"

# The native readers' fuzzers: bands of 3 rows, the default stretch (byte
# 2), or minmax (byte 10). Files over 64 KB (tall pictures, header bombs
# over many strips) only slow the fuzzers down.
/usr/bin/python3 "$(dirname "$0")/make-reader-files.py" "$work/native" all
for file in "$work"/native/*; do
    name=$(basename "$file")
    case $name in fits-*) kind=fits ;; tiff-*) kind=tiff ;; *) continue ;; esac
    [ "$(stat -c %s "$file")" -le 65536 ] || continue
    { printf '\002'; cat "$file"; } > "$dir/$kind/$name"
    { printf '\012'; cat "$file"; } > "$dir/$kind/$name-minmax"
done

# Sequences: the stacks among the native readers' files (all frames, from
# frame 1 with percentile), and the texts the other targets read.
for file in "$work"/native/*; do
    name=$(basename "$file")
    case $name in *pages* | *imagej* | *shaped* | *cube*) ;; *) continue ;; esac
    { printf '\003'; cat "$file"; } > "$dir/frames/$name"
    { printf '\027'; cat "$file"; } > "$dir/frames/$name-from-1-percentile"
done
printf '\000ImageJ=1.53t\nimages=60\nchannels=3\nslices=5\nframes=4\nfinterval=2\ntunit=min\n' > "$dir/frames/imagej"
printf '\000{"shape": [6, 70, 90]}' > "$dir/frames/shaped"
printf '\001frame_%%04d.png\nframe_0012.png\nframe_12.png\nframe_00012.png' > "$dir/frames/pattern"
printf '\0021:9:2' > "$dir/frames/range"

# Video: five frames of FFmpeg's test pattern, 32 x 24. The options byte:
# RGB and no seek, luma, and a seek to frame 3.
clip() {  # name options-byte ffmpeg-output-arguments...
    local name=$1 byte=$2
    shift 2
    ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=32x24:rate=25 -frames:v 5 \
        "$@" "$work/$name" &&
        { printf "$byte"; cat "$work/$name"; } > "$dir/video/$name"
}
clip ffv1.mkv '\000' -c:v ffv1 -pix_fmt yuv420p
clip ffv1-grey.nut '\001' -c:v ffv1 -pix_fmt gray
clip h264.mp4 '\016' -c:v libx264 -bf 2 -g 3 -pix_fmt yuv420p -movflags +faststart
clip h264-end.mp4 '\000' -c:v libx264 -pix_fmt yuv422p
clip h264.ts '\001' -c:v libx264 -pix_fmt yuv420p
clip hevc.mkv '\016' -c:v libx265 -x265-params log-level=none -pix_fmt yuv420p
clip vp9.webm '\000' -c:v libvpx-vp9 -deadline realtime -pix_fmt yuv420p
clip mjpeg.avi '\001' -c:v mjpeg -pix_fmt yuvj420p
clip rgb.mov '\016' -c:v png -pix_fmt rgb24
clip raw.nut '\000' -c:v rawvideo -pix_fmt yuyv422
# Display matrices (the rotate tag, copied into the container): a quarter
# turn of planes, of a 4:2:2 clip (turned after its conversion), a half
# turn of packed YUYV.
turned() {  # name from degrees
    ffmpeg -hide_banner -loglevel error -nostdin -y -i "$work/$2" -c copy -metadata:s:v:0 rotate="$3" "$work/$1" &&
        { printf '\000'; cat "$work/$1"; } > "$dir/video/$1"
}
clip raw.mov '\000' -c:v rawvideo -pix_fmt yuyv422
turned h264-turned.mp4 h264.mp4 90
turned h264-422-turned.mp4 h264-end.mp4 270
turned raw-turned.mov raw.mov 180
for seed in "$dir"/video/*; do
    size=$(stat -c %s "$seed")
    head -c $((size * 2 / 3)) "$seed" > "$seed.cut"
    cp "$seed" "$seed.damaged"
    for at in $((size / 3)) $((size / 2)) $((size * 3 / 4)); do
        printf '\377\000\377' | dd of="$seed.damaged" bs=1 seek="$at" conv=notrunc status=none
    done
done

echo "seeds: $(ls "$dir/load_job" | wc -l) for fuzz_load_job, $(ls "$dir/core" | wc -l) for fuzz_core," \
    "$(ls "$dir/fits" | wc -l) for fuzz_fits, $(ls "$dir/tiff" | wc -l) for fuzz_tiff, $(ls "$dir/video" | wc -l) for fuzz_video, in $dir"
