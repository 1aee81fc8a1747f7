"""The real beamwright window under Xvfb, with a private PipeWire daemon and
session bus, driven by xdotool and oscsend, and read through the frames it
publishes and its accessible objects. Shared by the window's end-to-end,
drag and screenshot tests and the keystroke benchmark. Every process started
here is ended by its pid.
"""
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# The published output the tests read: small, so a frame is a few kilobytes.
# Its mean level (0..255) tells the pictures apart: black is 0, the grid
# about 219, and a fade from one to the other passes in between.
STAGE_WIDTH, STAGE_HEIGHT = 32, 24
FRAME_BYTES = STAGE_WIDTH * STAGE_HEIGHT * 4
PROGRAMS = ["Xvfb", "xdotool", "oscsend", "pipewire", "pw-link", "gst-launch-1.0",
            "dbus-daemon", "gdbus", "import", "compare", "convert"]
# Waits end on their condition; their deadlines only end a test gone wrong,
# and a slow machine may stretch them all (BW_TEST_TIME_SCALE, at least 1).
TIME_SCALE = max(1.0, float(os.environ.get("BW_TEST_TIME_SCALE", "1") or "1"))


def deadline(seconds):
    """`seconds` scaled for this machine."""
    return seconds * TIME_SCALE


def missing_peer(reason):
    """Exits as a skip (77) on a developer's machine, a failure under CI=true."""
    if os.environ.get("CI") == "true":
        print(f"FAIL: outside peer missing: {reason}", file=sys.stderr)
        sys.exit(1)
    print(f"SKIP: outside peer missing: {reason}")
    sys.exit(77)


def require_programs(names=PROGRAMS):
    for name in names:
        if shutil.which(name) is None:
            missing_peer(f"{name} is not on the PATH")


def free_port():
    """A port free for UDP and TCP on loopback right now."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp:
            tcp.bind(("127.0.0.1", 0))
            port = tcp.getsockname()[1]
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
                try:
                    udp.bind(("127.0.0.1", port))
                    return port
                except OSError:
                    continue
    raise RuntimeError("no free port")


def state(media, muted=True, looped=True, ken_burns=False):
    return ('{"mediaPath":"%s","muted":%s,"looped":%s,"kenBurns":%s}'
            % (media, json.dumps(muted), json.dumps(looped), json.dumps(ken_burns)))


def write_show(folder):
    """Two cues on one small output whose pictures differ clearly: black, then
    the alignment grid (mostly light) after a half-second fade, so a GO into
    cue 2 shows a fade begin."""
    text = ('{"config":[{"name":"Stage","width":%d,"height":%d}],"cues":['
            '{"id":1,"description":"Black","fadeLength":0,"outputStates":[%s]},'
            '{"id":2,"description":"Fade to grid","fadeLength":0.5,"outputStates":[%s]}]}'
            % (STAGE_WIDTH, STAGE_HEIGHT, state("black://"), state("grid://")))
    path = os.path.join(folder, "show.bwshow")
    with open(path, "w") as out:
        out.write(text)
    return path


def gst_launch(*pipeline):
    ran = subprocess.run(["gst-launch-1.0", "-q", *pipeline], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, timeout=60)
    if ran.returncode != 0:
        raise RuntimeError("gst-launch-1.0 %s failed: %s" % (" ".join(pipeline), ran.stderr))


def write_cue_list_show(folder):
    """A show whose cue list has every kind of cell: two outputs, and cues
    that play a movie, a still, each generator and a file that is not there.
    The movie's frames are all alike and the still is one frame, so their
    thumbnails are the same from run to run."""
    media = os.path.join(folder, "media")
    os.makedirs(media)
    gst_launch("videotestsrc", "num-buffers=25", "pattern=smpte", "!",
               "video/x-raw,width=64,height=36,framerate=25/1", "!", "vp8enc", "deadline=1", "!",
               "webmmux", "!", "filesink", "location=" + os.path.join(media, "bars.webm"))
    gst_launch("videotestsrc", "num-buffers=1", "pattern=pinwheel", "!",
               "video/x-raw,width=64,height=48", "!", "pngenc", "!",
               "filesink", "location=" + os.path.join(media, "pinwheel.png"))
    # Cue 3 hands on to cue 4 by itself, which waits a second before its
    # fade (neither runs in the tests that use this show).
    cues = [
        (1, "Opening", 0, [state("media/bars.webm", muted=False),
                           state("media/pinwheel.png", ken_burns=True)], ""),
        (2, "Blackout", 1.5, [state("black://"), state("clear://")], ""),
        (3, "Line-up", 0, [state("grid://"), state("media/gone.mov")],
         ',"continue":"autoContinue","postWait":2'),
        (4, "Title still", 2.5, [state("media/pinwheel.png"),
                                 state("media/bars.webm", looped=False)], ',"preWait":1'),
    ]
    text = ('{"config":[{"name":"Stage","width":%d,"height":%d},'
            '{"name":"Back wall","width":%d,"height":%d}],"cues":[%s]}'
            % (STAGE_WIDTH, STAGE_HEIGHT, STAGE_WIDTH, STAGE_HEIGHT,
               ",".join('{"id":%d,"description":"%s","fadeLength":%s,"outputStates":[%s]%s}'
                        % (number, description, fade, ",".join(states), timing)
                        for number, description, fade, states, timing in cues)))
    path = os.path.join(folder, "show.bwshow")
    with open(path, "w") as out:
        out.write(text)
    return path


class Session:
    """Xvfb, a session bus, a PipeWire daemon and the window on one show,
    which `show` writes into the session's folder and returns the path of.
    `go_guard` is the GoGuardSeconds preference: off by default, as the
    tests send GOs back to back; None leaves the program's default.
    `preferences` are more keys for the preferences file, `arguments` go on
    the program's command line before the show."""

    def __init__(self, binary, dark=False, accessible=False, show=write_show,
                 screens=("1280x800",), go_guard="0", preferences=None, arguments=()):
        self.binary = binary
        self.screens = screens
        self.arguments = list(arguments)
        self.dir = tempfile.mkdtemp(prefix="bw-window-")
        self.processes = []
        self.env = dict(os.environ)
        for name in ("WAYLAND_DISPLAY", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "SESSION_MANAGER"):
            self.env.pop(name, None)
        runtime = os.path.join(self.dir, "runtime")
        config = os.path.join(self.dir, "config")
        os.makedirs(runtime, mode=0o700)
        os.makedirs(os.path.join(config, "beamwright"))
        self.preferences_path = os.path.join(config, "beamwright", "beamwright.conf")
        self.preferences = {"InterfaceStyle": "Dark" if dark else "Light"}
        if go_guard is not None:
            self.preferences["GoGuardSeconds"] = go_guard
        self.write_preferences(preferences or {})
        self.osc_port = free_port()
        self.env.update({
            "XDG_RUNTIME_DIR": runtime, "XDG_CONFIG_HOME": config,
            "BEAMWRIGHT_OSC_PORT": str(self.osc_port),
            "BEAMWRIGHT_CREP_PORT": str(free_port()),
            "BEAMWRIGHT_AUDIO_SINK": "fakesink",
            # A fixed look: no desktop theme, no scaling, no font hinting from
            # the desktop's settings.
            "QT_QPA_PLATFORM": "xcb", "QT_QPA_PLATFORMTHEME": "", "QT_SCALE_FACTOR": "1",
            "QT_AUTO_SCREEN_SCALE_FACTOR": "0", "QT_ENABLE_HIGHDPI_SCALING": "0",
            "LC_ALL": "C.UTF-8",
        })
        if accessible:
            self.env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        self.show = show(self.dir)

    def write_preferences(self, changes):
        """Writes the preferences file anew with `changes` made (a value of
        None removes its key); the program reads it when it starts."""
        self.preferences.update(changes)
        with open(self.preferences_path, "w") as out:
            out.write("[General]\n")
            for key, value in self.preferences.items():
                if value is not None:
                    out.write("%s=%s\n" % (key, value))

    def spawn(self, argv, name, pass_fds=()):
        # Appended to: a program started again keeps the log of its first run.
        log = open(os.path.join(self.dir, name + ".log"), "a")
        process = subprocess.Popen(argv, env=self.env, stdout=log, stderr=subprocess.STDOUT,
                                   start_new_session=True, pass_fds=pass_fds)
        self.processes.append(process)
        return process

    def x_answers(self):
        """Whether an X client gets through to the session's display."""
        return subprocess.run(["xdotool", "getdisplaygeometry"], env=self.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0

    def start_xvfb(self, layout):
        """Xvfb on a display number of this session's own; the server and
        its number. Tests run side by side: the lowest free number (what
        -displayfd alone picks) is the one a server still ending elsewhere
        holds, its lock file gone but its socket still answering, and a
        client then reaches that server and loses it. So each session
        starts at a number of its own and moves on while a number is
        taken. Only the abstract socket is listened on, so a socket file
        left by an ending server cannot be unlinked from under this one.
        -displayfd says when the server listens. -noreset: the server stays
        as it is when its last client leaves (the readiness probe here),
        rather than starting over while the program under test connects."""
        first = 100 + (os.getpid() * 37) % 20000
        for number in range(first, first + 40):
            read_end, write_end = os.pipe()
            xvfb = self.spawn(["Xvfb", ":%d" % number, "-displayfd", str(write_end), *layout,
                               "-nolisten", "tcp", "-nolisten", "unix", "-noreset"], "xvfb",
                              pass_fds=[write_end])
            os.close(write_end)
            with os.fdopen(read_end) as display:
                answered = display.readline().strip()
            if answered == str(number):
                return xvfb, answered
            xvfb.wait()  # taken: the server said so and ended
        raise RuntimeError("Xvfb did not start on any of :%d to :%d:\n%s"
                           % (first, first + 39, self.log("xvfb")))

    def start(self):
        # One X screen per entry of `screens`; Qt lists each as a screen.
        layout = []
        for number, size in enumerate(self.screens):
            layout += ["-screen", str(number), size + "x24"]
        xvfb, number = self.start_xvfb(layout)
        self.env["DISPLAY"] = ":" + number
        # The number comes once the server listens; a display whose
        # clients cannot get in (a socket that is not this server's) fails
        # here, with the server's own words, rather than later in a client.
        self.wait_for(lambda: xvfb.poll() is None and self.x_answers(), 20,
                      "no X client can connect to display :%s; Xvfb said:\n%s"
                      % (number, self.log("xvfb")))

        self.start_bus_and_pipewire()
        self.start_window()
        return self

    def start_bus_and_pipewire(self):
        """A session bus and a PipeWire daemon of the session's own."""
        bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1",
                              "--print-pid=1"], env=self.env, capture_output=True, text=True,
                             check=True).stdout.split()
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus[0]
        self.bus_pid = int(bus[1])
        self.spawn(["pipewire"], "pipewire")
        socket_path = os.path.join(self.env["XDG_RUNTIME_DIR"], "pipewire-0")
        self.wait_for(lambda: os.path.exists(socket_path), 10, "PipeWire did not start")

    def start_window(self):
        self.window = self.spawn([self.binary, *self.arguments, self.show], "beamwright")
        self.window_id = self.wait_for(self.find_window, 20, "the window did not appear")

    def stop_window(self):
        """Ends the window (SIGTERM) and waits until it has exited."""
        window, self.window = self.window, None
        window.send_signal(signal.SIGTERM)
        try:
            window.wait(deadline(20))
        except subprocess.TimeoutExpired:
            window.kill()
            window.wait()

    def find_window(self):
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "show.bwshow"],
                               env=self.env, capture_output=True, text=True)
        ids = found.stdout.split()
        return ids[0] if ids else None

    def wait_for(self, condition, seconds, failure):
        """The first true value of `condition`, polled until `seconds`
        (scaled for this machine) have passed."""
        give_up = time.monotonic() + deadline(seconds)
        while time.monotonic() < give_up:
            value = condition()
            if value:
                return value
            if self.window_exited():
                raise RuntimeError("beamwright ended:\n" + self.log("beamwright"))
            time.sleep(0.05)
        raise RuntimeError(failure + "\n" + self.log("beamwright"))

    def window_exited(self):
        window = getattr(self, "window", None)
        return window is not None and window.poll() is not None

    def log(self, name):
        try:
            with open(os.path.join(self.dir, name + ".log")) as text:
                return text.read()
        except OSError:
            return ""

    def xdotool(self, *arguments):
        subprocess.run(["xdotool", *arguments], env=self.env, check=True,
                       stdout=subprocess.DEVNULL)

    def type_cue(self, number):
        """Focuses the window, types the cue number and Return."""
        self.xdotool("windowfocus", "--sync", self.window_id)
        self.xdotool("type", "--delay", "20", number)
        self.xdotool("key", "Return")

    def click(self, x, y):
        """A left click at screen position (x, y)."""
        self.xdotool("mousemove", "--sync", str(x), str(y))
        self.xdotool("click", "1")

    def drag(self, start, end, steps=12):
        """Presses the left button at `start`, moves to `end` and releases it
        there. Qt follows a drag by the pointer's motion events, so the
        pointer moves in small steps, with time for each to be handled."""
        self.xdotool("mousemove", "--sync", str(start[0]), str(start[1]))
        self.xdotool("mousedown", "1")
        time.sleep(0.2)
        for step in range(1, steps + 1):
            x = start[0] + (end[0] - start[0]) * step // steps
            y = start[1] + (end[1] - start[1]) * step // steps
            self.xdotool("mousemove", str(x), str(y))
            time.sleep(0.05)
        # One more move on the target and back: the drop lands where the
        # last move was answered.
        self.xdotool("mousemove", str(end[0] + 1), str(end[1]))
        time.sleep(0.1)
        self.xdotool("mousemove", str(end[0]), str(end[1]))
        time.sleep(0.2)
        self.xdotool("mouseup", "1")

    def oscsend(self, *message):
        subprocess.run(["oscsend", "127.0.0.1", str(self.osc_port), *message], env=self.env,
                       check=True)

    def screenshot(self, path, window=None):
        """The show window (or `window`, an X window id) as a PNG at `path`."""
        subprocess.run(["import", "-window", window or self.window_id, "png:" + path],
                       env=self.env, check=True)

    def consumer(self):
        return FrameReader(self)

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        if getattr(self, "bus_pid", None):
            os.kill(self.bus_pid, signal.SIGTERM)
        if os.environ.get("BW_KEEP_TEMP") != "1":
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.stop()


class Accessibility:
    """The window's accessible objects as a screen reader finds them: the
    AT-SPI tree, walked with gdbus. An object is a (bus name, path) pair.
    Needs a session made with accessible=True."""

    def __init__(self, session):
        self.env = session.env
        address = subprocess.run(["gdbus", "call", "--session", "-d", "org.a11y.Bus", "-o",
                                  "/org/a11y/bus", "-m", "org.a11y.Bus.GetAddress"],
                                 env=self.env, capture_output=True, text=True, check=True).stdout
        self.address = re.search(r"'([^']*)'", address).group(1)

    def call(self, accessible, method, *arguments):
        bus_name, path = accessible
        return subprocess.run(["gdbus", "call", "--address", self.address, "-d", bus_name, "-o",
                               path, "-m", method, *arguments], env=self.env,
                              capture_output=True, text=True).stdout

    def children(self, accessible):
        return re.findall(r"\('([^']*)', (?:objectpath )?'([^']*)'\)",
                          self.call(accessible, "org.a11y.atspi.Accessible.GetChildren"))

    def property(self, accessible, key):
        return self.call(accessible, "org.freedesktop.DBus.Properties.Get",
                         "org.a11y.atspi.Accessible", key)

    def find(self, name):
        """The accessible named `name`; None while there is none."""
        pending = self.children(("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root"))
        while pending:
            accessible = pending.pop()
            if "'%s'" % name in self.property(accessible, "Name"):
                return accessible
            pending.extend(self.children(accessible))
        return None

    def name(self, accessible):
        found = re.search(r"<'(.*)'>", self.property(accessible, "Name"))
        return found.group(1) if found else None

    def description(self, accessible):
        found = re.search(r"<'(.*)'>", self.property(accessible, "Description"))
        return found.group(1) if found else None

    def extents(self, accessible):
        """(x, y, width, height) on the screen; None when it has none."""
        found = re.search(r"\((-?\d+), (-?\d+), (-?\d+), (-?\d+)\)",
                          self.call(accessible, "org.a11y.atspi.Component.GetExtents", "0"))
        return tuple(int(value) for value in found.groups()) if found else None

    def centre(self, accessible):
        x, y, width, height = self.extents(accessible)
        return x + width // 2, y + height // 2

    def focused(self, accessible):
        """Whether `accessible` has the keyboard focus (AT-SPI's FOCUSED
        state, bit 12 of the first word of its state set)."""
        found = re.search(r"\[uint32 (\d+),", self.call(accessible,
                                                       "org.a11y.atspi.Accessible.GetState"))
        return bool(found) and bool(int(found.group(1)) & (1 << 12))

    def cell(self, table, row, column):
        """The cell of `table` at model row and column; None outside the table."""
        found = re.search(r"\('([^']*)', objectpath '([^']*)'\)",
                          self.call(table, "org.a11y.atspi.Table.GetAccessibleAt", str(row),
                                    str(column)))
        return found.groups() if found else None


class FrameReader:
    """gst-launch-1.0 with pipewiresrc linked to the "Stage" output, writing
    raw BGRA frames to a pipe; each frame is stamped as it arrives."""

    def __init__(self, session):
        self.session = session
        self.node = "bw-window-consumer-%d" % os.getpid()
        self.process = subprocess.Popen(
            ["gst-launch-1.0", "-q", "pipewiresrc", "target-object=Stage",
             "stream-properties=props,node.name=" + self.node, "!",
             "video/x-raw,format=BGRA,width=%d,height=%d" % (STAGE_WIDTH, STAGE_HEIGHT), "!",
             "fdsink", "fd=1", "sync=false"],
            env=session.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            start_new_session=True, bufsize=0)
        session.processes.append(self.process)
        session.wait_for(self.link, 20, "could not link a consumer to the Stage output")

    def link(self):
        # No session manager runs on the private daemon: link the ports by name.
        def ports(flag, prefix):
            listed = subprocess.run(["pw-link", flag], env=self.session.env,
                                    capture_output=True, text=True).stdout.split("\n")
            return [line.strip() for line in listed if line.strip().startswith(prefix + ":")]
        outputs, inputs = ports("-o", "Stage"), ports("-i", self.node)
        if not outputs or not inputs:
            return False
        for source, sink in zip(outputs, inputs):
            subprocess.run(["pw-link", source, sink], env=self.session.env,
                           capture_output=True)
        return True

    def close(self):
        """Ends the consumer. One left running when the program it reads is
        started again takes the new output's link from a new consumer."""
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait()

    def drain(self):
        """Drops the frames already waiting in the pipe."""
        while select.select([self.process.stdout], [], [], 0)[0]:
            if not self.process.stdout.read(FRAME_BYTES):
                return

    def wait_for_level(self, accept, seconds=20):
        """The first frame whose mean level `accept` takes; a deadline of
        `seconds` (scaled) ends a test gone wrong."""
        give_up = time.monotonic() + deadline(seconds)
        level = None
        while time.monotonic() < give_up:
            level = mean_level(self.frame()[0])
            if accept(level):
                return level
        raise RuntimeError("no published frame matched; last mean level %s" % level)

    def frame(self):
        """The next frame and the monotonic time it arrived."""
        data = b""
        while len(data) < FRAME_BYTES:
            chunk = self.process.stdout.read(FRAME_BYTES - len(data))
            if not chunk:
                raise RuntimeError("the consumer ended")
            data += chunk
        return data, time.monotonic()


BLACK_AT_MOST = 8
GRID_AT_LEAST = 200


def mean_level(frame):
    """The mean of the colour channels, 0..255."""
    total = 0
    for k in range(0, len(frame), 4):
        total += frame[k] + frame[k + 1] + frame[k + 2]
    return total / (len(frame) // 4 * 3)
