#!/usr/bin/env python3
"""The real window on a small laptop screen, a 1080p monitor and a 4K monitor
(at the density of a 27-inch one), under Xvfb: it must open within the
screen with its status line in view, the cue list must use the width it is
given, and the stage line must stay readable (on the dense screen it grows
with the screen's density).

With BW_SCREENSHOT_DIR set, a picture of each screen in both looks is left
there, for looking at.

usage: window_sizes.py BEAMWRIGHT_BINARY
"""
import os
import sys

import window_harness as harness

# (screen, dots per inch): the laptop and the monitor at the X server's
# usual 96, the 4K monitor at its true density.
SCREENS = [("1024x600", 96), ("1920x1080", 96), ("3840x2160", 163)]


def inside(extents, width, height):
    x, y, w, h = extents
    return x >= 0 and y >= 0 and x + w <= width and y + h <= height


def check(binary, screen, dpi, dark, shots):
    width, height = (int(n) for n in screen.split("x"))
    with harness.Session(binary, dark=dark, accessible=True, screens=(screen,), dpi=dpi,
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
        window = session.wait_for(lambda: accessibility.extents(accessibility.find("Show")), 5,
                                  "the window's central area has no place")
        if not inside(window, width, height):
            problems.append("the window %s does not fit the %s screen" % (window, screen))
        status = accessibility.extents(rate)
        if not inside(status, width, height):
            problems.append("the status line %s is off the %s screen" % (status, screen))
        cues = accessibility.extents(table)
        if cues[2] < 0.6 * window[2]:
            problems.append("the cue list is %d of the window's %d pixels wide"
                            % (cues[2], window[2]))
        line = accessibility.extents(now)
        # At 96 dpi the now line is twice the body type (about 30 pixels
        # high); at 163 dpi its zoom makes it larger in proportion.
        wanted = 26 * (1.75 if dpi > 150 else 1)
        if line[3] < wanted:
            problems.append("the now line is %d pixels high, under %d" % (line[3], wanted))
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
    for screen, dpi in SCREENS:
        for dark in ([False, True] if shots else [False]):
            problems += check(binary, screen, dpi, dark, shots)
    for problem in problems:
        print("FAIL:", problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
