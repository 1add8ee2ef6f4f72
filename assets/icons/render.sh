#!/usr/bin/env bash
# Renders the PNG sizes of the icon from its SVG. The PNGs are checked in, so building needs no
# SVG renderer; run this (needs rsvg-convert from librsvg2-bin) after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")"
for size in 48 128 256; do
  rsvg-convert -w "$size" -h "$size" net.ostrelle.Clipwarden.svg -o "net.ostrelle.Clipwarden-$size.png"
done
