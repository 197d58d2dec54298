"""de30d as a process on its embedded simulated station, for the tests that drive
it from outside: a journal of its own in a fresh folder, a free port read from
the first line it prints, its log kept beside the journal."""

import json
import os
import select
import shutil
import signal
import subprocess
import time
import urllib.error
import urllib.request


def fresh_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


class De30d:
    def __init__(self, binary, folder, extra=()):
        self.folder = folder
        self.journal = os.path.join(folder, "journal.db")
        self.log = open(os.path.join(folder, "de30d.log"), "a")
        self.process = subprocess.Popen(
            [binary, "--listen", "127.0.0.1:0", "--journal", self.journal, *extra],
            stdout=subprocess.PIPE, stderr=self.log, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], 30)
        first = self.process.stdout.readline().strip() if ready else ""
        prefix = "de30d listens on http://127.0.0.1:"
        if not first.startswith(prefix):
            self.stop()
            raise RuntimeError("de30d did not start (%r); its log: %s" % (first, self.log.name))
        self.port = int(first[len(prefix):].split("/")[0])
        self.base = "http://127.0.0.1:%d" % self.port

    def get(self, path):
        """The JSON of GET /api/v1PATH, or None when the service says 404."""
        try:
            with urllib.request.urlopen(self.base + "/api/v1" + path, timeout=10) as answer:
                return json.load(answer)
        except urllib.error.HTTPError as error:
            if error.code == 404:
                return None
            raise

    def wait_for(self, what, test, limit=60.0):
        """Polls test() until it gives something true; raises naming what after limit."""
        deadline = time.monotonic() + limit
        while True:
            result = test()
            if result:
                return result
            if time.monotonic() > deadline:
                raise RuntimeError("gave up after %.0f s waiting for %s" % (limit, what))
            time.sleep(0.2)

    def stop(self):
        """SIGTERM, then its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        return self.process.returncode
