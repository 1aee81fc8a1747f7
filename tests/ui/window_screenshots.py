#!/usr/bin/env python3
"""The window in its light and dark looks with a loaded show, taken under
Xvfb from the real binary and compared with tests/ui/references/*.png.

The frame rate, dropped-frame count and GO latency at the right of the
status line change from run to run; that corner is painted over in both
pictures before they are compared. A channel may differ by 3% and up to
BW_ALLOWED_PIXELS pixels beyond that (text antialiasing). With
BW_UPDATE_GOLDENS=1 the references are written instead, and the pictures as
taken (nothing painted over) go to docs/images/ for the README.

usage: window_screenshots.py BEAMWRIGHT_BINARY
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import window_harness as harness

REFERENCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "references")
DOC_IMAGES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                          "images")
# The window opens at 960x600; the status line's live figures sit in its
# bottom-right corner.
LIVE_FIGURES = "rectangle 600,570 960,600"
ALLOWED_PIXELS = int(os.environ.get("BW_ALLOWED_PIXELS", "150"))


def masked(source, target):
    subprocess.run(["convert", source, "-fill", "magenta", "-draw", LIVE_FIGURES,
                    "-alpha", "off", target], check=True)


def take(binary, dark, path):
    with harness.Session(binary, dark=dark) as session:
        session.start()
        # The show has loaded once the title names it; one more second lets
        # the status line's first update and any repaint land.
        time.sleep(1.5)
        session.screenshot(path)


def main():
    harness.require_programs(["Xvfb", "xdotool", "pipewire", "dbus-daemon", "import",
                              "convert", "compare"])
    update = os.environ.get("BW_UPDATE_GOLDENS") == "1"
    failures = []
    with tempfile.TemporaryDirectory(prefix="bw-shots-") as folder:
        for look, dark in (("light", False), ("dark", True)):
            shot = os.path.join(folder, look + ".png")
            take(sys.argv[1], dark, shot)
            reference = os.path.join(REFERENCES, "window-%s.png" % look)
            if update:
                masked(shot, reference)
                os.makedirs(DOC_IMAGES, exist_ok=True)
                shutil.copyfile(shot, os.path.join(DOC_IMAGES, "window-%s.png" % look))
                print("wrote", reference)
                continue
            actual = os.path.join(folder, look + "-masked.png")
            masked(shot, actual)
            result = subprocess.run(["compare", "-metric", "AE", "-fuzz", "3%", actual,
                                     reference, os.path.join(folder, look + "-diff.png")],
                                    capture_output=True, text=True)
            try:
                differing = int(float(result.stderr.split()[0]))
            except (ValueError, IndexError):
                failures.append("%s: cannot compare: %s" % (look, result.stderr.strip()))
                continue
            print("%s: %d pixels beyond tolerance (allowed %d)" % (look, differing, ALLOWED_PIXELS))
            if differing > ALLOWED_PIXELS:
                kept = os.path.join(tempfile.gettempdir(), "bw-window-%s-actual.png" % look)
                masked(shot, kept)
                failures.append("%s differs from %s; this run's picture: %s"
                                % (look, reference, kept))
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
