#!/usr/bin/env python3
"""From a GO sent over OSC to the web remote's page showing the new cue,
against the same GO reported by the OSC feedback to a UDP subscriber.

The headless player (tests/web/web_harness.py) runs a two-cue show with the
web remote on; web_remote_latency.js sends each /go, listens as the
subscriber and watches the page's Now line in chromium, all on loopback.
Both paths leave the player from the same notice of the GO, so the ratio is
what the WebSocket, the browser's JSON handling and the page's drawing add
to a datagram. The page's time is taken when its Now line changes and at
the next frame drawn after that (what the eye can see first); its clock is
matched to the sender's by the shortest of 20 round trips.

usage: web_remote_latency.py [BEAMWRIGHT_BINARY] [--gos N] [--puppeteer DIR]
(from the build folder: ../bench/web_remote_latency.py; puppeteer-core is
installed there by the tests' install-puppeteer-core step)
"""
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "web"))
import web_harness  # noqa: E402
from web_harness import harness  # noqa: E402


def option(arguments, name, default):
    if name not in arguments:
        return default
    at = arguments.index(name)
    value = arguments[at + 1]
    del arguments[at:at + 2]
    return value


def summary(name, times, baseline=None):
    median, worst = statistics.median(times), max(times)
    line = "%-44s median %6.2f ms, worst %6.2f ms" % (name, median, worst)
    if baseline is not None:
        line += "; ratio to the baseline %.1f" % (median / statistics.median(baseline))
    return line


def main():
    arguments = sys.argv[1:]
    gos = int(option(arguments, "--gos", "50"))
    puppeteer_dir = option(arguments, "--puppeteer", "puppeteer-core")
    binary = arguments[0] if arguments else os.path.join("bin", "beamwright")
    web_harness.require_peers(puppeteer_dir)
    with web_harness.HeadlessSession(binary, harness.write_show) as session:
        session.start()
        ran = subprocess.run(["node", os.path.join(HERE, "web_remote_latency.js"),
                              os.path.abspath(puppeteer_dir), session.url(),
                              str(session.osc_port), str(gos)],
                             capture_output=True, text=True, env=session.env,
                             timeout=harness.deadline(60 + gos))
        if ran.returncode != 0:
            print("FAIL: %s\nbeamwright log:\n%s" % (ran.stderr, session.log("beamwright")))
            return 1
    times = json.loads(ran.stdout)
    print("GOs: %d over OSC on loopback, the headless player, the page in headless chromium"
          % gos)
    print(summary("OSC feedback to a UDP subscriber (baseline)", times["osc"]))
    print(summary("the page's Now line changed", times["dom"], times["osc"]))
    print(summary("the page's next frame after that", times["frame"], times["osc"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
