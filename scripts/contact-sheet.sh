#!/usr/bin/env bash
# Builds docs/dialog-languages.png, the README's contact sheet of the dialog in every language, from
# the screenshots the dialog tests leave in <build>/dialog-screenshots/ (run `ctest -L gui` first).
# Needs ImageMagick's montage. BUILD_DIR picks the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
shots=${BUILD_DIR:-build}/dialog-screenshots
languages=(english german french italian spanish russian chinese tchinese japanese korean thai indonesian vietnamese)
files=()
for language in "${languages[@]}"; do
    [ -f "$shots/dialog-$language.png" ] || { echo "missing $shots/dialog-$language.png (run ctest -L gui)" >&2; exit 1; }
    files+=(-label "$language" "$shots/dialog-$language.png")
done
font=$(fc-match -f '%{file}' sans 2>/dev/null || true)
montage "${files[@]}" ${font:+-font "$font"} -tile 4x -geometry '384x+6+6' -pointsize 14 -depth 8 -background white -alpha remove -define png:color-type=2 docs/dialog-languages.png
echo "wrote docs/dialog-languages.png"
