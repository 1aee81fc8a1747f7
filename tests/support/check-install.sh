#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop needs
# of it: the executables, the resources they read from there, a valid
# desktop entry, a show file type the MIME database takes, and the icons.
# Usage: check-install.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" > /dev/null

app=app.beamwright.Beamwright
for file in bin/beamwright bin/beamwright-tap share/beamwright/shaders/Mix.fs \
            share/beamwright/images/missing.png share/beamwright/images/black.png \
            share/beamwright/images/clear.png share/beamwright/images/grid.png \
            share/applications/$app.desktop \
            share/mime/packages/$app.xml share/icons/hicolor/48x48/apps/$app.png \
            share/icons/hicolor/512x512/apps/$app.png share/icons/hicolor/scalable/apps/$app.svg; do
    [ -e "$prefix/$file" ] || { echo "missing after install: $file"; exit 1; }
done
desktop-file-validate "$prefix/share/applications/$app.desktop"
update-mime-database "$prefix/share/mime"
grep -q '^\*\.bwshow$\|:\*\.bwshow$' "$prefix/share/mime/globs" ||
    { echo "the MIME database has no *.bwshow glob"; exit 1; }
echo "installed layout complete"
