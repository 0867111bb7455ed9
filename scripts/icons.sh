#!/usr/bin/env bash
# Makes the program's icon in the sizes the desktop's icon theme looks for, from the mark at the
# left of the window's logo, into packaging/icons/. Run it again when the logo changes; the icons
# are kept in the repository so that building never needs ImageMagick.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
lintaker_install_missing imagemagick

logo=app/resources/logo.png
# The mark is a 60 px rounded square at 2,2 on a white ground; the 64 px square around it keeps
# that 2 px margin on every side. Its corners are rounded with a radius under 12 px.
crop=64x64+0+0
first=2 last=61 corner=12
blue=(31 95 139)

outside="(i<$first||i>$last||j<$first||j>$last)"
inCorner="((i<$((first + corner))||i>$((last - corner)))&&(j<$((first + corner))||j>$((last - corner))))"
# Outside the square nothing is drawn. In its corners a pixel is the mark's blue laid over white,
# so its red says how much of the blue it holds; that becomes its opacity, and the blue its colour.
# Everywhere else, the white wave included, the mark stays as it is.
alpha="$outside ? 0 : ($inCorner ? min(1, max(0, (1-u.r)/(1-${blue[0]}/255))) : 1)"
edge="($outside||$inCorner)"

for size in 16 22 24 32 48 64; do
    mkdir -p "packaging/icons/${size}x${size}"
    convert "$logo" -crop "$crop" +repage -alpha set \
        -channel A -fx "$alpha" \
        -channel R -fx "$edge ? ${blue[0]}/255 : u" \
        -channel G -fx "$edge ? ${blue[1]}/255 : u" \
        -channel B -fx "$edge ? ${blue[2]}/255 : u" +channel \
        -resize "${size}x${size}" -strip -define png:exclude-chunks=date,time \
        "PNG32:packaging/icons/${size}x${size}/lintaker.png"
done
echo "Icons written to packaging/icons/."
