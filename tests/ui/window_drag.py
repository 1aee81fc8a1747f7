#!/usr/bin/env python3
"""A generator tile dragged with the real pointer under Xvfb onto an output
cell of the cue list sets that cue's media: the Grid tile onto cue 2, whose
output showed black, then a typed GO to cue 2 puts the grid on the published
output.

The tile and the cell are found as a screen reader finds them (their
accessible objects on the AT-SPI bus and their extents on the screen), so
the test follows the window's layout wherever it puts them.

usage: window_drag.py BEAMWRIGHT_BINARY
"""
import os
import sys

import window_harness as harness

GRID_TILE = "Grid generator: drag onto an output cell"


def write_black_show(folder):
    """Two cues that both show black on the one small output."""
    text = ('{"config":[{"name":"Stage","width":%d,"height":%d}],"cues":['
            '{"id":1,"description":"Black","fadeLength":0,"outputStates":[%s]},'
            '{"id":2,"description":"Still black","fadeLength":0,"outputStates":[%s]}]}'
            % (harness.STAGE_WIDTH, harness.STAGE_HEIGHT, harness.state("black://"),
               harness.state("black://")))
    path = os.path.join(folder, "show.bwshow")
    with open(path, "w") as out:
        out.write(text)
    return path


def main():
    harness.require_programs(["Xvfb", "xdotool", "pipewire", "pw-link", "gst-launch-1.0",
                              "dbus-daemon", "gdbus"])
    with harness.Session(sys.argv[1], accessible=True, show=write_black_show) as session:
        try:
            session.start()
            frames = session.consumer()
            session.type_cue("1")
            frames.wait_for_level(lambda level: level <= harness.BLACK_AT_MOST)

            accessibility = harness.Accessibility(session)
            table = session.wait_for(lambda: accessibility.find("Cues"), 20, "no cue list")
            tile = session.wait_for(lambda: accessibility.find(GRID_TILE), 5, "no Grid tile")
            # Row 1 is cue 2; column 0 is the cue itself, column 1 the output.
            cell = session.wait_for(lambda: accessibility.cell(table, 1, 1), 10,
                                    "the cue list has no cell for cue 2's output")
            before = accessibility.name(cell)
            if before != "Black":
                raise RuntimeError("cue 2's output cell reads %r before the drag" % before)

            session.drag(accessibility.centre(tile), accessibility.centre(cell))

            # The typed GO runs cue 2 as the list now has it.
            session.type_cue("2")
            try:
                level = frames.wait_for_level(lambda level: level >= harness.GRID_AT_LEAST, 5)
            except RuntimeError as error:
                after = accessibility.name(accessibility.cell(table, 1, 1))
                raise RuntimeError("the drop did not set cue 2's media (its cell reads %r): %s"
                                   % (after, error)) from None
            print("dragged the Grid tile from %s onto %s; cue 2 publishes mean level %.0f"
                  % (accessibility.extents(tile), accessibility.extents(cell), level))
        except Exception as error:  # noqa: BLE001 - any failure ends the test with the logs
            print("FAIL: %s\nbeamwright log:\n%s" % (error, session.log("beamwright")))
            return 1
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
