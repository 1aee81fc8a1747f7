#!/usr/bin/env python3
"""The real window on a small laptop screen and a 4K screen (and a 1080p
monitor when pictures are asked for), under Xvfb: it must open within the
screen and make use of it, with its status line in view; the cue list must
use the width it is given, and the stage line must stay readable. (Xvfb reports 96 dpi for every screen size,
so the zoom that follows a dense screen is the unit tests'.)

With BW_SCREENSHOT_DIR set, a picture of each screen in both looks is left
there, for looking at.

usage: window_sizes.py BEAMWRIGHT_BINARY
"""
import os
import subprocess
import sys

import window_harness as harness

# The smallest and the largest screen are checked; the 1080p one, in
# between, only when pictures are asked for.
SCREENS = ["1024x600", "3840x2160"]
PICTURE_SCREENS = ["1024x600", "1920x1080", "3840x2160"]


def inside(extents, width, height):
    x, y, w, h = extents
    return x >= 0 and y >= 0 and x + w <= width and y + h <= height


def window_geometry(session):
    """(x, y, width, height) of the show window on the screen."""
    shell = subprocess.run(["xdotool", "getwindowgeometry", "--shell", session.window_id],
                           env=session.env, capture_output=True, text=True, check=True).stdout
    values = dict(line.split("=", 1) for line in shell.split())
    return tuple(int(values[key]) for key in ("X", "Y", "WIDTH", "HEIGHT"))


def check(binary, screen, dark, shots):
    width, height = (int(n) for n in screen.split("x"))
    with harness.Session(binary, dark=dark, accessible=True, screens=(screen,),
                         show=harness.write_cue_list_show) as session:
        session.start()
        accessibility = harness.Accessibility(session)
        table = session.wait_for(lambda: accessibility.find("Cues"), 20, "no cue list")
        session.wait_for(lambda: accessibility.cell(table, 3, 0), 20,
                         "the show's cues are not listed")
        now = session.wait_for(lambda: accessibility.find("Cue on stage"), 5, "no now line")
        rate = session.wait_for(lambda: accessibility.find("Frame rate"), 5, "no frame rate")
        session.type_cue("1")
        session.wait_for(lambda: (accessibility.description(now) or "").startswith("Now: 1"), 10,
                         "cue 1 is not on stage after the GO")
        problems = []
        window = window_geometry(session)
        if not inside(window, width, height):
            problems.append("the window %s does not fit the %s screen" % (window, screen))
        if window[2] < 0.7 * width or window[3] < 0.6 * height:
            problems.append("the window %s leaves most of the %s screen unused" % (window, screen))
        status = accessibility.extents(rate)
        if not inside(status, width, height):
            problems.append("the status line %s is off the %s screen" % (status, screen))
        cues = accessibility.extents(table)
        if cues[2] < 0.6 * window[2]:
            problems.append("the cue list is %d of the window's %d pixels wide"
                            % (cues[2], window[2]))
        line = accessibility.extents(now)
        # Twice the body type: about 30 pixels high.
        if line[3] < 26:
            problems.append("the now line is %d pixels high" % line[3])
        if shots:
            session.xdotool("mousemove", str(width - 1), str(height - 1))
            session.screenshot(os.path.join(shots, "window-%s-%s.png"
                                            % (screen, "dark" if dark else "light")))
        return problems


def main():
    harness.require_programs(["Xvfb", "xdotool", "pipewire", "dbus-daemon", "gdbus", "import"])
    binary = sys.argv[1]
    shots = os.environ.get("BW_SCREENSHOT_DIR")
    problems = []
    for screen in (PICTURE_SCREENS if shots else SCREENS):
        for dark in ([False, True] if shots else [False]):
            problems += check(binary, screen, dark, shots)
    for problem in problems:
        print("FAIL:", problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
