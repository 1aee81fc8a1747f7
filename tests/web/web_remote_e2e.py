#!/usr/bin/env python3
"""The web remote's page in chromium against the real window under Xvfb,
started with --web-port, its output read through PipeWire.

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
Then the window is ended (the page shows offline) and started again on the
same port with the preference WebRemotePasscode set; the page connects
again by itself and shows the state and the passcode pad, no buttons. A
wrong code is answered with an error; the right one brings the buttons,
and GO runs the show again.

usage: web_remote_e2e.py BEAMWRIGHT_BINARY PUPPETEER_DIR
"""
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "ui"))
import window_harness as harness  # noqa: E402

DRIVER = os.path.join(HERE, "browser.js")
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
    half-second fade; a three-second movie looping; a missing file (a
    health warning from the start)."""
    media = os.path.join(folder, "media")
    os.makedirs(media)
    harness.gst_launch("videotestsrc", "num-buffers=75", "pattern=smpte", "!",
                       "video/x-raw,width=64,height=36,framerate=25/1", "!", "vp8enc",
                       "deadline=1", "!", "webmmux", "!", "filesink",
                       "location=" + os.path.join(media, "rain.webm"))
    cues = [(1, "Preshow black", 0, harness.state("black://")),
            (2, "House to half", 0.5, harness.state("grid://")),
            (3, "Rain loop", 0, harness.state("media/rain.webm")),
            (4, "Finale", 1, harness.state("media/finale.mov"))]
    text = ('{"config":[{"name":"Stage","width":%d,"height":%d}],"cues":[%s]}'
            % (harness.STAGE_WIDTH, harness.STAGE_HEIGHT,
               ",".join('{"id":%d,"description":"%s","fadeLength":%s,"outputStates":[%s]}'
                        % cue for cue in cues)))
    path = os.path.join(folder, "show.bwshow")
    with open(path, "w") as out:
        out.write(text)
    return path


class Browser:
    """browser.js in a process of its own, one step at a time."""

    def __init__(self, puppeteer_dir, folder):
        self.log_path = os.path.join(folder, "browser.log")
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen(["node", DRIVER, puppeteer_dir], stdin=subprocess.PIPE,
                                            stdout=subprocess.PIPE, stderr=log, text=True,
                                            start_new_session=True)

    def step(self, step, **fields):
        self.process.stdin.write(json.dumps({"step": step, **fields}) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("the browser driver ended:\n" + self.log())
        answer = json.loads(line)
        if not answer["ok"]:
            raise RuntimeError("%s %s: %s" % (step, fields.get("selector", ""), answer["error"]))
        return answer["value"]

    def log(self):
        with open(self.log_path) as text:
            return text.read()

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write('{"step": "quit"}\n')
                self.process.stdin.close()
                self.process.wait(harness.deadline(30))
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()


class Page:
    def __init__(self, browser, name, url, viewport):
        self.browser, self.name = browser, name
        browser.step("open", name=name, url=url, **viewport)

    def __getattr__(self, step):
        return lambda **fields: self.browser.step(step, name=self.name, **fields)

    def until(self, selector, seconds=20, **want):
        self.browser.step("wait", name=self.name, selector=selector,
                          seconds=harness.deadline(seconds), **want)

    def shows_cue(self, line, number, description):
        self.until("#%s-id" % line, text=number)
        self.until("#%s-description" % line, text=description)

    def tap_keys(self, pad, keys, attribute):
        for key in keys:
            self.tap(selector='#%s [data-%s="%s"]' % (pad, attribute, key))


def other_address():
    """An IPv4 address of this machine other than loopback; None without."""
    listed = subprocess.run(["hostname", "-I"], capture_output=True, text=True).stdout.split()
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


def open_controls(session, browser, url):
    """Run without a passcode: the page on loopback controls the show."""
    frames = session.consumer()
    page = Page(browser, "remote", url, PHONE)
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
        other = Page(browser, "far", "http://%s:%d/" % (far, session.web_port), PHONE)
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
    return page


def passcode_after_restart(session, page):
    """The window ended, then started again with a passcode."""
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
    page.until("#toast", visible=True, match=".")
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
    harness.require_programs(["Xvfb", "xdotool", "oscsend", "pipewire", "pw-link",
                              "gst-launch-1.0", "dbus-daemon", "node", "hostname"])
    if not os.access(os.environ.get("BW_CHROMIUM", "/usr/bin/chromium"), os.X_OK):
        harness.missing_peer("chromium is not installed")
    if not os.path.isfile(os.path.join(puppeteer_dir, "node_modules", "puppeteer-core",
                                       "package.json")):
        harness.missing_peer("puppeteer-core is not installed in %s" % puppeteer_dir)

    started = time.monotonic()
    web_port = harness.free_port()
    with harness.Session(binary, dark=True, show=write_show,
                         arguments=["--web-port", str(web_port)]) as session:
        session.web_port = web_port
        browser = Browser(puppeteer_dir, session.dir)
        try:
            session.start()
            url = "http://127.0.0.1:%d/" % web_port
            page = open_controls(session, browser, url)
            passcode_after_restart(session, page)
            problems = page.problems()
            if problems:
                raise RuntimeError("the page reported: %s" % problems)
        except Exception as error:  # noqa: BLE001 - any failure ends the test with the logs
            print("FAIL: %s\nbeamwright log:\n%s\nbrowser log:\n%s"
                  % (error, session.log("beamwright"), browser.log()))
            return 1
        finally:
            browser.close()
    print("PASS (%.1f s)" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
