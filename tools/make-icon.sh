#!/bin/sh
# Redraws console/win32/zantrox.ico (16x16 and 32x32, 32-bit) with ImageMagick:
# a white dispenser on a blue tile. Run from anywhere; needs `convert`.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 32x32 xc:none \
    -fill '#1f4e9c' -draw 'roundrectangle 0,0 31,31 5,5' \
    -fill white -draw 'rectangle 7,6 19,27' \
    -fill '#1f4e9c' -draw 'rectangle 9,8 17,13' \
    -fill white -draw 'rectangle 5,26 21,28' \
    -stroke white -strokewidth 2 -fill none -draw 'polyline 19,10 24,10 24,22 26,22' \
    -strip "PNG32:$tmp/32.png"
convert "$tmp/32.png" -resize 16x16 -strip "PNG32:$tmp/16.png"
convert "$tmp/16.png" "$tmp/32.png" "$root/console/win32/zantrox.ico"
echo "wrote $root/console/win32/zantrox.ico"
