#!/usr/bin/env python3
"""The window in its light and dark looks with a loaded show, taken under
Xvfb from the real binary and compared with tests/ui/references/*.png.

The show has two outputs and a cell of every kind: a movie, a still, each
generator and a missing file. One GO makes cue 1 current (green) and cue 2
next (yellow); a click selects cue 3, which GO would then run (the next line
names it, and the next colour moves under the selection). Thumbnails are made in the background,
so pictures are taken until one matches the reference (the last one taken is
compared when none has by the deadline); with BW_UPDATE_GOLDENS=1, until the
window stays the same for a second.

The frame rate, dropped-frame count and GO latency at the right of the
status line change from run to run, and so do the widths of the health
warnings beside them (a warning is bold); that part of the status line is
painted over in both pictures before they are compared. A channel may differ by 3% and up to
BW_ALLOWED_PIXELS pixels beyond that (text antialiasing). With
BW_UPDATE_GOLDENS=1 the references are written instead, and the pictures as
taken (nothing painted over) go to docs/images/ for the README.

usage: window_screenshots.py BEAMWRIGHT_BINARY
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import window_harness as harness

REFERENCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "references")
DOC_IMAGES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                          "images")
# The window opens at 1100x700 on its 1280x800 screen; the status line's
# live figures and health warnings sit in its right half.
LIVE_FIGURES = "rectangle 400,670 1100,700"
ALLOWED_PIXELS = int(os.environ.get("BW_ALLOWED_PIXELS", "150"))
# Where the pointer rests while pictures are taken: off the window, so that
# nothing under it is hovered.
POINTER_AWAY = ("1270", "790")
NOW_CUE_1 = re.compile(r"Now: 1(\.0)? Opening")


def masked(source, target):
    subprocess.run(["convert", source, "-fill", "magenta", "-draw", LIVE_FIGURES,
                    "-alpha", "off", target], check=True)


def masked_pixels(source):
    return subprocess.run(["convert", source, "-fill", "magenta", "-draw", LIVE_FIGURES,
                           "-alpha", "off", "rgb:-"], check=True, capture_output=True).stdout


def settled_screenshot(session, path, seconds=20):
    """Takes pictures half a second apart until three in a row agree (the live
    figures aside)."""
    previous, alike = None, 0
    give_up = time.monotonic() + harness.deadline(seconds)
    while time.monotonic() < give_up:
        session.screenshot(path)
        pixels = masked_pixels(path)
        alike = alike + 1 if pixels == previous else 0
        if alike == 2:
            return
        previous = pixels
        time.sleep(0.5)
    raise RuntimeError("the window still changed after %d s" % seconds)


def differing_pixels(shot, reference, folder, look):
    """Pixels of `shot` (masked) beyond tolerance against `reference`; an
    error text when they cannot be compared."""
    actual = os.path.join(folder, look + "-masked.png")
    masked(shot, actual)
    # References written with a narrower mask get the present one too.
    expected = os.path.join(folder, look + "-reference.png")
    masked(reference, expected)
    result = subprocess.run(["compare", "-metric", "AE", "-fuzz", "3%", actual, expected,
                             os.path.join(folder, look + "-diff.png")],
                            capture_output=True, text=True)
    try:
        return int(float(result.stderr.split()[0]))
    except (ValueError, IndexError):
        return "cannot compare: %s" % result.stderr.strip()


def matching_screenshot(session, path, matches, seconds=60):
    """Takes pictures until one `matches`, or the deadline has passed (the
    last one is then left at `path`)."""
    give_up = time.monotonic() + harness.deadline(seconds)
    while True:
        session.screenshot(path)
        if matches(path) or time.monotonic() > give_up:
            return
        time.sleep(0.25)


def take(binary, dark, path, matches=None):
    with harness.Session(binary, dark=dark, accessible=True,
                         show=harness.write_cue_list_show) as session:
        session.start()
        accessibility = harness.Accessibility(session)
        table = session.wait_for(lambda: accessibility.find("Cues"), 20, "no cue list")
        session.wait_for(lambda: accessibility.cell(table, 3, 0), 20,
                         "the show's cues are not listed")
        now = session.wait_for(lambda: accessibility.find("Cue on stage"), 5, "no \"Now\" line")

        session.type_cue("1")
        session.wait_for(lambda: NOW_CUE_1.fullmatch(accessibility.description(now) or ""), 5,
                         "cue 1 is not on stage after the GO")
        # A click on cue 3's number selects its row.
        x, y, _, height = accessibility.extents(accessibility.cell(table, 2, 0))
        session.click(x + 20, y + height // 2)
        session.xdotool("mousemove", *POINTER_AWAY)
        if matches is None:
            settled_screenshot(session, path)
        else:
            matching_screenshot(session, path, matches)


def main():
    harness.require_programs(["Xvfb", "xdotool", "pipewire", "dbus-daemon", "gdbus",
                              "gst-launch-1.0", "import", "convert", "compare"])
    update = os.environ.get("BW_UPDATE_GOLDENS") == "1"
    failures = []
    with tempfile.TemporaryDirectory(prefix="bw-shots-") as folder:
        for look, dark in (("light", False), ("dark", True)):
            shot = os.path.join(folder, look + ".png")
            reference = os.path.join(REFERENCES, "window-%s.png" % look)
            if update:
                take(sys.argv[1], dark, shot)
                masked(shot, reference)
                os.makedirs(DOC_IMAGES, exist_ok=True)
                shutil.copyfile(shot, os.path.join(DOC_IMAGES, "window-%s.png" % look))
                print("wrote", reference)
                continue
            take(sys.argv[1], dark, shot,
                 lambda path: differing_pixels(path, reference, folder, look) in
                 range(ALLOWED_PIXELS + 1))
            differing = differing_pixels(shot, reference, folder, look)
            if isinstance(differing, str):
                failures.append("%s: %s" % (look, differing))
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
