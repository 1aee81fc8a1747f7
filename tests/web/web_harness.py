"""The web remote's test rig: the real beamwright binary, headless, with its
web remote on, a private session bus and PipeWire daemon (its Stage output
read through window_harness.FrameReader), and chromium driven by
browser.js. Shared by the browser test and the latency benchmark. Every
process started here is ended by its pid.
"""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "ui"))
import window_harness as harness  # noqa: E402

DRIVER = os.path.join(HERE, "browser.js")
CHROMIUM = os.environ.get("BW_CHROMIUM", "/usr/bin/chromium")
PROGRAMS = ["oscsend", "pipewire", "pw-link", "gst-launch-1.0", "dbus-daemon", "node"]


def require_peers(puppeteer_dir):
    """Skips (77) without node, chromium or puppeteer-core; fails under CI=true."""
    harness.require_programs(PROGRAMS)
    if not os.access(CHROMIUM, os.X_OK):
        harness.missing_peer("chromium is not installed (%s)" % CHROMIUM)
    if not os.path.isfile(os.path.join(puppeteer_dir, "node_modules", "puppeteer-core",
                                       "package.json")):
        harness.missing_peer("puppeteer-core is not installed in %s" % puppeteer_dir)


class HeadlessSession(harness.Session):
    """A session bus, a PipeWire daemon and `beamwright --headless` on the
    show with its web remote on `web_port`. The player is the session's
    "window": stop_window and start_window end and start it again."""

    def __init__(self, binary, show, **options):
        self.web_port = harness.free_port()
        super().__init__(binary, show=show, **options)
        self.env.pop("DISPLAY", None)

    def start(self):
        self.start_bus_and_pipewire()
        self.start_window()
        return self

    def start_window(self):
        log = open(os.path.join(self.dir, "beamwright.log"), "a")
        # Standard input stays open: the player takes commands there.
        self.window = subprocess.Popen(
            [self.binary, "--headless", self.show, "--web-port", str(self.web_port),
             *self.arguments], env=self.env, stdin=subprocess.PIPE, stdout=log,
            stderr=subprocess.STDOUT, start_new_session=True)
        self.processes.append(self.window)
        self.wait_for(lambda: "web remote %d" % self.web_port in self.log("beamwright"), 30,
                      "the web remote did not start")

    def url(self, host="127.0.0.1"):
        return "http://%s:%d/" % (host, self.web_port)


class Browser:
    """browser.js in a process of its own, one step at a time."""

    def __init__(self, puppeteer_dir, folder):
        self.log_path = os.path.join(folder, "browser.log")
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen(
                ["node", DRIVER, os.path.abspath(puppeteer_dir)], stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=log, text=True, start_new_session=True,
                env=dict(os.environ, BW_CHROMIUM=CHROMIUM))

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

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()


class Page:
    """One tab; each of browser.js's steps is a method (page.tap(selector=...))."""

    def __init__(self, browser, name, url, viewport):
        self.browser, self.name = browser, name
        browser.step("open", name=name, url=url, **viewport)

    def __getattr__(self, step):
        return lambda **fields: self.browser.step(step, name=self.name, **fields)

    def until(self, selector, seconds=20, **want):
        """Waits until `selector` is as `want` says (text, match, visible)."""
        self.browser.step("wait", name=self.name, selector=selector,
                          seconds=harness.deadline(seconds), **want)

    def shows_cue(self, line, number, description):
        self.until("#%s-id" % line, text=number)
        self.until("#%s-description" % line, text=description)

    def tap_keys(self, pad, keys, attribute):
        for key in keys:
            self.tap(selector='#%s [data-%s="%s"]' % (pad, attribute, key))
