#!/usr/bin/env bash
# Makes the small media files the tests play, once per build folder.
# Usage: make-test-media.sh OUTPUT_DIR
set -euo pipefail
out=$1
stamp=$out/.complete-v1
[ -f "$stamp" ] && exit 0
mkdir -p "$out"
tmp=$(mktemp -d "$out/.making-XXXXXX")
trap 'rm -rf "$tmp"' EXIT

gst() { timeout 60 gst-launch-1.0 -q "$@"; }

# A two-second 64x36 movie at 25 fps (VP8 in WebM).
gst videotestsrc num-buffers=50 pattern=smpte ! video/x-raw,width=64,height=36,framerate=25/1 \
    ! vp8enc deadline=1 ! webmmux ! filesink location="$tmp/movie.webm"
# The same movie under a name that says nothing about its type.
cp "$tmp/movie.webm" "$tmp/movie-without-extension"
# Still images.
gst videotestsrc num-buffers=1 pattern=ball ! video/x-raw,width=64,height=48 ! pngenc \
    ! filesink location="$tmp/image.png"
gst videotestsrc num-buffers=1 pattern=snow ! video/x-raw,width=64,height=48 ! jpegenc \
    ! filesink location="$tmp/image.jpg"
# Text that is neither.
printf 'not media\n' > "$tmp/notes.txt"

mv "$tmp"/* "$out"/
touch "$stamp"
