#!/usr/bin/env python3
"""Three instances, one show: a leader and two followers in network and time
namespaces of their own (syncrig.py). Checks that each GO's crossfade runs
in step on all three (less than one refresh interval apart), that a looped
movie shows the same frame at the same moment, that a GO whose datagrams are
all lost is caught up from the leader's state, that a restart of the
clock provider is survived without a fade jumping back, and that the
leader's Panic puts both followers on black.

Usage: sync_test.py BEAMWRIGHT [--long]
  --long  20 GOs over more than a minute, then the movie for 5 minutes
          (the benchmark's run; Release builds).
Exits 77 (skipped) where namespaces cannot be made, unless CI is set.
"""

import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import syncrig  # noqa: E402

FPS = 60
PANIC_CUE = -2.0
# Waits end on their condition; their deadlines only end a test gone wrong,
# and a slow machine may stretch them all (BW_TEST_TIME_SCALE, at least 1).
TIME_SCALE = max(1.0, float(os.environ.get("BW_TEST_TIME_SCALE", "1") or "1"))


def deadline(seconds):
    return seconds * TIME_SCALE


def wait_until(condition, seconds):
    """Whether `condition` held before `seconds` (scaled) passed."""
    give_up = time.monotonic() + deadline(seconds)
    while not condition():
        if time.monotonic() > give_up:
            return False
        time.sleep(0.05)
    return True


def go_and_wait(rig, names=("L", "A", "B"), pause=0.5):
    """GO, then wait until each of `names` has ended the fade it started, and
    leave the show on that cue for `pause` seconds before the next GO."""
    marks = {name: len(rig.processes[name].lines) for name in names}
    rig.go()
    for name in names:
        rig.processes[name].wait_for("^transition complete", deadline(30), start=marks[name])
    time.sleep(pause)


def before_panic(ticks):
    """The frames before the first one of the Panic: its fade starts at once
    on each machine, not at a moment of the show clock."""
    for k, tick in enumerate(ticks):
        if tick[3] == PANIC_CUE:
            return ticks[:k]
    return ticks


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def run(binary, long_run):
    keep = os.environ.get("BW_SYNC_KEEP")  # a folder to keep the records in
    with tempfile.TemporaryDirectory(prefix="bw-sync-") as temporary, \
            syncrig.Rig(binary, keep or temporary, shared=True, fps=FPS) as rig:
        leader, a, b = rig.processes["L"], rig.processes["A"], rig.processes["B"]
        leader.wait_for("joined", deadline(20))
        check(wait_until(lambda: leader.count("joined") >= 2, 20),
              "the leader did not see both followers")
        # The show starts once both followers' clocks are locked: a GO before
        # that runs at once on a follower, unaligned (and says so).
        a.wait_for("^clock locked", deadline(30))
        b.wait_for("^clock locked", deadline(30))
        time.sleep(1)

        gos = 20 if long_run else 6
        # Each fade ends on all three before the next GO; the long run holds
        # each cue longer, as a show would.
        pause = 2.2 if long_run else 1.0
        for _ in range(gos):
            go_and_wait(rig, pause=pause)

        # One GO lost on its way to the followers: the state catches them up.
        armed = len(rig.relay.lines)
        rig.relay.send("drop-next-go")
        # A GO sent before the relay has the command would get through.
        rig.relay.wait_for("^armed$", deadline(20), start=armed)
        caught_a, caught_b = a.count("caught up"), b.count("caught up")
        marks = len(leader.lines)
        rig.go()
        rig.relay.wait_for("dropped go", deadline(20))
        a.wait_for("caught up with cue", deadline(30), start=0)
        check(wait_until(lambda: a.count("caught up") > caught_a and
                         b.count("caught up") > caught_b, 30),
              "a follower did not catch up with the GO it missed")
        leader.wait_for("^transition complete", deadline(30), start=marks)
        time.sleep(1.5)

        # The provider goes away and comes back mid-show.
        lost_a = len(a.lines)
        leader.send("clock stop")
        a.wait_for("^clock lost", deadline(20), start=lost_a)
        b.wait_for("^clock lost", deadline(20), start=lost_a and 0)
        go_and_wait(rig, names=("L",), pause=1.0)  # the show goes on while the clock is away
        relock_a, relock_b = len(a.lines), len(b.lines)
        leader.send("clock start")
        a.wait_for("^clock locked", deadline(30), start=relock_a)
        b.wait_for("^clock locked", deadline(30), start=relock_b)
        go_and_wait(rig)

        # Into the movie; then a few seconds of it, or five minutes in the
        # long run.
        while True:
            records = syncrig.read_record(rig.record("L"))
            if records and records[-1][3] == syncrig.MOVIE_CUE:
                break
            go_and_wait(rig)
        time.sleep(300 if long_run else 3.0)

        end = time.time()

        # The leader's Panic: both followers fade to black with it.
        marks = {name: len(rig.processes[name].lines) for name in ("A", "B")}
        leader.send("panic")
        for name in ("A", "B"):
            follower = rig.processes[name]
            follower.wait_for("^Panic from the leader", deadline(20), start=marks[name])
            follower.wait_for('^current cue -2.0 "Panic"', deadline(20), start=marks[name])
        rig.close()
        records = {name: before_panic(syncrig.read_record(rig.record(name)))
                   for name in ("L", "A", "B")}

    spreads = syncrig.alignment(records, FPS)
    check(len(spreads) >= gos, f"only {len(spreads)} fades were seen on all three")
    for name, ticks in records.items():
        check(syncrig.backward_jumps(ticks) == 0, f"{name}: a fade jumped back")
    # The movie's last seconds: after five minutes in the long run.
    offsets = syncrig.frame_offsets(records, FPS, "L", end - 2.5, end - 0.5)
    print(f"fades {len(spreads)}: spread median {statistics.median(spreads):.3f} "
          f"worst {max(spreads):.3f} refresh intervals")
    print(f"movie frame changes {len(offsets)}: median {statistics.median(offsets):.3f} "
          f"worst {max(offsets):.3f} refresh intervals")
    check(max(spreads) < 1.0, "a fade's progress differed by a refresh interval or more")
    # Each machine shows a new frame at its first refresh on or after the
    # frame's time, and the display links tick at their own phases: machines
    # in step show a change up to one refresh apart, plus the clocks' residual
    # error. A frame shown a frame early or late (25 fps on 60 Hz) would be
    # 2.4 refreshes apart.
    check(offsets and max(offsets) < 1.5, "a movie frame changed 1.5 refreshes or more apart")
    return 0


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    reason = syncrig.unavailable()
    if reason:
        if os.environ.get("CI"):
            print(f"cannot run: {reason}")
            return 1
        print(f"skipped: {reason}")
        return 77
    return run(sys.argv[1], "--long" in sys.argv[2:])


if __name__ == "__main__":
    sys.exit(main())
