#!/usr/bin/env bash
# Makes packaging/windows/rq7.ico (the Windows program's icon, in rq7.exe and the installer) from
# packaging/rq7.svg: the sizes Windows asks for, from 16 to 256 pixels, each drawn from the SVG.
# Needs rsvg-convert (Debian: librsvg2-bin) and ImageMagick. The .ico is kept in the repository, so
# building needs neither; run this after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
pngs=()
for size in 16 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" -o "$work/$size.png" ../rq7.svg
    pngs+=("$work/$size.png")
done
convert "${pngs[@]}" -strip rq7.ico
identify rq7.ico
