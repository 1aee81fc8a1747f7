#!/usr/bin/env python3
"""Outputs full screen on a Wayland compositor's two outputs (sway, headless):
each output fills the screen chosen for it with its cue's picture and follows
a remote GO; a screen that goes away and comes back (the compositor's output
disabled, then enabled) gets its output's window back.

sway will not run as root: as root, the compositor alone runs as the
unprivileged user "nobody", in a folder of its own that user owns; the window
and the tools reach its sockets by their paths. Screenshots of one output at
a time come from grim.

usage: output_windows_sway.py BEAMWRIGHT_BINARY
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import output_windows_e2e as pictures
import window_harness as harness

OUTPUTS = ("HEADLESS-1", "HEADLESS-2")


class SwaySession:
    def __init__(self, binary):
        self.binary = binary
        self.dir = tempfile.mkdtemp(prefix="bw-sway-")
        self.processes = []
        self.osc_port = harness.free_port()
        runtime = os.path.join(self.dir, "runtime")
        os.makedirs(runtime, mode=0o700)
        # The compositor's own folder: its runtime folder and its configuration.
        self.sway_dir = os.path.join(self.dir, "sway")
        os.makedirs(self.sway_dir)
        self.as_sway_user = ["runuser", "-u", "nobody", "--"] if os.geteuid() == 0 else []
        self.sway_env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "XDG_RUNTIME_DIR": self.sway_dir,
            "HOME": self.sway_dir, "LC_ALL": "C.UTF-8",
            "WLR_BACKENDS": "headless", "WLR_HEADLESS_OUTPUTS": "2", "WLR_RENDERER": "pixman",
            "WLR_LIBINPUT_NO_DEVICES": "1",
        }
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "PIPEWIRE_REMOTE", "SESSION_MANAGER"):
            self.env.pop(name, None)
        self.env.update({
            "XDG_RUNTIME_DIR": runtime, "XDG_CONFIG_HOME": os.path.join(self.dir, "config"),
            "LC_ALL": "C.UTF-8",
            "QT_QPA_PLATFORM": "wayland", "QT_QPA_PLATFORMTHEME": "",
            "QT_WAYLAND_DISABLE_WINDOWDECORATION": "1",
            "BEAMWRIGHT_OSC_PORT": str(self.osc_port),
            "BEAMWRIGHT_CREP_PORT": str(harness.free_port()),
            "BEAMWRIGHT_AUDIO_SINK": "fakesink",
        })
        self.show = pictures.write_show(self.dir, OUTPUTS)
        with open(os.path.join(self.sway_dir, "sway.conf"), "w") as out:
            # No X server beside the compositor: it would take an X display
            # number and its sockets, which the X tests' servers pick from.
            out.write("xwayland disable\n")
            out.write("output %s resolution %s position 0 0\n" % (OUTPUTS[0], pictures.SCREENS[0]))
            out.write("output %s resolution %s position 640 0\n" % (OUTPUTS[1],
                                                                     pictures.SCREENS[1]))
        if self.as_sway_user:
            os.chmod(self.dir, 0o711)
            subprocess.run(["chown", "-R", "nobody", self.sway_dir], check=True)
        os.chmod(self.sway_dir, 0o700)

    def spawn(self, argv, name, as_sway=False):
        log = open(os.path.join(self.dir, name + ".log"), "w")
        if as_sway:
            argv = self.as_sway_user + ["env", "-i"] + [
                "%s=%s" % item for item in self.sway_env.items()] + argv
        process = subprocess.Popen(argv, env=None if as_sway else self.env, stdout=log,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        self.processes.append(process)
        return process

    def run(self, *argv):
        return subprocess.run(list(argv), env=self.env, capture_output=True, check=True).stdout

    def start(self):
        self.spawn(["sway", "-c", os.path.join(self.sway_dir, "sway.conf")], "sway", as_sway=True)
        sockets = lambda: [name for name in os.listdir(self.sway_dir)
                           if name.startswith("wayland-") and not name.endswith(".lock")]
        self.wait_for(lambda: sockets() and any(name.startswith("sway-ipc.")
                                                for name in os.listdir(self.sway_dir)),
                      15, "sway did not start")
        # Paths, not names: the window's runtime folder is not the compositor's.
        self.env["WAYLAND_DISPLAY"] = os.path.join(self.sway_dir, sockets()[0])
        self.env["SWAYSOCK"] = next(os.path.join(self.sway_dir, name)
                                    for name in os.listdir(self.sway_dir)
                                    if name.startswith("sway-ipc."))
        self.window = self.spawn([self.binary, self.show], "beamwright")
        return self

    def wait_for(self, condition, seconds, failure):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return
            time.sleep(0.1)
        raise RuntimeError(failure + "\n" + self.log("sway") + self.log("beamwright"))

    def log(self, name):
        try:
            with open(os.path.join(self.dir, name + ".log")) as text:
                return text.read()
        except OSError:
            return ""

    def shoot(self, screen):
        return pictures.pixels(self.run("grim", "-o", OUTPUTS[screen], "-"), screen)

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGTERM)
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
        if os.environ.get("BW_KEEP_TEMP") != "1":
            shutil.rmtree(self.dir, ignore_errors=True)


def main():
    harness.require_programs(["sway", "swaymsg", "grim", "oscsend", "convert"])
    session = SwaySession(sys.argv[1])
    try:
        session.start()
        log = lambda: session.log("beamwright")
        # The first GO waits for the show to be loaded and the cue armed.
        deadline = time.monotonic() + 20
        while True:
            subprocess.run(["oscsend", "localhost", str(session.osc_port), "/go/1"], check=True)
            try:
                pictures.wait_for_pictures(session.shoot, pictures.WARM, pictures.COOL,
                                           "cue 1", log, seconds=1)
                break
            except RuntimeError:
                if time.monotonic() > deadline:
                    raise

        # The second screen goes away: its window closes with it. When it comes
        # back, the output is on it again.
        session.run("swaymsg", "output", OUTPUTS[1], "disable")
        time.sleep(0.5)
        pictures.wait_for_pictures(session.shoot, pictures.WARM, None, "with one screen", log)
        session.run("swaymsg", "output", OUTPUTS[1], "enable")
        pictures.wait_for_pictures(session.shoot, pictures.WARM, pictures.COOL,
                                   "the screen back", log)

        subprocess.run(["oscsend", "localhost", str(session.osc_port), "/go"], check=True)
        pictures.wait_for_pictures(session.shoot, pictures.COOL, pictures.WARM, "cue 2", log)
        print("sway: two outputs on two screens, a screen gone and back, GO followed")
    except Exception as error:
        print("FAIL:", error, file=sys.stderr)
        return 1
    finally:
        session.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
