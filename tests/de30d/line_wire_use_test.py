#!/usr/bin/env python3
"""The line figures of de30d's simulated station are those of a 2400-baud line.

de30d polls its pumps without pause, so each line of the simulated station is
busy most of the time, and no more than all of it: `wire_use` in /api/v1/lines
lies between 25 and 100 % at every speed of the simulated pumps (`--speed` runs
the customers faster, never the wire). The wire's pace shows in the latency
too: the shortest exchange, a poll of two bytes answered with three, takes
20.8 ms at 2400 baud, so no median can be shorter.

  line_wire_use_test.py --de30d PATH --dir DIR [--speeds 1,50] [--seconds S]
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from de30d_process import De30d, fresh_folder  # noqa: E402

SHORTEST_EXCHANGE_MS = (2 + 3) * 10 / 2400 * 1000


def check_lines(lines, speed):
    """What is wrong with the lines' figures, one line of text each."""
    wrong = []
    if sorted(line["line"] for line in lines) != [1, 2]:
        wrong.append("lines %s, expected 1 and 2" % [line["line"] for line in lines])
    for line in lines:
        name = "speed %s, line %d" % (speed, line["line"])
        use, latency = line["wire_use"], line["latency_ms"]
        print("%s: wire use %.2f %%, latency median %s ms, %d polls, cycle %.1f ms" % (
            name, use, latency and latency["median"], line["polls"], line["cycle_ms"]))
        if not 25.0 <= use <= 100.0:
            wrong.append("%s: wire use %.2f %% is not within 25..100 %%" % (name, use))
        if latency is None or latency["median"] < SHORTEST_EXCHANGE_MS:
            wrong.append("%s: a median latency of %s ms is shorter than the %.1f ms the "
                         "shortest exchange takes on the wire" % (
                             name, latency and latency["median"], SHORTEST_EXCHANGE_MS))
        if line["timeouts"] or line["channel_errors"]:
            wrong.append("%s: %d timeouts, %d channel errors on a station without faults" % (
                name, line["timeouts"], line["channel_errors"]))
    return wrong


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--de30d", required=True)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--speeds", default="1,50")
    parser.add_argument("--seconds", type=float, default=8.0,
                        help="how long each station runs before its lines are read")
    args = parser.parse_args()

    wrong = []
    for speed in args.speeds.split(","):
        folder = fresh_folder(os.path.join(args.dir, "speed-" + speed))
        service = De30d(args.de30d, folder, ["--speed", speed])
        try:
            # Customers lift nozzles within seconds: the lines carry fills, totals
            # and prices besides the polls by the time they are read.
            time.sleep(args.seconds)
            # The figures are brought up to date about once a second: read twice.
            for _ in range(2):
                lines = service.get("/lines")
                wrong += check_lines(lines, speed)
                time.sleep(1.2)
        finally:
            code = service.stop()
        if code != 0:
            wrong.append("speed %s: de30d exited with %s; its log: %s" % (
                speed, code, service.log.name))
    for what in wrong:
        print("FAIL " + what)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
