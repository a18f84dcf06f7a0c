#!/bin/sh
# Renders the hicolor PNG sizes of the icon from zantrox.svg (needs rsvg-convert,
# Debian package librsvg2-bin). The PNGs are kept in the tree, so building and
# installing need no SVG renderer; run this after changing the drawing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
for size in 32 48 256; do
    rsvg-convert -w "$size" -h "$size" "$here/zantrox.svg" -o "$here/zantrox-$size.png"
    echo "wrote $here/zantrox-$size.png"
done
