#!/usr/bin/env python3
"""Every curl example of docs/api.md, run as written against de30d.

Takes each line that starts with `curl ` in a fenced code block of the document
(a line ending in a backslash goes on on the next), in the document's order,
and runs it through bash against de30d started on its embedded simulated
station with a fresh journal. The only change to the line is the address:
http://127.0.0.1:8030 (or localhost:8030) becomes the port this de30d listens
on. Options go in front of the example's own: -sS, the body to a file and
`-w '%{http_code}'`; an event stream (`-N`) also gets `--max-time`.

An example passes when
  - it answers 2xx with a JSON body, or, when its line ends in a comment
    `# answers STATUS CODE` (`# answers 409 already_cleared`), exactly that
    status with that error code;
  - an event stream answers 200 and delivers at least one event before the
    time runs out.
A fenced block right after a line `<!-- not run: REASON -->` holds examples that
cannot run here (another machine, a token): each is listed with its reason and
counted, never silently left out. An example that points anywhere but the
default address without that mark fails.

Before the first example, as a person trying the document would find it:
  1. every pump is online and has been sent its prices;
  2. sale 1, the first simulated customer's fill, is payable.
While the examples run:
  3. a pump command answered `409 wrong_state` is tried again (every 0.3 s, for
     up to --busy seconds): the simulated customers keep the pumps busy, and the
     document says to try again when the pump is free;
  4. an example on /sales/N first waits until sale N exists and has closed.

  api_examples_test.py --de30d PATH --doc docs/api.md --dir DIR [--speed N] [--list]
"""

import argparse
import json
import os
import re
import shlex
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from de30d_process import De30d, fresh_folder  # noqa: E402

DEFAULT_ADDRESS = re.compile(r"http://(?:127\.0\.0\.1|localhost):8030(?=[/'\"\s]|$)")
NOT_RUN = re.compile(r"<!--\s*not run:\s*(.*?)\s*-->")
ANSWERS = re.compile(r"\banswers\s+(\d{3})(?:\s+([a-z_]+))?")
PUMP_COMMAND = re.compile(r"/api/v1/pumps/(\d+:\d+)/\w+")
SALE = re.compile(r"/api/v1/sales/(\d+)\b")
STREAM_SECONDS = 4


class Example:
    def __init__(self, doc, line, section, command, not_run):
        self.doc = doc
        self.line = line  # in the document, from 1
        self.section = section
        self.command = command
        self.not_run = not_run  # the reason, or None
        comment = shell_comment(command)
        found = ANSWERS.search(comment) if comment else None
        self.status = int(found.group(1)) if found else None
        self.error = found.group(2) if found else None
        self.stream = "-N" in shlex.split(command, comments=True)

    def __str__(self):
        return "%s:%d (%s): %s" % (self.doc, self.line, self.section, self.command)


def shell_comment(command):
    """The text of the command's trailing comment, outside any quotes, or ''."""
    quote = None
    for i, c in enumerate(command):
        if quote:
            if c == quote:
                quote = None
        elif c in "'\"":
            quote = c
        elif c == "#" and (i == 0 or command[i - 1].isspace()):
            return command[i + 1:].strip()
    return ""


def examples_of(path):
    """The curl examples of the document's fenced blocks, in order; and the
    problems of the document itself (marks that mark nothing, open fences)."""
    found, problems = [], []
    section, fence, mark, mark_line, block_examples = "", None, None, 0, 0
    pending = None  # a line continued with a backslash
    last_text = ""
    with open(path, encoding="utf-8") as doc:
        lines = doc.read().split("\n")
    for number, raw in enumerate(lines, 1):
        text = raw.strip()
        if fence is None:
            if text.startswith("```"):
                fence = text[: len(text) - len(text.lstrip("`"))]
                found_mark = NOT_RUN.fullmatch(last_text)
                mark, mark_line = (found_mark.group(1), number - 1) if found_mark else (None, 0)
                block_examples = 0
            elif text.startswith("#"):
                section = text.lstrip("#").strip()
            if text:
                last_text = text
            continue
        if text.startswith(fence) and text.strip("`") == "":
            if mark is not None and block_examples == 0:
                problems.append("%s:%d: a not-run mark on a block without curl examples"
                                % (path, mark_line))
            fence, last_text = None, text
            continue
        if pending is not None:
            start, joined = pending
            joined += " " + text
        elif re.match(r"(\$\s+)?curl\s", text):
            start, joined = number, re.sub(r"^\$\s+", "", text)
        else:
            continue
        if joined.endswith("\\"):
            pending = (start, joined[:-1].rstrip())
            continue
        pending = None
        found.append(Example(path, start, section, joined, mark))
        block_examples += 1
    if fence is not None:
        problems.append("%s: a code block is never closed" % path)
    return found, problems


class Runner:
    def __init__(self, service, folder, busy_seconds):
        self.service = service
        self.folder = folder
        self.busy_seconds = busy_seconds

    def prepare(self):
        self.service.wait_for("every pump online with its prices sent", lambda: all(
            p["state"] != "offline" and p["price_state"] == "sent"
            for p in self.service.get("/pumps")), limit=30)
        self.service.wait_for("sale 1 payable", lambda: (self.service.get("/sales/1") or {})
                              .get("state") == "payable", limit=180)

    def run(self, example):
        """'' when the example did what the document says, else what went wrong."""
        for sale in SALE.findall(example.command):
            self.service.wait_for("sale %s closed" % sale, lambda: (
                self.service.get("/sales/" + sale) or {"state": "open"})["state"] != "open",
                limit=180)
        retry_until = time.monotonic() + self.busy_seconds
        while True:
            status, body, curl_code = self.curl(example)
            busy = (status == 409 and example.status is None and PUMP_COMMAND.search(
                example.command) and error_of(body) == "wrong_state")
            if not busy or time.monotonic() > retry_until:
                break
            time.sleep(0.3)
        return self.judge(example, status, body, curl_code)

    def curl(self, example):
        body_file = os.path.join(self.folder, "body")
        command = DEFAULT_ADDRESS.sub(self.service.base, example.command)
        added = "-sS -o %s -w '%%{http_code}'" % shlex.quote(body_file)
        added += " --max-time %d" % (STREAM_SECONDS if example.stream else 60)
        command = re.sub(r"^curl\s", "curl " + added + " ", command)
        if os.path.exists(body_file):
            os.remove(body_file)
        done = subprocess.run(["bash", "-c", command], capture_output=True, text=True,
                              timeout=120)
        body = ""
        if os.path.exists(body_file):
            with open(body_file, encoding="utf-8", errors="replace") as answer:
                body = answer.read()
        status = int(done.stdout.strip()) if done.stdout.strip().isdigit() else 0
        return status, body, (done.returncode, done.stderr.strip())

    def judge(self, example, status, body, curl_code):
        returncode, stderr = curl_code
        if example.stream:
            # A stream is cut by --max-time (curl's 28) unless the service ended it.
            if status != 200 or returncode not in (0, 28):
                return "answered %d, curl %d: %s" % (status, returncode, stderr)
            events = re.findall(r"^event: (\w+)$", body, re.MULTILINE)
            if not events:
                return "no event within %d s: %r" % (STREAM_SECONDS, body[:300])
            return ""
        if returncode != 0:
            return "curl failed (%d): %s" % (returncode, stderr)
        if example.status is not None:
            if status != example.status or error_of(body) != (example.error or error_of(body)):
                return "answered %d %s, the document says %d %s: %s" % (
                    status, error_of(body), example.status, example.error or "", body[:300])
            return ""
        if not 200 <= status < 300:
            return "answered %d: %s" % (status, body[:300])
        try:
            json.loads(body)
        except ValueError:
            return "answered %d with a body that is not JSON: %r" % (status, body[:300])
        return ""


def error_of(body):
    try:
        answer = json.loads(body)
    except ValueError:
        return None
    return answer.get("error") if isinstance(answer, dict) else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--de30d")
    parser.add_argument("--doc", required=True)
    parser.add_argument("--dir")
    parser.add_argument("--speed", default="1", help="the simulated station's --speed")
    parser.add_argument("--busy", type=float, default=120.0,
                        help="seconds a pump command is tried again while the pump is busy")
    parser.add_argument("--list", action="store_true", help="list the examples and stop")
    args = parser.parse_args()

    examples, problems = examples_of(args.doc)
    if args.list:
        for example in examples:
            print(("not run (%s): " % example.not_run if example.not_run else "") + str(example))
        return 0
    if not args.de30d or not args.dir:
        parser.error("--de30d and --dir are needed to run the examples")
    if not examples:
        problems.append("no curl examples found in %s" % args.doc)
    for problem in problems:
        print("FAIL " + problem)

    folder = fresh_folder(args.dir)
    extra = ["--speed", args.speed] if args.speed != "1" else []
    service = De30d(args.de30d, folder, extra)
    failures, ran, skipped = [], 0, []
    started = time.monotonic()
    try:
        runner = Runner(service, folder, args.busy)
        runner.prepare()
        for example in examples:
            if example.not_run is not None:
                skipped.append(example)
                print("not run (%s): %s" % (example.not_run, example), flush=True)
                continue
            if not DEFAULT_ADDRESS.search(example.command):
                went_wrong = ("points elsewhere than http://127.0.0.1:8030: use the default "
                              "address, or mark its block <!-- not run: REASON -->")
            else:
                went_wrong = runner.run(example)
                ran += 1
            print("%s %5.1f s  %s" % ("FAIL" if went_wrong else "ok  ",
                                      time.monotonic() - started, example), flush=True)
            if went_wrong:
                print("     " + went_wrong, flush=True)
                failures.append(example)
    finally:
        code = service.stop()
    print("%d curl examples in %s: %d ran, %d failed, %d marked not run" % (
        len(examples), args.doc, ran, len(failures), len(skipped)))
    if code != 0:
        print("FAIL de30d exited with %s; its log: %s" % (code, service.log.name))
    return 1 if failures or problems or code != 0 else 0


if __name__ == "__main__":
    sys.exit(main())
