#!/usr/bin/env python3
"""The real window under Xvfb, end to end: a typed cue number and Return put
that cue's picture on the published output, a remote /go moves on, and the
status line shows the GO's latency.

The latency label is read as a screen reader reads it: its accessible object
on the AT-SPI bus, found by its name ("GO latency"), carries the text it
shows as its description ("GO – ms" before the first GO, "GO 12.3 ms" after).

usage: window_e2e.py BEAMWRIGHT_BINARY
"""
import re
import subprocess
import sys
import time

import window_harness as harness

def atspi_description(session, name):
    """The description of the accessible named `name` in the window, found by
    walking the AT-SPI tree with gdbus; None while there is none."""
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

    def accessible_property(bus_name, path, key):
        return call(bus_name, path, "org.freedesktop.DBus.Properties.Get",
                    "org.a11y.atspi.Accessible", key)

    pending = children("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")
    while pending:
        bus_name, path = pending.pop()
        if "'%s'" % name in accessible_property(bus_name, path, "Name"):
            found = re.search(r"<'(.*)'>", accessible_property(bus_name, path, "Description"))
            return found.group(1) if found else None
        pending.extend(children(bus_name, path))
    return None


LATENCY = re.compile(r"GO \d+(\.\d)? ms")


def shows_latency(session):
    text = atspi_description(session, "GO latency")
    return text if text and LATENCY.fullmatch(text) else None


def main():
    harness.require_programs()
    with harness.Session(sys.argv[1], accessible=True) as session:
        try:
            session.start()
            frames = session.consumer()
            before = session.wait_for(lambda: atspi_description(session, "GO latency"), 20,
                                      "no accessible GO latency label")
            if LATENCY.fullmatch(before):
                raise RuntimeError("a GO latency before any GO: %s" % before)

            # Before any GO the output shows its default picture (light); the
            # typed cue 1 puts black on it.
            session.type_cue("1")
            frames.wait_for_level(lambda level: level <= harness.BLACK_AT_MOST)
            typed = session.wait_for(lambda: shows_latency(session), 5,
                                     "the GO latency label shows no number after the keystroke")

            # A remote GO runs the next cue: the fade to the grid.
            sent = time.monotonic()
            session.oscsend("/go")
            frames.wait_for_level(lambda level: level >= harness.GRID_AT_LEAST)
            arrived = time.monotonic() - sent
            after = session.wait_for(lambda: shows_latency(session), 5,
                                     "the status line shows no GO latency after /go")
            print("label before any GO %r, after the keystroke %r, after /go %r; "
                  "/go to the grid frame %.1f ms" % (before, typed, after, arrived * 1000))
            if arrived > 2.0:  # a half-second fade and a few refreshes
                raise RuntimeError("the remote GO took %.0f ms to reach the output" % (arrived * 1000))
        except Exception as error:  # noqa: BLE001 - any failure ends the test with the logs
            print("FAIL: %s\nbeamwright log:\n%s" % (error, session.log("beamwright")))
            return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
