#!/usr/bin/env python3
"""The real window under Xvfb, end to end: a typed cue number and Return put
that cue's picture on the published output, a remote /go moves on, and the
status line shows the GO's latency.

The latency label is read through its accessible object on the AT-SPI bus:
its text is not exposed there (the label carries an accessible name, which
hides the text), but its on-screen extents are, and the label is as wide as
its text. "GO – ms" before the first GO and "GO 12.3 ms" after it differ by
the digits, so a label that grew is a label that shows a number; the number
itself is checked through the frames, which arrive within a few refreshes.

usage: window_e2e.py BEAMWRIGHT_BINARY
"""
import re
import subprocess
import sys
import time

import window_harness as harness

def atspi_extents(session, name):
    """The screen rectangle (x, y, width, height) of the accessible named
    `name` in the window, found by walking the AT-SPI tree with gdbus."""
    env = session.env
    address = subprocess.run(["gdbus", "call", "--session", "-d", "org.a11y.Bus", "-o",
                              "/org/a11y/bus", "-m", "org.a11y.Bus.GetAddress"], env=env,
                             capture_output=True, text=True, check=True).stdout
    address = re.search(r"'([^']*)'", address).group(1)

    def call(bus_name, path, *method):
        return subprocess.run(["gdbus", "call", "--address", address, "-d", bus_name, "-o",
                               path, "-m", *method], env=env, capture_output=True,
                              text=True).stdout

    def children(bus_name, path):
        return re.findall(r"\('([^']*)', (?:objectpath )?'([^']*)'\)",
                          call(bus_name, path, "org.a11y.atspi.Accessible.GetChildren"))

    pending = children("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")
    while pending:
        bus_name, path = pending.pop()
        title = call(bus_name, path, "org.freedesktop.DBus.Properties.Get",
                     "org.a11y.atspi.Accessible", "Name")
        if "'%s'" % name in title:
            box = call(bus_name, path, "org.a11y.atspi.Component.GetExtents", "0")
            return tuple(int(v) for v in re.findall(r"-?\d+", box))
        pending.extend(children(bus_name, path))
    return None


def wider(extents, before):
    """Whether the label grew by at least the width of two digits."""
    return extents is not None and extents[2] >= before[2] + 8 and extents


def main():
    harness.require_programs()
    with harness.Session(sys.argv[1], accessible=True) as session:
        try:
            session.start()
            frames = session.consumer()
            label = session.wait_for(lambda: atspi_extents(session, "GO latency"), 20,
                                     "no accessible GO latency label")

            # Before any GO the output shows its default picture (light); the
            # typed cue 1 puts black on it.
            session.type_cue("1")
            frames.wait_for_level(lambda level: level <= harness.BLACK_AT_MOST)
            typed = session.wait_for(lambda: wider(atspi_extents(session, "GO latency"), label),
                                     5, "the GO latency label shows no number after the keystroke")

            # A remote GO runs the next cue: the fade to the grid.
            sent = time.monotonic()
            session.oscsend("/go")
            frames.wait_for_level(lambda level: level >= harness.GRID_AT_LEAST)
            arrived = time.monotonic() - sent
            after = atspi_extents(session, "GO latency")
            print("label before any GO %s, after the keystroke %s, after /go %s; "
                  "/go to the grid frame %.1f ms" % (label, typed, after, arrived * 1000))
            if not wider(after, label):
                raise RuntimeError("the status line shows no GO latency after /go")
            if arrived > 2.0:  # a half-second fade and a few refreshes
                raise RuntimeError("the remote GO took %.0f ms to reach the output" % (arrived * 1000))
        except Exception as error:  # noqa: BLE001 - any failure ends the test with the logs
            print("FAIL: %s\nbeamwright log:\n%s" % (error, session.log("beamwright")))
            return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
