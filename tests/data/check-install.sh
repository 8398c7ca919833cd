#!/usr/bin/env bash
# Installs the build tree into a throw-away prefix whose path has a space, quotes and a dollar
# sign, checks that every file desktops look for is there, and that the installed program finds
# its information file from that prefix.
#   check-install.sh <cmake> <build dir> <version>
set -euo pipefail
cmake=$1 build=$2 version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/my \"apps\" \$HOME"

"$cmake" --install "$build" --prefix "$prefix" >/dev/null

expected=(
  bin/pellora
  share/pellora/Info.json
  share/pellora/it.quillmere.Brivane.png
  share/pellora/PelloraMenuBar-16.png
  share/pellora/PelloraMenuBar-22.png
  share/pellora/PelloraMenuBar-24.png
  share/pellora/PelloraMenuBar-32.png
  share/pellora/PelloraMenuBar-48.png
  share/pellora/PelloraMenuBar-64.png
  share/applications/it.quillmere.Brivane.desktop
  share/metainfo/it.quillmere.Brivane.metainfo.xml
  share/icons/hicolor/scalable/apps/it.quillmere.Brivane.svg
  share/icons/hicolor/48x48/apps/it.quillmere.Brivane.png
  share/icons/hicolor/128x128/apps/it.quillmere.Brivane.png
  share/icons/hicolor/256x256/apps/it.quillmere.Brivane.png
  share/icons/hicolor/symbolic/apps/it.quillmere.Brivane-symbolic.svg
)
status=0
for file in "${expected[@]}"; do
  [ -f "$prefix/$file" ] || { echo "missing after install: $file"; status=1; }
done
for size in 48 128 256; do
  # Width and height are the big-endian words at bytes 16-23 of a PNG.
  header=$(od -An -tx1 -j16 -N8 "$prefix/share/icons/hicolor/${size}x${size}/apps/it.quillmere.Brivane.png" | tr -d ' \n')
  want=$(printf '%08x%08x' "$size" "$size")
  [ "$header" = "$want" ] || { echo "the ${size}x${size} icon is not ${size} pixels square:$header"; status=1; }
done
grep -q '^MimeType=.*x-scheme-handler/msauth.it.quillmere.Brivane;' \
  "$prefix/share/applications/it.quillmere.Brivane.desktop" || { echo "no msauth scheme"; status=1; }

# Run from the prefix, never from the build tree: the information file must come from share/.
out=$(cd "$work" && env -i PATH=/usr/bin:/bin "$prefix/bin/pellora" --version)
[ "$out" = "Pellora $version" ] || { echo "installed pellora --version printed '$out'"; status=1; }
exit $status
