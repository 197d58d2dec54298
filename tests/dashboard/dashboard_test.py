#!/usr/bin/env python3
"""The dashboard in a real browser.

Starts de30d on its simulated station (ten times real time, a token for
commands, a journal of its own) and drives the page in headless Chromium:

  - a simulated customer's sale appears on the page and completes there;
  - a lock and a clear made on the page (asking for the token on the first
    401) change the journal file itself; the till's name, markup and all, is
    shown as text;
  - a stop made on a fuelling pump's tile ends its sale early;
  - a price change made on the page reaches the simulated pump: the page shows
    the pump's price state turning to sent, and a later sale's amount, which the
    simulated pump computes from the price it holds, is the new price's;
  - at a phone's width nothing runs off the screen;
  - the page's connection cut (ss -K, where allowed): the page opens the stream
    again after the last event it saw and goes on without reading the state
    again;
  - de30d killed: the page shows the lost connection; started again: the page
    reconnects by itself and reads the state again;
  - fuel that went out while de30d was down (the journal's last totals of pump
    1:2 5 litres below what the pump shows): an alarm in the page's list and a
    banner, until someone marks it seen.

Saves a screenshot of the forecourt at a desktop width (--screenshot).

  dashboard_test.py --de30d PATH --dir DIR [--screenshot FILE] [--keep-open]
"""

import argparse
import contextlib
import json
import os
import select
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
import traceback
import urllib.request

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    sys.exit("dashboard test: python3-selenium is missing (scripts/install-deps.sh installs it)")

TOKEN = "forecourt-7"
# Markup in a name the service hands back must reach the page as text.
CLIENT = 'till-3 <b id="injected">x</b>'
SPEED = "10"
NEW_PRICE = "48.60"  # grade 2, "95": pumps 1:1, 1:2 and 2:3 sell it
OLD_PRICE = "47.20"
DESKTOP = (1280, 1000)

started = time.monotonic()


def say(text):
    print("dashboard: %5.1f s  %s" % (time.monotonic() - started, text), flush=True)


class Service30:
    """de30d on the simulated station; the port of its first run is kept for the next."""

    def __init__(self, binary, folder):
        self.binary = binary
        self.folder = folder
        self.journal = os.path.join(folder, "journal.db")
        self.port = 0
        self.process = None
        self.log = open(os.path.join(folder, "de30d.log"), "a")

    def start(self, limit=30.0):
        deadline = time.monotonic() + limit
        while True:
            self.process = subprocess.Popen(
                [self.binary, "--listen", "127.0.0.1:%d" % self.port, "--journal", self.journal,
                 "--speed", SPEED, "--token", TOKEN],
                stdout=subprocess.PIPE, stderr=self.log, text=True)
            line = self._first_line(deadline)
            if line.startswith("de30d listens on http://127.0.0.1:"):
                self.port = int(line.rsplit(":", 1)[1].split("/")[0])
                return
            # The port of the first run may still be held for a moment after a kill.
            if self.process.poll() is None:
                self.process.kill()
            self.process.wait()
            if time.monotonic() > deadline:
                raise RuntimeError("de30d did not start: %r, see %s" % (line, self.log.name))
            time.sleep(0.2)

    def _first_line(self, deadline):
        ready, _, _ = select.select([self.process.stdout], [], [], max(0.1, deadline - time.monotonic()))
        return self.process.stdout.readline().strip() if ready else ""

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=20)

    def url(self, path=""):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def get(self, path):
        with urllib.request.urlopen(self.url("/api/v1" + path), timeout=10) as answer:
            return json.load(answer)

    def pour_while_down(self, line, pump, litres):
        """The journal as a station finds it whose pump poured while de30d was down:
        the pump's last totals are Litres below what it shows, and its last sale is
        over. The simulated pumps count from zero with every start of de30d."""
        with contextlib.closing(sqlite3.connect(self.journal)) as db:
            db.execute("UPDATE pump_totals SET volume = ?, amount = ? WHERE line = ? AND pump = ?",
                       (-litres, -litres * 50, line, pump))
            db.execute("UPDATE sales SET state = 'cleared', ended_ms = started_ms "
                       "WHERE state = 'open' AND line = ? AND pump = ?", (line, pump))
            db.commit()

    def journal_row(self, sale):
        # Read-only, beside the running service (WAL: readers never block it).
        with contextlib.closing(sqlite3.connect("file:%s?mode=ro" % self.journal, uri=True)) as db:
            return db.execute(
                "SELECT state, locked_by, cleared_ms, volume, amount FROM sales WHERE id = ?",
                (sale,)).fetchone()


def browser():
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--disable-gpu", "--window-size=%d,%d" % DESKTOP, "--lang=en-GB"):
        options.add_argument(argument)
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    return webdriver.Chrome(service=Service(driver_path), options=options)


def wait(driver, what, condition, limit=20.0):
    """Waits for condition(driver) to be truthy and returns it; says what it waited for."""
    try:
        value = WebDriverWait(driver, limit, poll_frequency=0.05).until(condition)
    except TimeoutException:
        raise AssertionError("timed out after %.0f s waiting for %s" % (limit, what)) from None
    say(what)
    return value


def script(source):
    """A wait condition that runs JavaScript on the page and returns its result."""
    return lambda driver: driver.execute_script(source)


def sale_state(driver, sale):
    return driver.execute_script(
        "const r = document.querySelector('#sales tr[data-sale=\"' + arguments[0] + '\"]');"
        "return r ? r.dataset.state : null;", sale)


def sale_cells(driver, sale):
    return driver.execute_script(
        "const r = document.querySelector('#sales tr[data-sale=\"' + arguments[0] + '\"]');"
        "if (!r) return null; const o = {};"
        "for (const c of r.cells) if (c.dataset.label) o[c.dataset.label] = c.textContent;"
        "o.flags = r.querySelector('.flags').textContent; return o;", sale)


def hundredths(text):
    return int(round(float(text) * 100))


def press(driver, selector):
    """Clicks the element in place. Rows and tiles move while sales come and go: a
    click by position could land on whatever moved under it in the meantime."""
    element = driver.find_element(By.CSS_SELECTOR, selector)
    driver.execute_script("arguments[0].scrollIntoView({block: 'center'}); arguments[0].click();",
                          element)


def give_token(driver, token, why, says):
    wait(driver, "the token dialog (%s)" % why,
         script("return document.getElementById('token-dialog').open"))
    told = driver.find_element(By.ID, "token-why").text
    assert says in told, told
    field = driver.find_element(By.ID, "token-input")
    field.clear()
    field.send_keys(token)
    driver.find_element(By.ID, "token-send").click()


def run(args):
    os.makedirs(args.dir, exist_ok=True)
    for name in ("journal.db", "journal.db-wal", "journal.db-shm", "de30d.log"):
        if os.path.exists(os.path.join(args.dir, name)):
            os.remove(os.path.join(args.dir, name))
    service = Service30(args.de30d, args.dir)
    service.start()
    say("de30d listens on port %d" % service.port)
    driver = browser()
    try:
        check_page(driver, service, args)
    except BaseException:
        report(driver, service)
        raise
    finally:
        if not args.keep_open:
            driver.quit()
        if service.process.poll() is None:
            service.process.kill()
            service.process.wait()


def check_page(driver, service, args):
    driver.get(service.url("/"))
    wait(driver, "the page live", script("return document.body.dataset.connection === 'live'"))
    # Marks this page: a reload would lose it, so seeing it at the end proves
    # every update came through the stream.
    driver.execute_script("window.de30TestMark = 'kept';")
    assert driver.title.endswith("de30 forecourt"), driver.title
    assert driver.find_element(By.ID, "station-name").text == "de30-simulated"
    tiles = driver.find_elements(By.CSS_SELECTOR, "#pumps .pump")
    assert [t.get_attribute("data-pump") for t in tiles] == ["1:1", "1:2", "2:3"]
    lines = driver.find_elements(By.CSS_SELECTOR, "#lines li")
    assert [r.get_attribute("data-line") for r in lines] == ["1", "2"]
    polls = "return Number(document.querySelector('#lines li[data-line=\"2\"] .polls').textContent)"
    counted = driver.execute_script(polls)
    wait(driver, "line 2's health updated live", lambda d: d.execute_script(polls) > counted)
    assert "Last error: none" in driver.find_element(By.CSS_SELECTOR, "#lines li[data-line=\"1\"]").text
    check_resume(driver, service)
    foreign = driver.execute_script(
        "return performance.getEntriesByType('resource').map(e => e.name)"
        ".filter(n => !n.startsWith(location.origin));")
    assert foreign == [], "the page loaded something from elsewhere: %s" % foreign
    driver.find_element(By.ID, "client").clear()
    driver.find_element(By.ID, "client").send_keys(CLIENT + "\t")

    # A customer's sale appears open and completes, live.
    sale = wait(driver, "a sale filling on the page", script(
        "const r = document.querySelector('#sales tr[data-state=\"open\"]');"
        "return r ? Number(r.dataset.sale) : null;"))
    pump = sale_cells(driver, sale)["Pump"]
    volume = "return Number(document.querySelector('#pumps .pump[data-pump=\"%s\"] .volume').textContent)" % pump
    first = driver.execute_script(volume)
    wait(driver, "pump %s's litres growing on its tile" % pump, lambda d: d.execute_script(volume) > first)
    wait(driver, "sale %d payable on the page" % sale, lambda d: sale_state(d, sale) == "payable")
    shown = sale_cells(driver, sale)
    kept = service.get("/sales/%d" % sale)
    assert hundredths(shown["Litres"]) == hundredths(str(kept["volume"])), (shown, kept)
    assert hundredths(shown["Amount"]) == hundredths(str(kept["amount"])), (shown, kept)

    # Lock: the service wants the token; a wrong one is refused and asked again.
    press(driver, "#sales tr[data-sale=\"%d\"] button.lock" % sale)
    give_token(driver, "not-the-token", "first command", "need the service's bearer token")
    give_token(driver, TOKEN, "after a wrong token", "refused that token")
    wait(driver, "sale %d locked on the page" % sale, lambda d: sale_state(d, sale) == "locked")
    badge = driver.find_element(By.CSS_SELECTOR, "#sales tr[data-sale=\"%d\"] .badge" % sale).text
    assert badge == "Locked by " + CLIENT, badge
    assert driver.execute_script("return document.getElementById('injected')") is None
    row = service.journal_row(sale)
    assert row[0] == "locked" and row[1] == CLIENT, row
    say("the journal holds sale %d locked by %s" % (sale, CLIENT))
    assert driver.execute_script("return sessionStorage.getItem('de30.token')") == TOKEN
    # Clear: the token is kept for the tab, no dialog this time.
    press(driver, "#sales tr[data-sale=\"%d\"] button.clear" % sale)
    wait(driver, "sale %d cleared on the page" % sale, lambda d: sale_state(d, sale) == "cleared")
    assert not driver.execute_script("return document.getElementById('token-dialog').open")
    row = service.journal_row(sale)
    assert row[0] == "cleared" and row[1] == CLIENT and row[2] > 0, row
    say("the journal holds sale %d cleared" % sale)
    driver.find_element(By.ID, "client").clear()
    driver.find_element(By.ID, "client").send_keys("till-3\t")

    # Stop on a tile early in its fill: the sale ends well before its tank is full.
    early = wait(driver, "a pump early in its fill", script(
        "for (const t of document.querySelectorAll('#pumps .pump[data-state=\"fuelling\"]')) {"
        "  const v = Number(t.querySelector('.volume').textContent);"
        "  if (v > 0 && v < 4) return [t.dataset.pump, Number(t.querySelector('.sale').textContent.replace('Sale ', ''))]; }"
        "return null;"), limit=25)
    press(driver, "#pumps .pump[data-pump=\"%s\"] button.stop" % early[0])
    stopped = early[1]
    wait(driver, "sale %d ended by the stop" % stopped,
         lambda d: sale_state(d, stopped) == "payable" and "stopped" in sale_cells(d, stopped)["flags"])
    assert float(sale_cells(driver, stopped)["Litres"]) < 10.0, sale_cells(driver, stopped)

    # A price change from the page, made while pumps fuel, so that some wait for it.
    wait(driver, "two pumps fuelling", script(
        "return document.querySelectorAll('#pumps .pump[data-state=\"fuelling\"]').length >= 2"), limit=25)
    price = driver.find_element(By.CSS_SELECTOR, "#prices input[data-grade=\"2\"]")
    price.send_keys(NEW_PRICE)
    driver.find_element(By.ID, "send-prices").click()
    confirm = WebDriverWait(driver, 5).until(expected_conditions.alert_is_present())
    assert "47.20 → " + NEW_PRICE in confirm.text, confirm.text
    confirm.accept()
    wait(driver, "the station's price of grade 2 at " + NEW_PRICE, script(
        "return document.querySelector('#prices tr[data-grade=\"2\"] .current').textContent === '%s'" % NEW_PRICE))
    held = driver.execute_script(
        "return [...document.querySelectorAll('#pump-prices li[data-price-state=\"pending\"]')]"
        ".map(li => li.dataset.pump)")
    say("pumps waiting for their prices: %s" % (", ".join(held) or "none"))
    save_screenshot(driver, args.screenshot)

    wait(driver, "pump 1:1's price state sent with " + NEW_PRICE, script(
        "const li = document.querySelector('#pump-prices li[data-pump=\"1:1\"]');"
        "return li.dataset.priceState === 'sent' && li.querySelector('.list').textContent === '%s';" % NEW_PRICE),
        limit=25)
    # A sale of pump 1:1 priced at the new price opened after the pump took it.
    # Its amount is the pump's own: the simulated pump multiplies by what it holds.
    later = wait(driver, "a sale of pump 1:1 at the new price, payable", script(
        "for (const r of document.querySelectorAll('#sales tr[data-state=\"payable\"]'))"
        "  if (r.querySelector('[data-label=Pump]').textContent === '1:1' &&"
        "      r.querySelector('[data-label=Price]').textContent === '%s') return Number(r.dataset.sale);"
        "return null;" % NEW_PRICE), limit=30)
    cells = sale_cells(driver, later)
    litres = hundredths(cells["Litres"])
    amount = hundredths(cells["Amount"])
    assert litres > 0, cells
    assert amount == (litres * hundredths(NEW_PRICE) + 50) // 100, cells
    assert amount != (litres * hundredths(OLD_PRICE) + 50) // 100, cells
    row = service.journal_row(later)
    assert (hundredths(str(row[3])), hundredths(str(row[4]))) == (litres, amount), (row, cells)
    say("sale %d: %.2f l for %.2f, as the pump computes at %s" % (later, litres / 100, amount / 100, NEW_PRICE))

    # A phone's width: one column, nothing wider than the screen.
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 390, "height": 844, "deviceScaleFactor": 2, "mobile": True})
    overflow = wait(driver, "the phone layout", script(
        "return window.innerWidth === 390 ? document.documentElement.scrollWidth : null"))
    assert overflow <= 390, "the page is %d px wide on a 390 px phone" % overflow
    tiles = driver.find_elements(By.CSS_SELECTOR, "#pumps .pump")
    assert len({t.location["x"] for t in tiles}) == 1, "pump tiles side by side on a phone"
    if args.screenshot:
        driver.save_screenshot(os.path.splitext(args.screenshot)[0] + "-phone.png")
    driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    # Nothing went wrong in the page so far (the 401s and the cut connections
    # were asked for).
    problems = [e for e in driver.get_log("browser")
                if e["level"] == "SEVERE" and "401" not in e["message"]
                and "ERR_CONNECTION_RESET" not in e["message"]]
    assert problems == [], problems

    # The service dies: the page says so.
    service.kill()
    say("de30d killed")
    wait(driver, "the lost connection shown", script(
        "return document.body.dataset.connection === 'lost' &&"
        " !document.getElementById('lost-banner').hidden"))
    assert driver.find_element(By.ID, "connection").text == "Connection lost"
    newest = driver.execute_script(
        "return Math.max(...[...document.querySelectorAll('#sales tr')].map(r => Number(r.dataset.sale)))")
    assert driver.find_element(By.ID, "alarm-banner").get_attribute("hidden") is not None
    service.pour_while_down(1, 2, 5.0)
    # It comes back: the page reconnects by itself and reads the state again.
    service.start()
    say("de30d started again on port %d" % service.port)
    wait(driver, "the page live again", script(
        "return document.body.dataset.connection === 'live' &&"
        " document.getElementById('lost-banner').hidden"), limit=30)
    assert sale_state(driver, sale) == "cleared"
    wait(driver, "a new sale after the restart", script(
        "return [...document.querySelectorAll('#sales tr')].some(r => Number(r.dataset.sale) > %d)" % newest),
        limit=25)
    assert driver.execute_script("return window.de30TestMark") == "kept", "the page was reloaded"

    # The fuel poured while de30d was down: an alarm, with a banner until seen.
    alarm = wait(driver, "the alarm of pump 1:2 in the list", script(
        "for (const li of document.querySelectorAll('#alarms li'))"
        "  if (li.textContent.includes('pump 1:2')) return li.textContent;"
        "return null;"), limit=30)
    kept = [a for a in service.get("/alarms") if a["pump"] == "1:2"]
    assert len(kept) == 1 and kept[0]["kind"] == "totals_moved" and kept[0]["volume"] == 5.0, kept
    assert "5.00 l" in alarm and "fuel without a sale" in alarm, alarm
    banner = driver.find_element(By.ID, "alarm-banner")
    assert banner.get_attribute("hidden") is None, "no banner for a new alarm"
    press(driver, "#alarm-seen")
    wait(driver, "the banner gone once the alarm is marked seen", script(
        "return document.getElementById('alarm-banner').hidden"))
    assert driver.find_elements(By.CSS_SELECTOR, "#alarms li"), "the alarm stays in the list"
    code = service.stop()
    assert code == 0, "de30d exited with %d on SIGTERM" % code
    say("de30d stopped cleanly")


def check_resume(driver, service):
    """The page's connections cut under it: it opens the stream again after the last
    event it saw and carries on, without reading the whole state again."""
    reads = "return performance.getEntriesByType('resource').filter(e => e.name.endsWith('/api/v1/pumps')).length"
    before = driver.execute_script(reads)
    cut = subprocess.run(["ss", "-K", "state", "established", "sport", "=", ":%d" % service.port],
                         capture_output=True, text=True)
    if cut.returncode != 0:
        say("connections not cut (ss -K: %s); the resume is not checked" % cut.stderr.strip())
        return
    wait(driver, "the cut connection noticed", script("return document.body.dataset.connection === 'lost'"))
    wait(driver, "the page live again after the cut", script(
        "return document.body.dataset.connection === 'live'"), limit=20)
    polls = "return Number(document.querySelector('#lines li[data-line=\"1\"] .polls').textContent)"
    counted = driver.execute_script(polls)
    wait(driver, "line 1's health updated after the cut", lambda d: d.execute_script(polls) > counted)
    assert driver.execute_script(reads) == before, "the state was read again"
    service.log.flush()
    with open(service.log.name) as log:
        text = log.read()
    assert "event stream resumed after " in text, "no resumed stream in de30d's log"
    assert "reset, the client reads the state again" not in text


def save_screenshot(driver, path):
    """The whole page at the desktop width, as one picture."""
    if not path:
        return
    height = driver.execute_script("return document.documentElement.scrollHeight")
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": DESKTOP[0], "height": min(max(height, DESKTOP[1]), 2000),
                            "deviceScaleFactor": 1, "mobile": False})
    driver.save_screenshot(path)
    driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
    say("screenshot: %s" % path)


def report(driver, service):
    print("---- what went wrong", file=sys.stderr)
    traceback.print_exc()
    try:
        print("---- the page's text\n" + driver.execute_script("return document.body.innerText"),
              file=sys.stderr)
        print("---- the browser's console", file=sys.stderr)
        for entry in driver.get_log("browser"):
            print("%s %s" % (entry["level"], entry["message"]), file=sys.stderr)
    except Exception as error:  # the browser itself may be gone
        print("(the browser cannot tell: %s)" % error, file=sys.stderr)
    print("---- de30d's log (last lines): " + service.log.name, file=sys.stderr)
    service.log.flush()
    with open(service.log.name) as log:
        print("".join(log.readlines()[-40:]), file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--de30d", required=True)
    parser.add_argument("--dir", required=True, help="folder for the journal and de30d's log")
    parser.add_argument("--screenshot", help="where to save the desktop screenshot (PNG)")
    parser.add_argument("--keep-open", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    run(args)
    say("passed")


if __name__ == "__main__":
    main()
