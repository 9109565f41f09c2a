#!/usr/bin/env bash
# Makes the picture buttons' bitmaps (57 x 57, 16 colours) of the Windows window from the
# pictures of the Qt window (scantool/gui/resources/pictures). The corners outside the tile
# are magenta, which the button leaves out when it paints. Run it again after a change to the
# pictures; the .bmp files beside it are its output. Needs rsvg-convert (librsvg2-bin) and
# ImageMagick's convert.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
pictures="$here/../../gui/resources/pictures"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
for svg in "$pictures"/*.svg; do
    name="$(basename "$svg" .svg)"
    rsvg-convert -w 57 -h 57 "$svg" -o "$tmp/$name.png"
    convert "$tmp/$name.png" -channel A -threshold 50% +channel -background '#ff00ff' -flatten \
        -dither None -colors 16 -type Palette -compress None "BMP3:$here/$name.bmp"
done
