#!/bin/sh
# Regenerates mirel.ico (program icon) and mirel-tray.ico (tray icon) from the SVG drawings.
# Needs Debian's librsvg2-bin (rsvg-convert), imagemagick (convert) and icoutils (icotool).
# The .ico files are committed, so the normal build never runs this script.
set -eu

cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# 32 bpp RGBA PNGs: 16 px from the pixel-fitted drawing, every other size from the main one.
rsvg-convert -w 16 -h 16 mirel-small.svg -o "$tmp/16.png"
for s in 20 24 32 48 256; do
    rsvg-convert -w $s -h $s mirel.svg -o "$tmp/$s.png"
done

# 8 bpp copies: alpha cut to on/off (the icon's 1-bit mask), colours reduced to one palette.
for s in 16 32 48; do
    convert "$tmp/$s.png" -channel A -threshold 50% +channel +dither -colors 256 "$tmp/$s-8.png"
done

# -b sets the bit depth of the files after it; the 256 px image is stored as PNG (-r).
icotool -c -o mirel.ico -r "$tmp/256.png" -b 32 "$tmp/48.png" "$tmp/32.png" "$tmp/16.png" \
    -b 8 "$tmp/48-8.png" "$tmp/32-8.png" "$tmp/16-8.png"
icotool -c -o mirel-tray.ico -b 32 "$tmp/24.png" "$tmp/20.png" "$tmp/16.png"

icotool -l mirel.ico mirel-tray.ico
