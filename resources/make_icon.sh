#!/bin/bash
# Draws the Tesmora Backup icon (TesmoraBackup.ico): a blue rounded-square badge with
# a server at the top, an amber arrow pointing down and a drive with a green check
# mark at the bottom. The large sizes (256, 64, 48) are drawn from one vector design,
# the small sizes (32, 24, 16) are drawn separately on the pixel grid so that they
# stay legible. Every entry is stored as an uncompressed 32-bit BMP with alpha, which
# every windres version accepts.
#
# Usage: bash resources/make_icon.sh [output.ico]   (default: next to this script)
# Needs ImageMagick 6 (the real /usr/bin/convert).
set -euo pipefail

CONVERT=/usr/bin/convert
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${1:-$here/TesmoraBackup.ico}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Colours.
BADGE_TOP='#2f7ad0'
BADGE_BOTTOM='#163f7a'
BADGE_EDGE='#0f2f5c'
SERVER='#eef3f9'
SERVER_SLOT='#5d6e84'
LED='#3ccf6b'
ARROW='#ffc233'
DRIVE='#dde5ee'
DRIVE_SHADE='#aebccc'
CHECK='#1fa64a'

# badge SIZE RADIUS OUTFILE: gradient rounded square with a thin darker edge.
badge() {
    local n=$1 r=$2 file=$3 m
    m=$(awk -v n="$n" 'BEGIN { printf "%.2f", n - 0.5 }')
    "$CONVERT" -size "${n}x${n}" "gradient:${BADGE_TOP}-${BADGE_BOTTOM}" \
        \( -size "${n}x${n}" xc:black -fill white \
           -draw "roundrectangle 0,0 $((n - 1)),$((n - 1)) $r,$r" \) \
        -alpha off -compose CopyOpacity -composite \
        -fill none -stroke "$BADGE_EDGE" -strokewidth 1 \
        -draw "roundrectangle 0.5,0.5 $m,$m $r,$r" \
        "PNG32:$file"
}

# Large design on a 256 x 256 grid; scaled down by the affine factor S.
large() {
    local n=$1 s file="$work/icon-$1.png"
    s=$(awk -v n="$n" 'BEGIN { printf "%.6f", n / 256 }')
    badge "$n" "$(awk -v n="$n" 'BEGIN { printf "%.2f", 44 * n / 256 }')" "$work/badge-$n.png"
    "$CONVERT" "$work/badge-$n.png" -draw "
        affine $s,0,0,$s,0,0
        stroke none
        fill '$SERVER'
        roundrectangle 60,30 196,64 9,9
        roundrectangle 60,72 196,106 9,9
        fill '$LED'
        circle 80,47 86,47
        circle 80,89 86,89
        fill '$SERVER_SLOT'
        roundrectangle 128,43 180,51 4,4
        roundrectangle 128,85 180,93 4,4
        fill '$ARROW'
        roundrectangle 114,110 142,148 4,4
        polygon 84,142 172,142 128,182
        fill '$DRIVE_SHADE'
        roundrectangle 34,178 222,234 14,14
        fill '$DRIVE'
        roundrectangle 34,178 222,226 14,14
        fill '$SERVER_SLOT'
        roundrectangle 124,198 200,206 4,4
        stroke '$CHECK'
        stroke-width 12
        stroke-linecap round
        stroke-linejoin round
        fill none
        polyline 56,201 72,215 100,187
    " "PNG32:$file"
}

# Small designs, coordinates in whole pixels of the target size (no anti-aliased
# edges inside the badge; the arrow head is built from rows of pixels).
small32() {
    badge 32 6 "$work/badge-32.png"
    "$CONVERT" "$work/badge-32.png" -draw "
        stroke none
        fill '$SERVER'
        rectangle 8,4 23,8
        fill '$LED'
        rectangle 10,6 11,6
        fill '$SERVER_SLOT'
        rectangle 15,6 21,6
        fill '$ARROW'
        rectangle 14,10 17,14
        rectangle 10,15 21,15
        rectangle 11,16 20,16
        rectangle 12,17 19,17
        rectangle 13,18 18,18
        rectangle 14,19 17,19
        rectangle 15,20 16,20
        fill '$DRIVE_SHADE'
        rectangle 4,22 27,28
        fill '$DRIVE'
        rectangle 4,22 27,27
        fill '$CHECK'
        rectangle 6,24 7,25
        rectangle 8,25 8,26
        rectangle 9,24 9,25
        rectangle 10,23 11,24
        fill '$SERVER_SLOT'
        rectangle 17,24 24,25
    " "PNG32:$work/icon-32.png"
}

small24() {
    badge 24 4 "$work/badge-24.png"
    "$CONVERT" "$work/badge-24.png" -draw "
        stroke none
        fill '$SERVER'
        rectangle 6,3 17,6
        fill '$LED'
        rectangle 8,4 8,5
        fill '$SERVER_SLOT'
        rectangle 11,4 15,5
        fill '$ARROW'
        rectangle 10,8 13,10
        rectangle 8,11 15,11
        rectangle 9,12 14,12
        rectangle 10,13 13,13
        rectangle 11,14 12,14
        fill '$DRIVE_SHADE'
        rectangle 3,16 20,21
        fill '$DRIVE'
        rectangle 3,16 20,20
        fill '$CHECK'
        rectangle 5,18 5,18
        rectangle 6,19 6,19
        rectangle 7,18 7,18
        rectangle 8,17 8,17
        fill '$SERVER_SLOT'
        rectangle 12,18 18,18
    " "PNG32:$work/icon-24.png"
}

small16() {
    badge 16 3 "$work/badge-16.png"
    "$CONVERT" "$work/badge-16.png" -draw "
        stroke none
        fill '$SERVER'
        rectangle 4,2 11,3
        fill '$LED'
        rectangle 5,2 5,3
        fill '$ARROW'
        rectangle 7,5 8,6
        rectangle 4,7 11,7
        rectangle 5,8 10,8
        rectangle 6,9 9,9
        rectangle 7,10 8,10
        fill '$DRIVE'
        rectangle 2,11 13,13
        fill '$CHECK'
        rectangle 4,12 4,12
        rectangle 5,13 5,13
        rectangle 6,12 6,12
        rectangle 7,11 7,11
        fill '$SERVER_SLOT'
        rectangle 9,12 12,12
    " "PNG32:$work/icon-16.png"
}

large 256
large 64
large 48
small32
small24
small16

# Order of the entries: small to large. -compress None keeps the 256 entry as BMP too.
"$CONVERT" "$work/icon-16.png" "$work/icon-24.png" "$work/icon-32.png" \
    "$work/icon-48.png" "$work/icon-64.png" "$work/icon-256.png" \
    -compress None "ICO:$out"

echo "wrote $out"
