#!/usr/bin/env python3
"""The web remote's page in chromium against the real player (headless,
with --web-port), its Stage output read through PipeWire.

Without a passcode, a page on this machine (loopback) controls the show:
- it shows the state, and the cue an OSC /go ran on its Now line;
- a tap on GO runs the next cue (the Stage output fades to the grid); the
  pad's GO TO runs the cue typed (a looping movie, whose line reads "Loop
  m:ss of m:ss"); Panic blacks the output;
- the same page opened through another address of this machine shows the
  state without buttons, and says control works only on the show machine;
- on a 360x740 phone and a 1024x768 tablet: GO at the bottom under the
  thumb and Panic well above it, nothing wider than the screen; two columns
  on the tablet. Both pictures are saved (docs/images/web-remote-*.png with
  BW_UPDATE_GOLDENS=1, else BW_SCREENSHOT_DIR where set);
- the page's time formats, and no script error or blocked resource.
Then the player is ended (the page shows offline) and started again on the
same port with the preference WebRemotePasscode set; the page connects
again by itself and shows the state and the passcode pad, no buttons. A
wrong code is answered with an error; the right one brings the buttons,
and GO runs the show again.

usage: web_remote_e2e.py BEAMWRIGHT_BINARY PUPPETEER_DIR
"""
import os
import shutil
import subprocess
import sys
import time

import web_harness
from web_harness import Browser, Page, harness

HERE = os.path.dirname(os.path.abspath(__file__))
DOC_IMAGES = os.path.join(HERE, "..", "..", "docs", "images")
PASSCODE = "4711"

PHONE = {"width": 360, "height": 740, "mobile": True}
TABLET = {"width": 1024, "height": 768, "mobile": False}

# [seconds, counting down, as the page writes it]
FORMATS = [
    [0, False, "0:00"], [59.9, False, "0:59"], [61, False, "1:01"], [3725.5, False, "1:02:05"],
    [75.1, True, "1:16"], [10.0, True, "0:10"], [10.05, True, "0:11"], [9.96, True, "9.9"],
    [9.44, True, "9.4"], [0.04, True, "0.0"], [-2, True, "0.0"], [3600, True, "1:00:00"],
]
MOVIES = [
    [{"elapsed": 3.2, "remaining": 26.8, "loops": True}, "Loop 0:03 of 0:30"],
    [{"elapsed": 65, "remaining": 5.55, "loops": False}, "Movie 1:05 · 5.5 left"],
    [{"elapsed": 12, "remaining": 80, "loops": False}, "Movie 0:12 · 1:20 left"],
    [{"elapsed": 1.5, "remaining": None, "loops": False}, "Movie 0:01"],
    [None, ""],
]


def write_show(folder):
    """Four cues on the small Stage output: black; the grid after a
    half-second fade; a three-second movie looping, faded in over 20 s (the
    pictures show the fade's bar); a missing file (a health warning from the
    start)."""
    media = os.path.join(folder, "media")
    os.makedirs(media)
    harness.gst_launch("videotestsrc", "num-buffers=75", "pattern=smpte", "!",
                       "video/x-raw,width=64,height=36,framerate=25/1", "!", "vp8enc",
                       "deadline=1", "!", "webmmux", "!", "filesink",
                       "location=" + os.path.join(media, "rain.webm"))
    cues = [(1, "Preshow black", 0, harness.state("black://")),
            (2, "House to half", 0.5, harness.state("grid://")),
            (3, "Rain loop", 20, harness.state("media/rain.webm")),
            (4, "Finale", 1, harness.state("media/finale.mov"))]
    text = ('{"config":[{"name":"Stage","width":%d,"height":%d}],"cues":[%s]}'
            % (harness.STAGE_WIDTH, harness.STAGE_HEIGHT,
               ",".join('{"id":%d,"description":"%s","fadeLength":%s,"outputStates":[%s]}'
                        % cue for cue in cues)))
    path = os.path.join(folder, "show.bwshow")
    with open(path, "w") as out:
        out.write(text)
    return path


def other_address():
    """An IPv4 address of this machine other than loopback; None without."""
    try:
        listed = subprocess.run(["hostname", "-I"], capture_output=True, text=True).stdout.split()
    except OSError:
        return None
    return next((address for address in listed
                 if "." in address and not address.startswith("127.")), None)


def check_layout(page, viewport):
    """GO under the thumb and Panic away from it on the phone; two columns
    on the tablet; nothing wider or taller than the screen."""
    width, height = viewport["width"], viewport["height"]
    page.viewport(**viewport)
    page.until("#go", visible=True)
    found = page.boxes(selectors=["#show", "#controls", "#go", "#panic", "#goto"])
    boxes = found["boxes"]
    go, panic = boxes["#go"], boxes["#panic"]
    problems = []
    if found["scrollWidth"] > width or found["scrollHeight"] > height:
        problems.append("the page is %dx%d" % (found["scrollWidth"], found["scrollHeight"]))
    if go["bottom"] > height or go["top"] < height * 0.7:
        problems.append("GO is not at the bottom: %s" % go)
    if go["bottom"] - go["top"] < 80:
        problems.append("GO is small: %s" % go)
    if go["top"] - panic["bottom"] < 150:
        problems.append("Panic is close to GO: %s, %s" % (panic, go))
    if viewport["mobile"] and go["right"] - go["left"] < width * 0.8:
        problems.append("GO is narrow on the phone: %s" % go)
    if not viewport["mobile"] and boxes["#controls"]["left"] < boxes["#show"]["right"]:
        problems.append("no two columns: %s" % boxes)
    if problems:
        raise RuntimeError("layout at %dx%d: %s" % (width, height, "; ".join(problems)))


def save_screenshot(page, name, folder):
    path = os.path.join(folder, name)
    page.screenshot(path=path)
    if os.environ.get("BW_UPDATE_GOLDENS") == "1":
        shutil.copy(path, os.path.join(DOC_IMAGES, name))
    elif os.environ.get("BW_SCREENSHOT_DIR"):
        shutil.copy(path, os.path.join(os.environ["BW_SCREENSHOT_DIR"], name))


def open_controls(session, browser):
    """Run without a passcode: the page on loopback controls the show."""
    frames = session.consumer()
    page = Page(browser, "remote", session.url(), PHONE)
    page.until("#connection", visible=False)
    page.until("#state", text="standby")
    page.until("#controls", visible=True)
    page.until("#passcode", visible=False)
    page.until("#warnings", match="missing")
    missing = page.aria(names=["GO", "Panic", "GO TO", "Clear"])
    if missing:
        raise RuntimeError("buttons without their accessible names: %s" % missing)

    session.oscsend("/go")
    page.shows_cue("now", "1.0", "Preshow black")
    page.shows_cue("next", "2.0", "House to half")
    frames.wait_for_level(lambda level: level <= harness.BLACK_AT_MOST)

    page.tap(selector="#go")
    page.shows_cue("now", "2.0", "House to half")
    frames.wait_for_level(lambda level: level >= harness.GRID_AT_LEAST)
    page.until("#state", text="standby")

    page.tap_keys("pad", "3", "key")
    page.until("#pad-display", text="3")
    page.tap(selector="#goto")
    page.shows_cue("now", "3.0", "Rain loop")
    page.until("#pad-display", text="")
    page.until("#movie", match=r"^Loop 0:0[0-3] of 0:0[23]$")

    far = other_address()
    if far:
        other = Page(browser, "far", session.url(far), PHONE)
        other.shows_cue("now", "3.0", "Rain loop")
        other.until("#local-only", visible=True, text="Control works only on the show machine.")
        other.until("#controls", visible=False)
        other.until("#passcode", visible=False)
        other.close()
    else:
        print("no address but loopback: the page from elsewhere is not checked")

    for viewport, name in ((PHONE, "web-remote-phone.png"), (TABLET, "web-remote-tablet.png")):
        check_layout(page, viewport)
        save_screenshot(page, name, session.dir)

    page.tap(selector="#panic")
    page.until("#state", text="panic")
    frames.wait_for_level(lambda level: level <= harness.BLACK_AT_MOST)

    wrong = page.formats(cases=FORMATS) + page.movies(cases=MOVIES)
    if wrong:
        raise RuntimeError("formatted differently (case, got): %s" % wrong)
    return page, frames


def passcode_after_restart(session, page, frames):
    """The player ended, then started again with a passcode."""
    frames.close()
    session.stop_window()
    page.until("#connection", visible=True, match="offline")
    page.until("#controls", visible=False)
    session.write_preferences({"WebRemotePasscode": PASSCODE})
    session.start_window()
    page.until("#connection", visible=False, seconds=30)
    page.until("#state", text="standby")
    page.until("#passcode", visible=True)
    page.until("#controls", visible=False)

    page.tap_keys("passcode", "1234", "digit")
    page.until("#passcode-display", text="••••")
    page.tap(selector="#passcode-enter")
    page.until("#toast", visible=True, match="passcode")
    page.until("#controls", visible=False)

    # A try inside the pause after a wrong one is answered "wait N s before
    # the next try": the code is entered again until it is taken.
    give_up = time.monotonic() + harness.deadline(60)
    while True:
        page.tap_keys("passcode", PASSCODE, "digit")
        page.tap(selector="#passcode-enter")
        try:
            page.until("#controls", visible=True, seconds=2)
            break
        except RuntimeError:
            if time.monotonic() > give_up:
                raise
    page.until("#passcode", visible=False)
    frames = session.consumer()
    page.tap(selector="#go")
    page.shows_cue("now", "1.0", "Preshow black")
    frames.wait_for_level(lambda level: level <= harness.BLACK_AT_MOST)
    page.tap(selector="#go")
    page.shows_cue("now", "2.0", "House to half")
    frames.wait_for_level(lambda level: level >= harness.GRID_AT_LEAST)


def main():
    binary, puppeteer_dir = sys.argv[1], sys.argv[2]
    web_harness.require_peers(puppeteer_dir)
    started = time.monotonic()
    with web_harness.HeadlessSession(binary, write_show) as session, \
            Browser(puppeteer_dir, session.dir) as browser:
        try:
            session.start()
            page, frames = open_controls(session, browser)
            passcode_after_restart(session, page, frames)
            problems = page.problems()
            if problems:
                raise RuntimeError("the page reported: %s" % problems)
        except Exception as error:  # noqa: BLE001 - any failure ends the test with the logs
            print("FAIL: %s\nbeamwright log:\n%s\nbrowser log:\n%s"
                  % (error, session.log("beamwright"), browser.log()))
            return 1
    print("PASS (%.1f s)" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
