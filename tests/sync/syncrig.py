"""Three Beamwright instances playing one show, each in a network namespace of
its own, for the sync test and the sync benchmark.

The leader's namespace holds a UDP relay (udp_relay.py) through which the
followers reach the leader's clock and sync ports, 5 ms +- 2 ms each way.
Each follower also runs in a time namespace with its monotonic clock moved by
several seconds and a test-only rate skew of its local clock
(BEAMWRIGHT_TEST_CLOCK_SKEW_PPM), so that offset and drift are corrected for
real. Every instance records each frame (--record-ticks): its display time on
CLOCK_REALTIME (the one clock all namespaces share), show time, progress, cue
and the centre pixel; the measurements come from those records.

Needs root, `ip` and `unshare`; Rig.unavailable() says why not.
"""

import os
import queue
import re
import shutil
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FADE_SECONDS = 1.0
MOVIE_CUE = 1.0
MOVIE_FRAMES = 50
MOVIE_FPS = 25
CLOCK_PORT = 9000
RELAY_CLOCK_PORT = 17000


def unavailable():
    """Why the rig cannot run here, or None."""
    if os.geteuid() != 0:
        return "needs root for network and time namespaces"
    for tool in ("ip", "unshare", "gst-launch-1.0"):
        if shutil.which(tool) is None:
            return f"needs {tool}"
    probe = subprocess.run(["unshare", "--time", "--monotonic", "1", "--fork", "true"],
                           capture_output=True)
    if probe.returncode != 0:
        return "time namespaces are not available"
    return None


def make_movie(path, frames=MOVIE_FRAMES):
    """A 32x18 movie at MOVIE_FPS whose frame k is coloured (5k, 255 - 5k, 64)."""
    width, height = 32, 18
    data = b"".join(bytes([5 * k, 255 - 5 * k, 64]) * (width * height) for k in range(frames))
    subprocess.run(["gst-launch-1.0", "-q", "fdsrc", "fd=0", "!",
                    "rawvideoparse", "format=rgb", f"width={width}", f"height={height}",
                    f"framerate={MOVIE_FPS}/1", "!", "videoconvert", "!", "jpegenc", "quality=100",
                    "!", "avimux", "!", "filesink", f"location={path}"],
                   input=data, check=True, stdout=subprocess.DEVNULL, timeout=60)


def make_show(folder):
    """A one-output show: cue 1 a looped movie whose frame k is coloured
    (5k, 255 - 5k, 64), cue 2 black, cue 3 the grid; every fade 1 s."""
    width, height = 32, 18
    make_movie(os.path.join(folder, "frames.avi"))
    state = lambda path: {"mediaPath": path, "muted": True, "looped": True, "kenBurns": False}
    cues = [(MOVIE_CUE, "frames.avi"), (2.0, "black://"), (3.0, "grid://")]
    show = os.path.join(folder, "sync.bwshow")
    import json
    with open(show, "w") as f:
        json.dump({"config": [{"name": "Stage", "width": width, "height": height}],
                   "cues": [{"id": cue, "description": f"cue {cue}", "fadeLength": FADE_SECONDS,
                             "outputStates": [state(path)]} for cue, path in cues]}, f)
    return show


class Process:
    """A child whose standard output lines are collected as they come."""

    def __init__(self, name, command, env=None):
        self.name = name
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env, text=True, bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def wait_for(self, pattern, timeout, start=0):
        """Index of the first line from `start` on that matches; raises on timeout."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    if regex.search(self.lines[i]):
                        return i
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    raise AssertionError(f"{self.name}: no line matching {pattern!r} within "
                                         f"{timeout} s; it said:\n  " + "\n  ".join(self.lines[-30:]))
                self.cond.wait(min(left, 0.2))

    def count(self, pattern):
        with self.cond:
            return sum(1 for line in self.lines if re.search(pattern, line))

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.send("quit")
                self.proc.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class Rig:
    """Leader L and followers A, B. `shared`: with the shared clock; without
    it the instances play alone and GOs reach the followers as plain OSC."""

    def __init__(self, binary, folder, shared=True, fps=60, make=None):
        self.binary = binary
        self.folder = folder
        # Makes the show in a folder and returns its path: make_show unless given.
        self.make = make or make_show
        self.shared = shared
        self.fps = fps
        tag = f"bw{os.getpid() % 100000}"
        self.namespaces = {"L": tag + "l", "A": tag + "a", "B": tag + "b"}
        self.addresses = {"A": ("10.218.1.1", "10.218.1.2"), "B": ("10.218.2.1", "10.218.2.2")}
        self.veths = {"A": (tag + "a0", tag + "a1"), "B": (tag + "b0", tag + "b1")}
        self.processes = {}
        self.relay = None

    def __enter__(self):
        try:
            self._network()
            self.show = self.make(self.folder)
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _ip(self, *args, namespace=None):
        command = ["ip"] + (["-n", namespace] if namespace else []) + list(args)
        subprocess.run(command, check=True, capture_output=True)

    def _network(self):
        for ns in self.namespaces.values():
            self._ip("netns", "add", ns)
            self._ip("link", "set", "lo", "up", namespace=ns)
        for side in ("A", "B"):
            near, far = self.veths[side]
            lead_address, follower_address = self.addresses[side]
            self._ip("link", "add", near, "type", "veth", "peer", "name", far)
            self._ip("link", "set", near, "netns", self.namespaces["L"])
            self._ip("link", "set", far, "netns", self.namespaces[side])
            self._ip("addr", "add", lead_address + "/24", "dev", near, namespace=self.namespaces["L"])
            self._ip("addr", "add", follower_address + "/24", "dev", far,
                     namespace=self.namespaces[side])
            self._ip("link", "set", near, "up", namespace=self.namespaces["L"])
            self._ip("link", "set", far, "up", namespace=self.namespaces[side])

    def _env(self, name, skew_ppm):
        env = dict(os.environ)
        runtime = os.path.join(self.folder, "run-" + name)
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env.update({"XDG_RUNTIME_DIR": runtime, "XDG_CONFIG_HOME": os.path.join(self.folder, "cfg"),
                    "BEAMWRIGHT_TEST_CLOCK_SKEW_PPM": str(skew_ppm),
                    "BEAMWRIGHT_AUDIO_SINK": "fakesink sync=true"})
        return env

    def record(self, name):
        return os.path.join(self.folder, name + ".rec")

    def _start(self):
        relay = ["ip", "netns", "exec", self.namespaces["L"], sys.executable,
                 os.path.join(HERE, "udp_relay.py"), "5", "2",
                 f"{RELAY_CLOCK_PORT}:{CLOCK_PORT}", f"{RELAY_CLOCK_PORT + 1}:{CLOCK_PORT + 1}"]
        self.relay = Process("relay", relay)
        self.relay.wait_for("^ready$", 10)
        # Skews in parts per million and monotonic offsets in seconds.
        plan = {"L": (100, 0), "A": (200, 7), "B": (-200, 13)}
        for name, (skew, offset) in plan.items():
            command = ["ip", "netns", "exec", self.namespaces[name]]
            if offset:
                command += ["unshare", "--time", "--monotonic", str(offset), "--boottime",
                            str(offset), "--kill-child=SIGTERM"]
            command += [self.binary, "--headless", self.show, "--fps", str(self.fps),
                        "--record-ticks", self.record(name)]
            if self.shared:
                if name == "L":
                    command += ["--clock-provide", str(CLOCK_PORT)]
                else:
                    command += ["--clock-follow", f"{self.addresses[name][0]}:{RELAY_CLOCK_PORT}"]
            self.processes[name] = Process(name, command, self._env(name, skew))
        for name in self.processes:
            self.processes[name].wait_for("^load done", 30)
        if self.shared:
            for name in ("A", "B"):
                self.processes[name].wait_for("^clock locked", 30)
            for name in ("A", "B"):
                self.processes["L"].wait_for(rf"^follower {re.escape(self.addresses[name][0])}|^follower 127\.0\.0\.1", 10)

    def go(self):
        """GO: on the leader's keyboard with the shared clock; without it, one
        plain OSC /go to each follower at once, each on its own 5 +- 2 ms way."""
        if self.shared:
            self.processes["L"].send("go")
        else:
            self.relay.send("osc-go " + " ".join(f"{self.addresses[s][1]}:7777" for s in ("A", "B")))

    def close(self):
        for name, process in self.processes.items():
            process.stop()
            with open(os.path.join(self.folder, name + ".out"), "w") as f:
                f.write("\n".join(process.lines) + "\n")
        if self.relay:
            self.relay.stop()
        for ns in self.namespaces.values():
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


# Analysis of the records.

def read_record(path):
    """(real ns, show ns, progress or None, cue, (r, g, b) or None) per frame."""
    ticks = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) != 5:
                continue  # the last line may be cut by the end of the run
            real, show, progress, cue, rgb = parts
            colour = None if rgb == "-" else tuple(int(rgb[i:i + 2], 16) for i in (0, 2, 4))
            ticks.append((int(real), int(show), None if progress == "-" else float(progress),
                          float(cue), colour))
    return ticks


def fade_starts(ticks):
    """The real time (s) each crossfade started at, from the frames inside it:
    display time minus progress times the fade length, the median per fade."""
    starts, current = [], []
    for real, _, progress, _, _ in ticks:
        if progress is not None and 0.0 < progress < 1.0:
            estimate = real / 1e9 - progress * FADE_SECONDS
            if current and abs(estimate - statistics.median(current)) > 0.2:
                starts.append(statistics.median(current))
                current = []
            current.append(estimate)
        elif current and progress is None:
            starts.append(statistics.median(current))
            current = []
    if current:
        starts.append(statistics.median(current))
    return starts


def backward_jumps(ticks):
    """Frames whose progress fell below the frame before's within one fade."""
    jumps, last = 0, None
    for _, _, progress, _, _ in ticks:
        if progress is not None and last is not None and progress < last - 1e-6 and progress > 0.0:
            jumps += 1
        last = progress
    return jumps


def alignment(records, fps):
    """Per GO seen by every record: the spread of its start across them, in
    refresh intervals. Fades are matched by start time (within 0.3 s)."""
    starts = {name: fade_starts(ticks) for name, ticks in records.items()}
    names = list(records)
    spreads = []
    for start in starts[names[0]]:
        matched = [start]
        for other in names[1:]:
            near = [s for s in starts[other] if abs(s - start) < 0.3]
            if not near:
                break
            matched.append(min(near, key=lambda s: abs(s - start)))
        else:
            spreads.append((max(matched) - min(matched)) * fps)
    return spreads


def frame_changes(ticks):
    """(real s, frame) at each change of the movie's frame on stage."""
    changes, last = [], None
    for real, _, progress, cue, colour in ticks:
        if cue != MOVIE_CUE or progress is not None or colour is None:
            last = None
            continue
        frame = round((colour[0] + 255 - colour[1]) / 10)
        if last is not None and frame != last:
            changes.append((real / 1e9, frame))
        last = frame
    return changes


def frame_offsets(records, fps, reference, start, end):
    """For each change of frame between real times `start` and `end` (s) on a
    record other than `reference`, how far (in refresh intervals) it is from
    the same change on the reference. Display links tick at their own phases,
    so two machines in step show a new frame up to one refresh apart."""
    base = frame_changes(records[reference])
    offsets = []
    for name, ticks in records.items():
        if name == reference:
            continue
        for when, frame in frame_changes(ticks):
            if not start <= when <= end:
                continue
            near = [t for t, f in base if f == frame and abs(t - when) < 0.5]
            if near:
                offsets.append(min(abs(t - when) for t in near) * fps)
    return offsets
