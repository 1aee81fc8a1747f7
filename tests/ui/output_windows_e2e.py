#!/usr/bin/env python3
"""Outputs full screen on two X screens: each output whose screen is chosen in
the show file fills that screen with its cue's picture (pixel for pixel where
the sizes match, fitted between black bars where they do not), follows a GO
typed into the show window, and never keeps the keyboard focus from it;
Escape does not take a picture off its screen.

The pictures are stills of four coloured quadrants, read back from
screenshots of each X screen at the middle of each quadrant and in the bars.

usage: output_windows_e2e.py BEAMWRIGHT_BINARY
"""
import os
import subprocess
import sys
import time

import window_harness as harness

# Screen 0 matches the Stage output's size; screen 1 is 4:3 for a 16:9 output.
SCREENS = ("640x360", "480x360")
STAGE = (640, 360)
SIDE = (320, 180)
SIDE_PLACE = (0, 45, 480, 270)  # x, y, width, height on screen 1
WARM = [(230, 40, 40), (40, 200, 60), (40, 60, 220), (240, 240, 240)]
COOL = [(250, 220, 30), (30, 220, 220), (220, 40, 220), (120, 120, 120)]
TOLERANCE = 3


def quadrants(path, size, colours):
    """A PNG of `size` whose four quadrants (top left, top right, bottom left,
    bottom right) have the four `colours`."""
    width, height = size
    rows = []
    for y in range(height):
        top = y < height // 2
        left = colours[0] if top else colours[2]
        right = colours[1] if top else colours[3]
        rows.append(bytes(left) * (width // 2) + bytes(right) * (width - width // 2))
    with open(path + ".ppm", "wb") as out:
        out.write(b"P6 %d %d 255\n" % size + b"".join(rows))
    subprocess.run(["convert", path + ".ppm", path], check=True)
    os.remove(path + ".ppm")


def write_show(folder, connectors=("screen", "screen-2")):
    for name, size, colours in (("stage-warm.png", STAGE, WARM), ("stage-cool.png", STAGE, COOL),
                                ("side-warm.png", SIDE, WARM), ("side-cool.png", SIDE, COOL)):
        quadrants(os.path.join(folder, name), size, colours)
    text = ('{"config":['
            '{"name":"Stage","width":%d,"height":%d,'
            '"screen":{"connector":"%s","model":"","serial":""}},'
            '{"name":"Side","width":%d,"height":%d,'
            '"screen":{"connector":"%s","model":"","serial":""}}],"cues":['
            '{"id":1,"description":"Warm","fadeLength":0,"outputStates":[%s,%s]},'
            '{"id":2,"description":"Cool","fadeLength":0,"outputStates":[%s,%s]}]}'
            % (*STAGE, connectors[0], *SIDE, connectors[1], harness.state("stage-warm.png"), harness.state("side-cool.png"),
               harness.state("stage-cool.png"), harness.state("side-warm.png")))
    path = os.path.join(folder, "show.bwshow")
    with open(path, "w") as out:
        out.write(text)
    return path


def pixels(png, screen):
    """A PNG screenshot of screen number `screen` as (width, height, RGB bytes)."""
    rgb = subprocess.run(["convert", "png:-", "-depth", "8", "rgb:-"], input=png, check=True,
                         capture_output=True).stdout
    width, height = (int(side) for side in SCREENS[screen].split("x"))
    return width, height, rgb


def screenshot(session, screen):
    """The X screen's pixels."""
    display = "%s.%d" % (session.env["DISPLAY"], screen)
    png = subprocess.run(["import", "-display", display, "-window", "root", "png:-"],
                         env=session.env, check=True, capture_output=True).stdout
    return pixels(png, screen)


def pixel(shot, x, y):
    width, _, rgb = shot
    at = (y * width + x) * 3
    return tuple(rgb[at:at + 3])


def close(a, b):
    return all(abs(p - q) <= TOLERANCE for p, q in zip(a, b))


def mismatches(shot, place, colours):
    """Where the screenshot differs from the quadrants of `colours` drawn in
    `place`, with black around it."""
    x, y, width, height = place
    points = [((x + width // 4, y + height // 4), colours[0]),
              ((x + 3 * width // 4, y + height // 4), colours[1]),
              ((x + width // 4, y + 3 * height // 4), colours[2]),
              ((x + 3 * width // 4, y + 3 * height // 4), colours[3])]
    screen_width, screen_height, _ = shot
    if y > 0:
        points += [((screen_width // 2, y // 2), (0, 0, 0)),
                   ((screen_width // 2, screen_height - y // 2), (0, 0, 0))]
    return ["%s is %s, not %s" % (point, pixel(shot, *point), want)
            for point, want in points if not close(pixel(shot, *point), want)]


def wait_for_pictures(shoot, stage, side, what, log, seconds=10):
    """Waits until `shoot(screen)` shows `stage` on screen 0 and `side` on
    screen 1 (None: anything)."""
    deadline = time.monotonic() + seconds
    while True:
        wrong = mismatches(shoot(0), (0, 0, *STAGE), stage)
        if side is not None:
            wrong += mismatches(shoot(1), SIDE_PLACE, side)
        if not wrong:
            return
        if time.monotonic() > deadline:
            raise RuntimeError("%s: %s\n%s" % (what, "; ".join(wrong), log()))
        time.sleep(0.1)


def focused(session):
    return subprocess.run(["xdotool", "getwindowfocus"], env=session.env, capture_output=True,
                          text=True).stdout.strip()


def main():
    harness.require_programs(["Xvfb", "xdotool", "pipewire", "dbus-daemon", "import", "convert"])
    with harness.Session(sys.argv[1], show=write_show, screens=SCREENS) as session:
        try:
            session.start()
            # The show window has the focus and keeps it while the output
            # windows open over it; keys typed without focusing anything
            # reach it.
            session.xdotool("windowfocus", "--sync", session.window_id)
            stage_window = session.wait_for(
                lambda: subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Stage$"],
                                       env=session.env, capture_output=True,
                                       text=True).stdout.split(), 20,
                "no output window for Stage")[0]
            time.sleep(0.5)
            if focused(session) != session.window_id:
                raise RuntimeError("an output window took the focus")
            session.xdotool("type", "--delay", "20", "1")
            session.xdotool("key", "Return")
            shoot = lambda screen: screenshot(session, screen)
            log = lambda: session.log("beamwright")
            wait_for_pictures(shoot, WARM, COOL, "cue 1", log)

            # An output window given the focus by force hands it back; Escape
            # there takes no picture off its screen, and Return is still GO.
            session.xdotool("windowfocus", stage_window)
            session.xdotool("key", "Escape")
            wait_for_pictures(shoot, WARM, COOL, "after Escape", log)
            session.xdotool("windowfocus", stage_window)
            session.xdotool("key", "Return")
            wait_for_pictures(shoot, COOL, WARM, "cue 2", log)
            session.wait_for(lambda: focused(session) == session.window_id, 5,
                             "the show window did not take the focus back")
            print("two outputs on two screens: cue pictures in place, GO followed, focus kept")

            # File > Quit ends the program, output windows and all, once the
            # operator says the show on the outputs may end.
            session.xdotool("windowfocus", "--sync", session.window_id)
            session.xdotool("key", "ctrl+q")
            box = session.wait_for(lambda: subprocess.run(
                ["xdotool", "search", "--onlyvisible", "--name", "^Beamwright$"], env=session.env,
                capture_output=True, text=True).stdout.split(), 20,
                "Quit did not ask before ending the show on the outputs")[0]
            session.xdotool("windowfocus", "--sync", box)
            session.xdotool("key", "alt+c")
            ended = time.monotonic() + harness.deadline(20)
            while session.window.poll() is None and time.monotonic() < ended:
                time.sleep(0.05)
            if session.window.poll() is None:
                raise RuntimeError("Ctrl+Q left the program running with its output windows")
            print("Ctrl+Q ended the program, exit status %d" % session.window.returncode)
        except Exception as error:
            print("FAIL:", error, file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
