#!/usr/bin/env python3
"""de30ctl --service against a real de30d: a pump the service does not have.

de30d runs its embedded simulated station (pumps 1:1, 1:2 and 2:3). Every
command of de30ctl --service that names a pump ends with exit code 3 and a
message naming the pump and the pumps the service has when the pump is not
one of them -- price too, whose prices are the station's and which the service
would otherwise take -- and a refused price changes no price. A grade the
station or the pump does not have ends with 3 as well. The same commands on a
pump the service has succeed, so the refusals are the pump's, not the command's.

  service_unknown_pump_test.py --de30d PATH --de30ctl PATH --dir DIR
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from de30d_process import De30d, fresh_folder  # noqa: E402

EXIT_UNKNOWN = 3

# (arguments, what the message must name); every one names pump 1:3.
UNKNOWN_PUMP = [
    "status 1:3",
    "poll 1:3",
    "start 1:3",
    "start 1:3 --litres 10",
    "start 1:3 --money 500 --grade 2",
    "stop 1:3",
    "unblock 1:3 --code 5",
    "price 1:3 2 47.30",
    "price 1:3 2=47.30",
    "poll 31:31",
]
UNKNOWN_GRADE = [
    "price 1:2 9 10.00",             # the station has grades 1..4
    "start 1:1 --money 100 --grade 4",  # pump 1:1 sells grade 2 only
]


def ctl(binary, base, arguments):
    done = subprocess.run([binary, "--service", base] + arguments.split(),
                          capture_output=True, text=True, timeout=60)
    return done.returncode, (done.stdout + done.stderr).strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--de30d", required=True)
    parser.add_argument("--de30ctl", required=True)
    parser.add_argument("--dir", required=True)
    args = parser.parse_args()

    wrong = []
    service = De30d(args.de30d, fresh_folder(args.dir))
    try:
        service.wait_for("every pump online with its prices sent", lambda: all(
            p["state"] != "offline" and p["price_state"] == "sent"
            for p in service.get("/pumps")), limit=30)
        prices = service.get("/prices")
        for arguments in UNKNOWN_PUMP:
            code, said = ctl(args.de30ctl, service.base, arguments)
            pump = arguments.split()[1]
            print("de30ctl --service %s: exit %d: %s" % (arguments, code, said))
            if code != EXIT_UNKNOWN:
                wrong.append("%s: exit %d, expected %d" % (arguments, code, EXIT_UNKNOWN))
            for part in ("pump %s" % pump, "no such pump", "1:1, 1:2, 2:3"):
                if part not in said:
                    wrong.append("%s: the message does not say %r" % (arguments, part))
        if service.get("/prices") != prices:
            wrong.append("a refused price changed the prices: %s, then %s" % (
                prices, service.get("/prices")))
        for arguments in UNKNOWN_GRADE:
            code, said = ctl(args.de30ctl, service.base, arguments)
            print("de30ctl --service %s: exit %d: %s" % (arguments, code, said))
            if code != EXIT_UNKNOWN or "unknown_grade" not in said:
                wrong.append("%s: exit %d (%s), expected %d naming unknown_grade" % (
                    arguments, code, said, EXIT_UNKNOWN))
        # Pumps the service has: the same commands go through.
        for arguments in ("status 2:3", "poll 1:2", "price 1:2 2 47.30"):
            code, said = ctl(args.de30ctl, service.base, arguments)
            print("de30ctl --service %s: exit %d: %s" % (arguments, code, said))
            if code != 0:
                wrong.append("%s: exit %d on a pump the service has: %s" % (arguments, code,
                                                                            said))
        if service.get("/prices").get("2") != 47.3:
            wrong.append("price 1:2 2 47.30 did not set grade 2: %s" % service.get("/prices"))
    finally:
        code = service.stop()
    if code != 0:
        wrong.append("de30d exited with %s; its log: %s" % (code, service.log.name))
    for what in wrong:
        print("FAIL " + what)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
