#!/usr/bin/env python3
"""The cue list from the keyboard alone, end to end: the real window under
Xvfb, driven only by xdotool key events (no pointer event at all), builds a
three-cue show on an empty one (Ctrl+Shift+N three times; F2 and a path typed
into the file chooser for a movie and a still; G for the grid), deselects
(Escape) and runs it with Return three times. After each GO the published
output shows that cue's picture: the colour bars of the movie, the grey ball
of the still, then the light alignment grid.

usage: cue_list_keys_e2e.py BEAMWRIGHT_BINARY TEST_MEDIA_DIR
"""
import os
import subprocess
import sys
import time

import window_harness as harness


def empty_show(folder):
    """One small output and no cue."""
    path = os.path.join(folder, "show.bwshow")
    with open(path, "w") as out:
        out.write('{"config":[{"name":"Stage","width":%d,"height":%d}],"cues":[]}'
                  % (harness.STAGE_WIDTH, harness.STAGE_HEIGHT))
    return path


STEADY_FRAMES = 12


def colourfulness(frame):
    """The mean spread between a pixel's strongest and weakest channel, 0..255:
    about 0 for grey pictures, large for colour bars."""
    total = 0
    for k in range(0, len(frame), 4):
        channels = frame[k:k + 3]
        total += max(channels) - min(channels)
    return total / (len(frame) // 4)


def wait_for_picture(frames, accept, what, seconds=30):
    """The first steady picture (level and colourfulness alike, within 2,
    over STEADY_FRAMES frames in a row) that `accept` takes (level,
    colourfulness): a crossfade passes through mixed frames first."""
    give_up = time.monotonic() + harness.deadline(seconds)
    recent = []
    while time.monotonic() < give_up:
        frame = frames.frame()[0]
        recent = (recent + [(harness.mean_level(frame), colourfulness(frame))])[-STEADY_FRAMES:]
        if len(recent) < STEADY_FRAMES:
            continue
        levels, colours = zip(*recent)
        if max(levels) - min(levels) <= 2 and max(colours) - min(colours) <= 2 and \
                accept(*recent[-1]):
            return recent[-1]
    raise RuntimeError("the output never showed %s steadily; last level %.0f, colour %.0f"
                       % ((what,) + recent[-1]))


def visible_window(session, pattern):
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", pattern],
                           env=session.env, capture_output=True, text=True).stdout.split()
    return found[0] if found else None


def choose_media(session, accessibility, table, path):
    """F2 on the current cell, the file's full path typed into the chooser's
    name field, Return; back in the window once the chooser has gone and the
    cue list has the keys again (keys sent before then go astray)."""
    session.xdotool("key", "F2")
    dialog = session.wait_for(lambda: visible_window(session, "^Set Media$"), 20,
                              "F2 opened no file chooser")
    session.xdotool("windowfocus", "--sync", dialog)
    session.xdotool("type", "--delay", "10", path)
    session.xdotool("key", "Return")
    session.wait_for(lambda: not visible_window(session, "^Set Media$"), 20,
                     "the chooser did not take the typed path")
    session.xdotool("windowfocus", "--sync", session.window_id)
    session.wait_for(lambda: accessibility.focused(table), 20,
                     "the cue list did not get the keys back from the chooser")


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    harness.require_programs()
    media = sys.argv[2]
    with harness.Session(sys.argv[1], accessible=True, show=empty_show) as session:
        try:
            session.start()
            accessibility = harness.Accessibility(session)
            table = session.wait_for(lambda: accessibility.find("Cues"), 20,
                                     "the cue list is not among the window's accessibles")
            frames = session.consumer()
            session.xdotool("windowfocus", "--sync", session.window_id)
            for _ in range(3):
                session.xdotool("key", "ctrl+shift+n")
            # Into the table (its only focusable control), to cue 1's output.
            session.xdotool("key", "Tab")
            session.xdotool("key", "ctrl+Home")
            # Past the cue's pre-wait, continue and post-wait cells to the
            # first output's.
            for _ in range(4):
                session.xdotool("key", "Right")
            choose_media(session, accessibility, table, os.path.join(media, "movie.webm"))
            session.xdotool("key", "Down")
            choose_media(session, accessibility, table, os.path.join(media, "image.png"))
            session.xdotool("key", "Down")
            session.xdotool("key", "g")
            # Nothing selected: Return runs the next cue, from cue 1 on.
            session.xdotool("key", "Escape")

            shown = []
            session.xdotool("key", "Return")
            shown.append(wait_for_picture(frames, lambda level, colour: colour > 60,
                                          "the movie's colour bars"))
            session.xdotool("key", "Return")
            shown.append(wait_for_picture(
                frames, lambda level, colour: colour < 4 and harness.BLACK_AT_MOST < level <
                harness.GRID_AT_LEAST * 0.75, "the still's grey ball"))
            session.xdotool("key", "Return")
            shown.append(wait_for_picture(
                frames, lambda level, colour: level >= harness.GRID_AT_LEAST, "the grid"))
            for number, (level, colour) in enumerate(shown, 1):
                print("after GO %d: level %.0f, colour %.0f" % (number, level, colour))
        except Exception as error:  # noqa: BLE001 - any failure ends the test with the logs
            print("FAIL: %s\nbeamwright log:\n%s" % (error, session.log("beamwright")))
            return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
