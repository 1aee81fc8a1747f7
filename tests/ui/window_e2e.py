#!/usr/bin/env python3
"""The real window under Xvfb, end to end: a typed cue number and Return put
that cue's picture on the published output, a remote /go moves on, a remote
/panic fades it to black and a second /panic during that fade cuts to black,
and the status line shows the GO's latency. The window carries its icon.

A long load started by a second start, cancelled from its loading sheet,
leaves the output publishing to its consumer, linked, with the same picture;
the second start exits non-zero.

The latency label is read as a screen reader reads it: its accessible object
on the AT-SPI bus, found by its name ("GO latency"), carries the text it
shows as its description ("GO – ms" before the first GO, "GO 12.3 ms" after).

usage: window_e2e.py BEAMWRIGHT_BINARY
"""
import os
import re
import socket
import subprocess
import sys
import time

import window_harness as harness

def atspi_description(accessibility, name):
    """The description of the accessible named `name`; None while there is none."""
    accessible = accessibility.find(name)
    return accessibility.description(accessible) if accessible else None


# A GO later than two refreshes says so (a busy machine without a GPU).
LATENCY = re.compile(r"GO \d+(\.\d)? ms(: late)?")


def shows_latency(accessibility):
    text = atspi_description(accessibility, "GO latency")
    return text if text and LATENCY.fullmatch(text) else None


def send_panics(session, count):
    """`count` OSC /panic messages, back to back."""
    message = b"/panic\0\0,\0\0\0"
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        for _ in range(count):
            udp.sendto(message, ("127.0.0.1", session.osc_port))


def second_panic_cuts(session, frames):
    """From the grid, two Panics at once: black without the fade between."""
    session.oscsend("/cue", "f", "2")
    frames.wait_for_level(lambda level: level >= harness.GRID_AT_LEAST)
    frames.drain()
    send_panics(session, 2)
    between = 0
    give_up = time.monotonic() + harness.deadline(20)
    while time.monotonic() < give_up:
        level = harness.mean_level(frames.frame()[0])
        if level <= harness.BLACK_AT_MOST:
            break
        if level < harness.GRID_AT_LEAST * 0.75:
            between += 1
    else:
        raise RuntimeError("two Panics did not reach black")
    # A one-second fade passes through dozens of frames on the way down.
    if between > 2:
        raise RuntimeError("a second Panic faded (%d frames between) instead of cutting"
                           % between)
    return between


def long_show(session):
    """A show whose load takes a while: many distinct movie files, each
    given a thumbnail before the show installs."""
    folder = os.path.join(session.dir, "long")
    os.makedirs(folder)
    movie = os.path.join(folder, "movie-0.webm")
    subprocess.run(["gst-launch-1.0", "-q", "videotestsrc", "num-buffers=60", "!",
                    "video/x-raw,width=320,height=240,framerate=30/1", "!", "vp8enc", "!",
                    "webmmux", "!", "filesink", "location=" + movie], env=session.env, check=True)
    cues = []
    for number in range(1500):
        path = os.path.join(folder, "movie-%d.webm" % number)
        if number:
            os.link(movie, path)
        cues.append('{"id":%d,"description":"Movie %d","fadeLength":0,"outputStates":[%s]}'
                    % (number + 1, number + 1, harness.state(path)))
    path = os.path.join(folder, "long.bwshow")
    with open(path, "w") as out:
        out.write('{"config":[{"name":"Stage","width":%d,"height":%d}],"cues":[%s]}'
                  % (harness.STAGE_WIDTH, harness.STAGE_HEIGHT, ",".join(cues)))
    return path


def visible_window(session, pattern):
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", pattern],
                           env=session.env, capture_output=True, text=True).stdout.split()
    return found[0] if found else None


def linked_to_consumer(session, frames):
    links = subprocess.run(["pw-link", "-l"], env=session.env, capture_output=True,
                           text=True).stdout
    return "Stage:" in links and frames.node in links


def cancelled_load_keeps_the_output(session, frames):
    """A second start loads the long show; its loading sheet's Cancel keeps
    the output as it was, publishing to the same consumer."""
    show = long_show(session)
    starting = subprocess.Popen([session.binary, show], env=session.env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
    box = session.wait_for(lambda: visible_window(session, "^Beamwright$"), 30,
                           "no question before replacing the Panic on stage")
    session.xdotool("windowfocus", "--sync", box)
    session.xdotool("key", "alt+c")
    sheet = session.wait_for(lambda: visible_window(session, "^Loading Show"), 30,
                             "no loading sheet")
    session.xdotool("windowfocus", "--sync", sheet)
    session.xdotool("key", "Escape")
    said, _ = starting.communicate(timeout=harness.deadline(60))
    if starting.returncode == 0 or "was not opened" not in said:
        raise RuntimeError("the cancelled load's start said %r, status %d"
                           % (said, starting.returncode))
    if not linked_to_consumer(session, frames):
        raise RuntimeError("the output or its link to the consumer went with the cancelled load")
    frames.drain()
    level = frames.wait_for_level(lambda level: level <= harness.BLACK_AT_MOST)
    return said.strip(), level


def main():
    harness.require_programs(harness.PROGRAMS + ["xprop"])
    with harness.Session(sys.argv[1], accessible=True) as session:
        try:
            session.start()
            # The window carries its icon, which X11 task bars show.
            icon = subprocess.run(["xprop", "-id", session.window_id, "_NET_WM_ICON"],
                                  env=session.env, capture_output=True, text=True).stdout
            if not icon.startswith("_NET_WM_ICON(CARDINAL) = "):
                raise RuntimeError("the window has no icon: %r" % icon[:200])
            frames = session.consumer()
            accessibility = harness.Accessibility(session)
            before = session.wait_for(lambda: atspi_description(accessibility, "GO latency"), 20,
                                      "no accessible GO latency label")
            if LATENCY.fullmatch(before):
                raise RuntimeError("a GO latency before any GO: %s" % before)

            # Before any GO the output shows its default picture (light); the
            # typed cue 1 puts black on it.
            session.type_cue("1")
            frames.wait_for_level(lambda level: level <= harness.BLACK_AT_MOST)
            typed = session.wait_for(lambda: shows_latency(accessibility), 5,
                                     "the GO latency label shows no number after the keystroke")

            # A remote GO runs the next cue: the fade to the grid.
            sent = time.monotonic()
            session.oscsend("/go")
            frames.wait_for_level(lambda level: level >= harness.GRID_AT_LEAST)
            arrived = time.monotonic() - sent
            after = session.wait_for(lambda: shows_latency(accessibility), 5,
                                     "the status line shows no GO latency after /go")
            # Panic from OSC fades the grid to black; the now line says so.
            sent_panic = time.monotonic()
            session.oscsend("/panic")
            frames.wait_for_level(lambda level: level <= harness.BLACK_AT_MOST)
            panicked = time.monotonic() - sent_panic
            session.wait_for(lambda: atspi_description(accessibility, "Cue on stage") ==
                             "Now: Panic", 20, "the now line does not say Panic")
            # How long it took is the keystroke benchmark's to judge: a busy
            # machine may take any time, and only the order is checked here.
            print("label before any GO %r, after the keystroke %r, after /go %r; "
                  "/go to the grid frame %.1f ms; /panic to black %.0f ms"
                  % (before, typed, after, arrived * 1000, panicked * 1000))
            between = second_panic_cuts(session, frames)
            print("a second Panic cut to black (%d frames between)" % between)
            said, level = cancelled_load_keeps_the_output(session, frames)
            print("cancelled load: %r; the output still publishes black (%d) to its consumer"
                  % (said, level))
        except Exception as error:  # noqa: BLE001 - any failure ends the test with the logs
            print("FAIL: %s\nbeamwright log:\n%s" % (error, session.log("beamwright")))
            return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
