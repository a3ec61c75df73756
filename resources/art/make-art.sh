#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Regenerates Fernhollow's artwork (icons and the busy animation strip).
# Needs only ImageMagick 6 `convert`; no fonts are used, so the output does
# not depend on what is installed.  Usage: resources/art/make-art.sh
set -euo pipefail
cd "$(dirname "$0")"

# Drop the date/time chunks so re-running yields byte-identical files.
STRIP=(-strip -define png:exclude-chunks=date,time)

# ---------------------------------------------------------------- app icon
# Drawn once on a 512 canvas and scaled down, so all sizes share one design:
# an SD card (clipped top-right corner) with gold contacts and a photo label.
# fernhollow.svg is the same drawing, shape for shape, for the scalable icon.
convert -size 512x512 xc:none \
  -stroke '#1d2b38' -strokewidth 20 -fill '#3b5166' \
  -draw "stroke-linejoin round polygon 84,28 344,28 428,112 428,484 84,484" \
  -stroke none -fill '#e8b93c' \
  -draw "roundrectangle 128,60 168,150 8,8" \
  -draw "roundrectangle 196,60 236,150 8,8" \
  -draw "roundrectangle 264,60 304,150 8,8" \
  -draw "roundrectangle 332,92 372,150 8,8" \
  -fill '#f4f4f4' -draw "roundrectangle 124,196 388,444 14,14" \
  -fill '#6fb6ee' -draw "rectangle 144,216 368,424" \
  -fill '#ffd34a' -draw "circle 316,266 316,296" \
  -fill '#3f8f3a' -draw "polygon 144,424 144,360 214,282 288,370 320,340 368,392 368,424" \
  -fill '#2e6b2b' -draw "polygon 214,282 240,312 222,322 204,300" \
  /tmp/fernhollow-512.$$.png
for s in 16 32 48 64 128 256; do
  convert /tmp/fernhollow-512.$$.png -filter Lanczos -resize ${s}x$s \
    "${STRIP[@]}" PNG32:fernhollow-$s.png
done
rm -f /tmp/fernhollow-512.$$.png
cat >fernhollow.svg <<'SVG'
<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="512" height="512" viewBox="0 0 512 512">
  <title>Fernhollow</title>
  <polygon points="84,28 344,28 428,112 428,484 84,484" fill="#3b5166"
           stroke="#1d2b38" stroke-width="20" stroke-linejoin="round"/>
  <g fill="#e8b93c">
    <rect x="128" y="60" width="40" height="90" rx="8"/>
    <rect x="196" y="60" width="40" height="90" rx="8"/>
    <rect x="264" y="60" width="40" height="90" rx="8"/>
    <rect x="332" y="92" width="40" height="58" rx="8"/>
  </g>
  <rect x="124" y="196" width="264" height="248" rx="14" fill="#f4f4f4"/>
  <rect x="144" y="216" width="224" height="208" fill="#6fb6ee"/>
  <circle cx="316" cy="266" r="30" fill="#ffd34a"/>
  <polygon points="144,424 144,360 214,282 288,370 320,340 368,392 368,424" fill="#3f8f3a"/>
  <polygon points="214,282 240,312 222,322 204,300" fill="#2e6b2b"/>
</svg>
SVG

# ---------------------------------------------------------------- tab icons
# Drawn on a 64 canvas with coordinates on a 4-pixel grid, then box-filtered
# to 16x16: edges land on pixel boundaries and stay sharp.
tab() { # name, draw arguments...
  local name=$1; shift
  convert -size 64x64 xc:none "$@" -filter Box -resize 16x16 \
    "${STRIP[@]}" PNG32:tab-$name.png
}

# Gear: four rotated bars make eight teeth, a disc joins them, a hole is cut.
tab options \
  -fill '#5a6470' \
  -draw "translate 32,32 rectangle -6,-29 6,29" \
  -draw "translate 32,32 rotate 45 rectangle -6,-29 6,29" \
  -draw "translate 32,32 rotate 90 rectangle -6,-29 6,29" \
  -draw "translate 32,32 rotate 135 rectangle -6,-29 6,29" \
  -draw "circle 32,32 32,10" \
  \( -size 64x64 xc:none -fill black -draw "circle 32,32 32,22" \) \
  -compose DstOut -composite

# Question mark in a blue disc, drawn as a path (no font needed).
tab help \
  -stroke '#1b4f8a' -strokewidth 4 -fill '#3a86d6' -draw "circle 32,32 32,3" \
  -stroke white -strokewidth 8 -fill none \
  -draw "stroke-linecap round stroke-linejoin round path 'M 22,24 C 22,11 42,11 42,23 C 42,31 32,31 32,39 L 32,40'" \
  -stroke none -fill white -draw "circle 32,50 32,45"

# A small photo with a green "return" arrow coming back beneath it.
tab restore \
  -stroke '#444' -strokewidth 3 -fill '#6fb6ee' -draw "rectangle 3,3 43,35" \
  -stroke none -fill '#3f8f3a' -draw "polygon 5,34 5,26 16,15 26,26 33,19 42,28 42,34" \
  -fill '#ffd34a' -draw "circle 33,11 33,7" \
  -stroke '#1e7d22' -strokewidth 8 -fill none \
  -draw "stroke-linejoin round stroke-linecap round path 'M 52,20 L 52,48 L 32,48'" \
  -stroke none -fill '#1e7d22' -draw "polygon 32,34 14,48 32,62"

# Magnifying glass: tinted lens, dark rim, brown handle.
tab search \
  -stroke '#7a4a1c' -strokewidth 11 -draw "stroke-linecap round line 41,41 56,56" \
  -stroke '#33393f' -strokewidth 7 -fill '#bfe0fa' -draw "circle 26,26 26,6" \
  -stroke none -fill '#ffffffb0' -draw "ellipse 20,20 6,4 200,300"

# Card reader: grey box with a slot and a green light, SD card inserted.
tab drive \
  -stroke '#2e3338' -strokewidth 3 -fill '#8a939c' -draw "roundrectangle 3,32 61,60 6,6" \
  -stroke none -fill '#2e3338' -draw "rectangle 14,32 42,37" \
  -fill '#4ee04e' -draw "circle 52,48 52,44" \
  -stroke '#1d2b38' -strokewidth 3 -fill '#3b5166' \
  -draw "polygon 18,34 18,4 34,4 40,10 40,34" \
  -stroke none -fill '#e8b93c' -draw "rectangle 22,8 25,14" -draw "rectangle 29,8 32,14"

# ------------------------------------------------------------ busy animation
# 17 frames, 146x34 each, appended left to right.  A magnifier sweeps over a
# row of sectors; sectors it has passed turn blue, and a few become "found
# photos" (green with a white mark).  The last frame leads back to the first.
FRAMES=17 W=146 H=34 CELLS=11
found=" 2 5 6 9 "          # which sectors hold a photo
frames=()
for ((i = 0; i < FRAMES; i++)); do
  cx=$((12 + i * 116 / (FRAMES - 1)))      # lens centre, 12..128
  draw=(-stroke '#9a9a9a' -strokewidth 1 -draw "line 4,27 141,27")
  for ((k = 0; k < CELLS; k++)); do
    x0=$((8 + k * 12)); x1=$((x0 + 9))
    if ((x0 + 5 < cx)); then
      if [[ $found == *" $k "* ]]; then
        draw+=(-stroke '#2d7a2d' -fill '#55b84f' -draw "rectangle $x0,9 $x1,21"
               -stroke none -fill white -draw "rectangle $((x0 + 3)),12 $((x0 + 6)),15")
      else
        draw+=(-stroke '#3b6da0' -fill '#8fb8e0' -draw "rectangle $x0,9 $x1,21")
      fi
    else
      draw+=(-stroke '#a8a8a8' -fill '#d4d4d4' -draw "rectangle $x0,9 $x1,21")
    fi
  done
  draw+=(-stroke '#7a4a1c' -strokewidth 4 -draw "stroke-linecap round line $((cx + 7)),22 $((cx + 12)),28"
         -stroke '#33393f' -strokewidth 2 -fill '#ffffff60' -draw "circle $cx,15 $cx,6")
  f=/tmp/busy-$$-$i.png
  convert -size ${W}x$H xc:'#ECECEC' "${draw[@]}" "$f"
  frames+=("$f")
done
convert "${frames[@]}" +append -colors 256 "${STRIP[@]}" PNG8:busy-strip.png
rm -f "${frames[@]}"

echo "art written to $(pwd)"
