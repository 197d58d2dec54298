#!/usr/bin/env python3
"""A fleet of stations and the head office, every part real and on loopback.

N de30d processes on their simulated stations (sped up), each with an uplink to
one Mosquitto broker; two de30-office ingest processes on one shared
subscription; one PostgreSQL in a folder of the test's own. In the middle of the
run the broker is restarted once and one ingest process is killed (SIGKILL) and
started again. Then every de30d is stopped and started again without customers
until its journal has nothing left to send. At the end, every closed sale of
every station's journal must be in PostgreSQL exactly once with the journal's
figures, every journal must show it uploaded, and nothing may be kept aside as
a conflict.

Exit 0: passed; 1: failed; 77: skipped (no broker or no PostgreSQL here, said
why). With --report FILE the figures of the run are written as JSON: sales per
second ingested, the delay from a sale's end to its commit at the office
(median, p99), and each de30d's memory.

The suite runs the short form (5 stations, 45 s of sales); scripts/fleet.sh the
long one (docs/office.md).
"""

import argparse
import json
import os
import pwd
import shutil
import signal
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

SKIP = 77


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return True
        time.sleep(0.05)
    return False


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", flush=True)


class Postgres:
    def __init__(self):
        self.bin = next((d for d in ("/usr/lib/postgresql/15/bin", "/usr/lib/postgresql/16/bin")
                         if os.access(os.path.join(d, "initdb"), os.X_OK)), None)
        self.folder = tempfile.mkdtemp(prefix="de30-fleet-pg-")
        self.port = free_port()
        self.running = False

    def _run(self, *args):
        command = [os.path.join(self.bin, args[0]), *args[1:]]
        if os.geteuid() == 0:
            # PostgreSQL refuses to run as root.
            command = ["runuser", "-u", "nobody", "--", *command]
        return subprocess.run(command, capture_output=True, text=True)

    def start(self):
        """None once running; else why it cannot."""
        if self.bin is None:
            return "PostgreSQL is not installed (scripts/install-deps.sh installs it)"
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chown(self.folder, nobody.pw_uid, nobody.pw_gid)
        data = os.path.join(self.folder, "data")
        if not os.path.exists(data):
            made = self._run("initdb", "-D", data, "-U", "postgres", "--auth=trust", "-E", "UTF8",
                             "--no-locale", "--no-sync")
            if made.returncode != 0:
                return "initdb failed: " + made.stdout + made.stderr
        started = self._run("pg_ctl", "-D", data, "-l", os.path.join(self.folder, "server.log"),
                            "-w", "-t", "60", "-o",
                            f"-c listen_addresses=127.0.0.1 -p {self.port} "
                            f"-c unix_socket_directories={self.folder} -c max_connections=50",
                            "start")
        if started.returncode != 0:
            return "pg_ctl start failed: " + started.stdout + started.stderr
        self.running = True
        made = self.psql("CREATE DATABASE de30", database="postgres")
        return None if made is not None else "the server takes no connection"

    def stop(self):
        if self.running:
            self._run("pg_ctl", "-D", os.path.join(self.folder, "data"), "-m", "fast", "-w", "stop")
            self.running = False
        shutil.rmtree(self.folder, ignore_errors=True)

    def conninfo(self, database="de30"):
        return f"host=127.0.0.1 port={self.port} user=postgres dbname={database}"

    def psql(self, sql, database="de30"):
        done = subprocess.run(["psql", "-X", "-At", "-F", "\t", "-v", "ON_ERROR_STOP=1",
                               self.conninfo(database), "-c", sql],
                              capture_output=True, text=True)
        if done.returncode != 0:
            log("psql: " + done.stderr.strip())
            return None
        return [line.split("\t") for line in done.stdout.splitlines()]


class Broker:
    def __init__(self, folder):
        self.folder = folder
        self.port = free_port()
        self.process = None
        with open(os.path.join(folder, "mosquitto.conf"), "w") as conf:
            conf.write(f"user {pwd.getpwuid(os.geteuid()).pw_name}\n"
                       f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                       f"max_queued_messages 100000\n"
                       f"log_dest file {os.path.join(folder, 'mosquitto.log')}\n")

    def start(self):
        self.process = subprocess.Popen([shutil.which("mosquitto") or "/usr/sbin/mosquitto", "-c",
                                         os.path.join(self.folder, "mosquitto.conf")],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return wait_port(self.port, 10)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


def stop(process, timeout=20):
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def journal_sales(path):
    db = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return db.execute("SELECT id, line, pump, nozzle, grade, price, volume, amount, uploaded "
                          "FROM sales WHERE state <> 'open'").fetchall()
    finally:
        db.close()


def journal_backlog(path):
    return sum(1 for sale in journal_sales(path) if sale[8] == 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--de30d", required=True)
    parser.add_argument("--office", required=True)
    parser.add_argument("--stations", type=int, default=5)
    parser.add_argument("--seconds", type=int, default=45, help="how long the customers buy")
    parser.add_argument("--speed", type=int, default=50, help="the simulated stations' speed")
    parser.add_argument("--drain", type=int, default=90,
                        help="the most seconds for the journals to be sent once sales stop")
    parser.add_argument("--dir", help="where the run's files go (default: a temporary folder)")
    parser.add_argument("--report", help="write the run's figures to this JSON file")
    args = parser.parse_args()

    if not (shutil.which("mosquitto") or os.access("/usr/sbin/mosquitto", os.X_OK)):
        print("SKIP: mosquitto is not installed")
        return SKIP
    if not shutil.which("psql"):
        print("SKIP: psql (PostgreSQL's client) is not installed")
        return SKIP
    folder = args.dir or tempfile.mkdtemp(prefix="de30-fleet-")
    os.makedirs(folder, exist_ok=True)
    pg = Postgres()
    why = pg.start()
    if why:
        pg.stop()
        print("SKIP: PostgreSQL cannot be started here: " + why)
        return SKIP

    broker = Broker(folder)
    stations, offices = {}, {}
    failures = []
    try:
        if not broker.start():
            failures.append("the broker did not start")
            return 1
        office_conf = os.path.join(folder, "office.toml")
        with open(office_conf, "w") as conf:
            conf.write(f"[broker]\naddress = \"127.0.0.1:{broker.port}\"\ngroup = \"fleet\"\n"
                       "topic_prefix = \"fleet\"\n"
                       f"[database]\nconninfo = \"{pg.conninfo()}\"\n")
        init = subprocess.run([args.office, "--config", office_conf, "--init"],
                              capture_output=True, text=True)
        if init.returncode != 0:
            failures.append("de30-office --init failed: " + init.stderr)
            return 1

        def start_office(name):
            offices[name] = subprocess.Popen(
                [args.office, "--config", office_conf, "--client-id", name],
                stdout=subprocess.DEVNULL,
                stderr=open(os.path.join(folder, name + ".log"), "a"))

        def start_station(name, customers=True):
            command = [args.de30d, "--uplink", os.path.join(folder, name + ".toml"),
                       "--journal", os.path.join(folder, name + ".db"),
                       "--listen", "127.0.0.1:0", "--speed", str(args.speed),
                       "--log-level", "warn"]
            if not customers:
                command.append("--no-customers")
            stations[name] = subprocess.Popen(
                command, stdout=subprocess.DEVNULL,
                stderr=open(os.path.join(folder, name + ".log"), "a"))

        for office in ("office-a", "office-b"):
            start_office(office)
        names = [f"st-{i:03d}" for i in range(1, args.stations + 1)]
        for name in names:
            with open(os.path.join(folder, name + ".toml"), "w") as conf:
                conf.write(f"[station]\nid = \"{name}\"\n[uplink]\n"
                           f"broker = \"127.0.0.1:{broker.port}\"\ntopic = \"fleet/{name}\"\n"
                           "ack_timeout_s = 3\n")
        time.sleep(1)
        started = time.time()
        for name in names:
            start_station(name)
        log(f"{len(names)} stations, 2 ingest processes, broker on {broker.port}, "
            f"PostgreSQL on {pg.port}; sales for {args.seconds} s at speed {args.speed}")

        restarted = killed = False
        memory = {}
        while time.time() - started < args.seconds:
            elapsed = time.time() - started
            if not restarted and elapsed >= args.seconds / 3:
                log("the broker restarts")
                broker.stop()
                time.sleep(2)
                if not broker.start():
                    failures.append("the broker did not start again")
                    return 1
                restarted = True
            if not killed and elapsed >= 2 * args.seconds / 3:
                log("office-b is killed, and started again 5 s later")
                offices["office-b"].kill()
                offices["office-b"].wait()
                time.sleep(5)
                start_office("office-b")
                killed = True
            time.sleep(0.5)
        for name in names:
            memory[name] = rss_kib(stations[name].pid)
        ended = time.time()

        log("sales stop: every de30d restarts without customers to send what waits")
        for name in names:
            stop(stations[name])
            if stations[name].returncode != 0:
                failures.append(f"{name} exited {stations[name].returncode}")
        # A sale open when its de30d stopped is recovered at the next start and
        # may close only then, or as it stops again: rounds until, once
        # stopped, no journal has a closed sale left to send.
        deadline = time.time() + args.drain
        for _ in range(4):
            for name in names:
                start_station(name, customers=False)
            while time.time() < deadline:
                if all(journal_backlog(os.path.join(folder, n + ".db")) == 0 for n in names):
                    break
                time.sleep(0.5)
            for name in names:
                stop(stations[name])
            if all(journal_backlog(os.path.join(folder, n + ".db")) == 0 for n in names):
                break
        drained = time.time()
        for office in offices.values():
            stop(office)

        # Every closed sale of every journal, once, with its figures; and marked.
        stored = {}
        for row in pg.psql("SELECT station, sale_id, pump, nozzle, grade, price, volume, amount "
                           "FROM sales") or []:
            stored[(row[0], int(row[1]))] = row[2:]
        total = 0
        for name in names:
            sales = journal_sales(os.path.join(folder, name + ".db"))
            total += len(sales)
            if not sales:
                failures.append(f"{name}: no sale closed")
            for (sale_id, line, pump, nozzle, grade, price, volume, amount, uploaded) in sales:
                key = (name, sale_id)
                expected = [f"{line}:{pump}", str(nozzle), str(grade), f"{price:.2f}",
                            f"{volume:.2f}", f"{amount:.2f}"]
                if key not in stored:
                    failures.append(f"{name} sale {sale_id} is not at the office")
                elif stored[key] != expected:
                    failures.append(f"{name} sale {sale_id}: office {stored[key]}, "
                                    f"journal {expected}")
                if uploaded != 1:
                    failures.append(f"{name} sale {sale_id} is not marked uploaded")
            extra = [k for k in stored if k[0] == name and k[1] not in {s[0] for s in sales}]
            if extra:
                failures.append(f"{name}: the office has sales the journal has not: {extra[:5]}")
        problems = pg.psql("SELECT COUNT(*) FROM sale_problems")
        if not problems or problems[0][0] != "0":
            failures.append(f"sale_problems holds {problems}")
        if len(stored) != total:
            failures.append(f"{len(stored)} sales at the office, {total} closed in the journals")
        by_ingest = pg.psql("SELECT ingested_by, COUNT(*) FROM sales GROUP BY 1 ORDER BY 1") or []
        delay = pg.psql("SELECT percentile_cont(0.5) WITHIN GROUP (ORDER BY d), "
                        "percentile_cont(0.99) WITHIN GROUP (ORDER BY d), COUNT(*) FROM "
                        "(SELECT EXTRACT(EPOCH FROM received_at - ended) * 1000 AS d FROM sales "
                        f"WHERE ended < to_timestamp({ended})) AS live") or [["0", "0", "0"]]
        rate = pg.psql("SELECT COUNT(*) FROM sales WHERE received_at BETWEEN "
                       f"to_timestamp({started}) AND to_timestamp({ended})") or [["0"]]
        rss = [v for v in memory.values() if v]
        figures = {
            "stations": len(names),
            "seconds": round(ended - started, 1),
            "sales": total,
            "ingested_per_second": round(int(rate[0][0]) / (ended - started), 1),
            "delay_ms_median": round(float(delay[0][0] or 0), 1),
            "delay_ms_p99": round(float(delay[0][1] or 0), 1),
            "drain_seconds": round(drained - ended, 1),
            "de30d_rss_mib_mean": round(statistics.mean(rss) / 1024, 1) if rss else None,
            "de30d_rss_mib_max": round(max(rss) / 1024, 1) if rss else None,
            "by_ingest": {row[0]: int(row[1]) for row in by_ingest},
        }
        log("figures: " + json.dumps(figures))
        if args.report:
            with open(args.report, "w") as report:
                json.dump(figures, report, indent=2)
        if len(figures["by_ingest"]) < 2:
            failures.append(f"one ingest process took every sale: {figures['by_ingest']}")
    finally:
        for process in list(stations.values()) + list(offices.values()):
            stop(process, 5)
        broker.stop()
        pg.stop()
        for failure in failures[:50]:
            print("FAIL: " + failure)
        if len(failures) > 50:
            print(f"FAIL: ... and {len(failures) - 50} more")
        if failures:
            print(f"(the run's files are in {folder})")
        elif not args.dir:
            shutil.rmtree(folder, ignore_errors=True)
    print("fleet: " + ("1 failed" if failures else "every sale once at the office, every one marked"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
