#!/usr/bin/env python3
"""One press, one GO, on the real window under Xvfb with real input.

- Return held down for 1.6 s (xdotool keydown, keyup: the X server repeats
  the key as release and press pairs) runs one GO, with the GO guard off,
  so that only the key's own rule is at work.
- Two clicks on GO 120 ms apart run one GO, and the status line says "GO
  ignored: ... s after the last". The guard is 5 s here rather than the
  default 0.3 s, so that a busy machine cannot space the clicks past it.
- During a crossfade the next line names the cue GO would run.
- With a cue on stage, a second start with another show asks first; kept,
  the second start exits non-zero and the stage stays as it was. A second
  start whose show does not load exits non-zero with the reason, and the
  stage stays too.
- Locked for the performance (Ctrl+L), Open is refused and the status line
  says why.

The screenshots of the ignored GO, the question and the refusal are kept
where BW_SCREENSHOT_DIR names a folder.

usage: go_safety_e2e.py BEAMWRIGHT_BINARY
"""
import os
import re
import subprocess
import sys
import time

import window_harness as harness


def write_show(folder):
    """Three cues on one output; cue 2 fades for four seconds."""
    cues = [(1, "Black", 0, "black://"), (2, "Slow grid", 4, "grid://"), (3, "Clear", 0, "clear://")]
    text = ('{"config":[{"name":"Stage","width":%d,"height":%d}],"cues":[%s]}'
            % (harness.STAGE_WIDTH, harness.STAGE_HEIGHT,
               ",".join('{"id":%d,"description":"%s","fadeLength":%d,"outputStates":[%s]}'
                        % (number, text, fade, harness.state(media))
                        for number, text, fade, media in cues)))
    path = os.path.join(folder, "show.bwshow")
    with open(path, "w") as out:
        out.write(text)
    return path


def line(accessibility, name):
    accessible = accessibility.find(name)
    return accessibility.description(accessible) if accessible else None


def field_text(accessibility):
    """What the cue number field shows; None while it cannot be read."""
    field = accessibility.find("Cue number")
    if not field:
        return None
    found = re.search(r"\('(.*)',\)", accessibility.call(field, "org.a11y.atspi.Text.GetText",
                                                         "0", "1000"))
    return found.group(1) if found else None


def held_return(binary):
    with harness.Session(binary, accessible=True, show=write_show, go_guard="0") as session:
        try:
            session.start()
            accessibility = harness.Accessibility(session)
            session.wait_for(lambda: line(accessibility, "Next cue") == "Next: 1.0 Black", 20,
                             "the next line does not name cue 1")
            session.xdotool("windowfocus", "--sync", session.window_id)
            session.xdotool("keydown", "Return")
            time.sleep(1.6)  # the key held: the X server repeats it meanwhile
            session.xdotool("keyup", "Return")
            session.wait_for(lambda: line(accessibility, "Cue on stage") == "Now: 1.0 Black", 20,
                             "the held key did not run cue 1")
            # A digit typed after the key went up is taken after every repeat
            # of it: once the field shows it, the show must still be on cue 1.
            session.xdotool("key", "7")
            session.wait_for(lambda: field_text(accessibility) == "7", 20,
                             "the digit typed after the held key did not arrive")
            session.xdotool("key", "BackSpace")
            session.wait_for(lambda: field_text(accessibility) == "", 20,
                             "Backspace did not empty the cue field")
            now = line(accessibility, "Cue on stage")
            if now != "Now: 1.0 Black":
                raise RuntimeError("holding Return ran more than one GO: %s" % now)
            # Pressed again after it was up, the key counts again, and
            # during the slow fade the next line names cue 3.
            session.xdotool("key", "Return")
            session.wait_for(lambda: line(accessibility, "Cue on stage") == "Now: 2.0 Slow grid",
                             20, "a second press did not run cue 2")
            next_line = line(accessibility, "Next cue")
            if next_line != "Next: 3.0 Clear":
                raise RuntimeError("during the fade the next line says %r" % next_line)
        except Exception as error:  # noqa: BLE001 - any failure ends the test with the logs
            print("FAIL (held Return): %s\nbeamwright log:\n%s" % (error, session.log("beamwright")))
            return False
    return True


def double_click(binary):
    with harness.Session(binary, accessible=True, show=write_show, go_guard="5") as session:
        try:
            session.start()
            accessibility = harness.Accessibility(session)
            button = session.wait_for(lambda: accessibility.find("GO"), 20, "no GO button")
            x, y = accessibility.centre(button)
            session.xdotool("mousemove", "--sync", str(x), str(y))
            session.xdotool("click", "--repeat", "2", "--delay", "120", "1")
            ignored = session.wait_for(
                lambda: re.fullmatch(r"GO ignored: \d+\.\d\d s after the last",
                                     line(accessibility, "Last GO") or ""), 20,
                "the second click was not shown as ignored")
            now = line(accessibility, "Cue on stage")
            if now != "Now: 1.0 Black":
                raise RuntimeError("two clicks 120 ms apart ran more than one GO: %s" % now)
            keep_screenshot(session, "go-ignored.png")
            print("double click: %s" % ignored.group(0))
        except Exception as error:  # noqa: BLE001 - any failure ends the test with the logs
            print("FAIL (double click): %s\nbeamwright log:\n%s"
                  % (error, session.log("beamwright")))
            return False
    return True


def keep_screenshot(session, name, window=None):
    folder = os.environ.get("BW_SCREENSHOT_DIR")
    if folder:
        session.screenshot(os.path.join(folder, name), window)


def question_box(session):
    """The id of a box the program puts up (titled with its name alone)."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Beamwright$"],
                           env=session.env, capture_output=True, text=True).stdout.split()
    return found[0] if found else None


def second_start(session, show):
    return subprocess.Popen([session.binary, show], env=session.env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)


def ended(session, process, what):
    """The output of `process` once it has ended non-zero."""
    output, _ = process.communicate(timeout=harness.deadline(60))
    if process.returncode == 0:
        raise RuntimeError("%s exited 0: %s" % (what, output))
    return output.strip()


def stage_kept(binary):
    with harness.Session(binary, accessible=True, show=write_show, go_guard="0") as session:
        try:
            session.start()
            accessibility = harness.Accessibility(session)
            os.makedirs(os.path.join(session.dir, "other"))
            other = write_show(os.path.join(session.dir, "other"))
            broken = os.path.join(session.dir, "broken.bwshow")
            with open(broken, "w") as out:
                out.write("{")
            session.type_cue("1")
            on_cue_1 = lambda: line(accessibility, "Cue on stage") == "Now: 1.0 Black"
            session.wait_for(on_cue_1, 20, "cue 1 did not run")

            # Another show: asked first; Escape keeps the show on stage.
            starting = second_start(session, other)
            box = session.wait_for(lambda: question_box(session), 30,
                                   "no question before replacing the stage")
            keep_screenshot(session, "stage-question.png", box)
            session.xdotool("windowfocus", "--sync", box)
            session.xdotool("key", "Escape")
            kept = ended(session, starting, "a second start that was kept out")
            if "was not opened" not in kept or not on_cue_1():
                raise RuntimeError("the kept show changed, or the start said %r" % kept)

            # A show that does not load: Continue, then the reason, and the
            # stage as it was.
            starting = second_start(session, broken)
            box = session.wait_for(lambda: question_box(session), 30, "no question for the load")
            session.xdotool("windowfocus", "--sync", box)
            session.xdotool("key", "alt+c")
            said = ended(session, starting, "a second start whose show does not load")
            if "broken.bwshow" not in said or not on_cue_1():
                raise RuntimeError("a failed load changed the stage, or said %r" % said)
            warning = session.wait_for(lambda: question_box(session), 30, "no load warning")
            session.xdotool("windowfocus", "--sync", warning)
            session.xdotool("key", "Return")
            session.wait_for(lambda: question_box(session) is None, 20, "the warning stayed up")
            print("second starts: kept out (%s); failed load (%s)" % (kept, said))

            # Locked: Open is refused, and the status line says so.
            session.xdotool("windowfocus", "--sync", session.window_id)
            session.xdotool("key", "ctrl+l")
            session.xdotool("key", "ctrl+o")
            refusal = session.wait_for(lambda: line(accessibility, "Refused"), 20,
                                       "no refusal shown while locked")
            if "Locked for the performance: Open Show refused" not in refusal:
                raise RuntimeError("the refusal says %r" % refusal)
            keep_screenshot(session, "locked-refusal.png")
            print("locked: %s" % refusal)
        except Exception as error:  # noqa: BLE001 - any failure ends the test with the logs
            print("FAIL (stage kept): %s\nbeamwright log:\n%s" % (error, session.log("beamwright")))
            return False
    return True


def main():
    harness.require_programs(harness.PROGRAMS)
    ok = held_return(sys.argv[1]) and double_click(sys.argv[1]) and stage_kept(sys.argv[1])
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
