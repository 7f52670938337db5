#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Drives headless Chromium over the DevTools protocol (standard library only) against the live
page of a running linewatchd: first event shown at 390x844 and 1280x800 with the figures of
/status.json, nothing wider than 360 px, "reconnecting" once the router simulator stops, the
figures of another simulator followed, and no console errors or exceptions.

Usage: live_browser.py CHROMIUM WEB_PORT OUT_DIR SIM_PID SIMULATOR SCRIPT_B ROUTER_PORT
Prints one line per step; exits 1 with the reason on the first failure.

       live_browser.py --screenshot CHROMIUM WEB_PORT OUT_DIR
Writes live-390-light.png, live-390-dark.png, live-1280-light.png and live-1280-dark.png (the whole
page, dark through the emulated prefers-color-scheme) into OUT_DIR once the first figures show.

       live_browser.py --timing CHROMIUM WEB_PORT OUT_DIR RUNS
Prints, for RUNS fresh navigations at 1280x800, the milliseconds from navigation start (Chromium's
performance timing) until the first event's figures were on the page."""
import base64, http.client, json, os, signal, socket, struct, subprocess, sys, time

mode = "check"
if sys.argv[1] in ("--screenshot", "--timing"):
    mode = sys.argv.pop(1)[2:]
browser, web_port, out_dir = sys.argv[1:4]
if mode == "check":
    sim_pid, simulator, script_b, router_port = sys.argv[4:8]
base = f"http://127.0.0.1:{web_port}"
# Bounds for a busy machine: each is at least ten times what a quiet run takes.
STEP_S = 45


def fail(message):
    print(f"live browser check failed: {message}", file=sys.stderr)
    sys.exit(1)


class DevTools:
    """One WebSocket to a page target; replies matched by id, events kept for inspection."""

    def __init__(self, url):
        host, rest = url[len("ws://"):].split("/", 1)
        name, port = host.split(":")
        self.sock = socket.create_connection((name, int(port)), timeout=STEP_S)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET /{rest} HTTP/1.1\r\nHost: {host}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                fail("DevTools handshake")
            head += chunk
        if b" 101 " not in head.split(b"\r\n")[0]:
            fail("DevTools handshake: " + head.decode(errors="replace"))
        self.next_id = 0
        self.events = []

    def _recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                fail("DevTools connection closed")
            data += chunk
        return data

    def _read_message(self):
        message = b""
        while True:
            b0, b1 = self._recv_exact(2)
            length = b1 & 0x7F
            if length == 126:
                length = struct.unpack(">H", self._recv_exact(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self._recv_exact(8))[0]
            payload = self._recv_exact(length)
            if b0 & 0x0F in (0x1, 0x0):
                message += payload
                if b0 & 0x80:
                    return json.loads(message)

    def call(self, method, **params):
        self.next_id += 1
        data = json.dumps({"id": self.next_id, "method": method, "params": params}).encode()
        mask = os.urandom(4)
        header = bytes([0x81])
        if len(data) < 126:
            header += bytes([0x80 | len(data)])
        else:
            header += bytes([0x80 | 126]) + struct.pack(">H", len(data))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))
        while True:
            message = self._read_message()
            if message.get("id") == self.next_id:
                if "error" in message:
                    fail(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            fail(f"evaluating {expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def errors(self):
        found = []
        for e in self.events:
            method, params = e.get("method"), e.get("params", {})
            if method == "Runtime.exceptionThrown":
                found.append(json.dumps(params["exceptionDetails"])[:300])
            elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                found.append(json.dumps(params.get("args"))[:300])
            elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
                found.append(params["entry"].get("text", "")[:300])
        return found


def status_json():
    connection = http.client.HTTPConnection("127.0.0.1", int(web_port), timeout=10)
    connection.request("GET", "/status.json")
    return json.loads(connection.getresponse().read())


def wait_for(what, predicate):
    deadline = time.monotonic() + STEP_S
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.2)
    fail(f"timed out waiting for {what}")


# What the page shows for the figures the check compares, read from its elements.
SHOWN = """(() => { try {
  const t = (id) => (document.getElementById(id) || {textContent: ''}).textContent;
  const n = (id) => t(id).replace(/[^0-9]/g, '');
  const a = (sel, name) => { const e = document.querySelector(sel); return e ? e.getAttribute(name) || '' : ''; };
  const conn = document.getElementById('conn');
  return {state: conn ? conn.dataset.state || '' : '', b1tx: n('B1-tx'), b1rx: n('B1-rx'),
          b1errors: n('B1-errors'), b1speed: n('B1-speed'), b2tx: n('B2-tx'), name: t('router-name'),
          ethSent: n('eth-sent'), gauge: a('#B1 .gauge', 'aria-valuenow'),
          points: a('#B1 polyline', 'points').split(' ').filter(Boolean).length,
          scroll: document.documentElement.scrollWidth,
          widest: Math.max(...[...document.querySelectorAll('body *')].map((e) => e.getBoundingClientRect().right))};
} catch (e) { return {state: ''}; } })()"""


def expected(status):
    b1, b2 = status["channels"]
    return {"b1tx": str(b1["tx"]), "b1rx": str(b1["rx"]), "b1errors": str(b1["errors"]),
            "b1speed": str(b1["speed_kbps"]), "b2tx": str(b2["tx"]), "name": status["router"]["name"],
            "ethSent": str(status["ethernet"]["sent"]), "gauge": str(b1["alu"])}


def shows(page, status):
    shown = page.evaluate(SHOWN)
    want = expected(status)
    return all(shown.get(k) == v for k, v in want.items()) and shown["state"] == "status_screen", shown


def run_check(page):
    for width, height, mobile in ((390, 844, True), (1280, 800, False)):
        page.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1, mobile=mobile)
        started = time.monotonic()
        page.call("Page.navigate", url=f"{base}/live")
        ok, shown = wait_for(f"the first event's figures at {width}x{height}",
                             lambda: (lambda r: r if r[0] else None)(shows(page, status_json())))
        if shown["points"] < 2:
            fail(f"no usage graph at {width}: {shown}")
        print(f"{width}x{height}: first figures after {time.monotonic() - started:.2f} s")

    page.call("Emulation.setDeviceMetricsOverride", width=360, height=740, deviceScaleFactor=1, mobile=True)
    shown = wait_for("the layout at 360 px", lambda: (lambda s: s if s.get("scroll", 9999) <= 360 else None)(page.evaluate(SHOWN)))
    if shown["widest"] > 360.5:
        fail(f"an element reaches {shown['widest']} px at 360 px")
    print("360 px: nothing wider than the viewport")

    os.kill(int(sim_pid), signal.SIGTERM)
    wait_for("\"reconnecting\" after the simulator stopped",
             lambda: page.evaluate(SHOWN)["state"] == "reconnecting" and
             "econnect" in page.evaluate("document.getElementById('conn').textContent"))
    print("simulator stopped: the page says reconnecting")

    sim_b = subprocess.Popen([simulator, "--port", router_port, "--script", script_b],
                             stdout=open(os.path.join(out_dir, "sim-b.out"), "w"), stderr=subprocess.STDOUT)
    try:
        status_b = wait_for("the monitor on the second simulator",
                            lambda: (lambda s: s if s["connection"]["state"] == "status_screen" and
                                     s["channels"][0]["tx"] != 0 else None)(status_json()))
        seen_at = time.monotonic()
        wait_for("the page following the second simulator's figures",
                 lambda: shows(page, status_json())[0])
        print(f"followed the change {time.monotonic() - seen_at:.2f} s after /status.json had it")
    finally:
        sim_b.terminate()
        sim_b.wait()

    errors = page.errors()
    if errors:
        fail("console errors: " + "; ".join(errors))
    shot = page.call("Page.captureScreenshot", format="png")
    with open(os.path.join(out_dir, "live.png"), "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    print("no console errors")


def run_screenshots(page):
    for width, height, mobile in ((390, 844, True), (1280, 800, False)):
        for scheme in ("light", "dark"):
            page.call("Emulation.setDeviceMetricsOverride", width=width, height=height, deviceScaleFactor=1,
                      mobile=mobile)
            page.call("Emulation.setEmulatedMedia", features=[{"name": "prefers-color-scheme", "value": scheme}])
            page.call("Page.navigate", url=f"{base}/live")
            wait_for(f"the first figures at {width} px", lambda: page.evaluate(SHOWN).get("points", 0) >= 2)
            # The totals and newest calls come from /calls.json after the first event.
            wait_for("the call history", lambda: page.evaluate("document.getElementById('total-month').textContent"))
            # Let the bars and graphs finish their first paint.
            time.sleep(0.5)
            size = page.call("Page.getLayoutMetrics")["cssContentSize"]
            shot = page.call("Page.captureScreenshot", format="png", captureBeyondViewport=True,
                             clip={"x": 0, "y": 0, "width": width, "height": max(height, size["height"]), "scale": 1})
            name = os.path.join(out_dir, f"live-{width}-{scheme}.png")
            with open(name, "wb") as f:
                f.write(base64.b64decode(shot["data"]))
            print(name)
    errors = page.errors()
    if errors:
        fail("console errors: " + "; ".join(errors))


def run_timing(page):
    page.call("Emulation.setDeviceMetricsOverride", width=1280, height=800, deviceScaleFactor=1, mobile=False)
    # Installed before the page's own script runs: notes performance.now() (counted from the
    # navigation's start) once B1's packet counter holds a figure. DevTools' scripts pass the CSP.
    page.call("Page.addScriptToEvaluateOnNewDocument", source="""if (location.pathname === '/live')
        window.__lwFirst = new Promise((done) => { const look = () => {
            const e = document.getElementById('B1-tx');
            if (e && /[0-9]/.test(e.textContent)) { observer.disconnect(); done(performance.now()); } };
        const observer = new MutationObserver(look);
        observer.observe(document, {subtree: true, childList: true, characterData: true}); });""")
    seen = []
    for _ in range(int(sys.argv[4])):
        page.call("Page.navigate", url="about:blank")
        page.call("Page.navigate", url=f"{base}/live")
        wait_for("the page", lambda: page.evaluate("location.pathname === '/live' && !!window.__lwFirst"))
        ms = page.call("Runtime.evaluate", expression="window.__lwFirst", awaitPromise=True,
                       returnByValue=True)["result"]["value"]
        seen.append(ms)
        print(f"first figures {ms:.0f} ms after navigation start")
    seen.sort()
    print(f"median {seen[len(seen) // 2]:.0f} ms over {len(seen)} runs")

profile = os.path.join(out_dir, "profile")
chromium = subprocess.Popen(
    [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
     "--disable-extensions", "--disable-background-networking", "--disable-component-update",
     "--disable-sync", "--remote-debugging-port=0", f"--user-data-dir={profile}", "about:blank"],
    stdout=subprocess.DEVNULL, stderr=open(os.path.join(out_dir, "chromium.log"), "w"))
try:
    port_file = os.path.join(profile, "DevToolsActivePort")
    wait_for("Chromium's DevTools port", lambda: os.path.exists(port_file) and open(port_file).read().count("\n") >= 1)
    debug_port = int(open(port_file).read().split()[0])
    connection = http.client.HTTPConnection("127.0.0.1", debug_port, timeout=10)
    connection.request("GET", "/json/list")
    targets = [t for t in json.loads(connection.getresponse().read()) if t["type"] == "page"]
    page = DevTools(targets[0]["webSocketDebuggerUrl"])
    for domain in ("Runtime", "Log", "Page"):
        page.call(f"{domain}.enable")

    {"check": run_check, "screenshot": run_screenshots, "timing": run_timing}[mode](page)
finally:
    chromium.terminate()
    try:
        chromium.wait(timeout=10)
    except subprocess.TimeoutExpired:
        chromium.kill()
