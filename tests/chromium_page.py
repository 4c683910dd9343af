"""A headless Chromium page whose network responses look like the ones the
scraping code hands the recorder: `url`, `status` and an awaitable `json()`.

Only what the tests need of the DevTools protocol: one page target, the
Network domain and `Page.navigate`, spoken as JSON-RPC over a websocket.
"""

import asyncio
import base64
import json
import os
import shutil
import signal
import subprocess
import time
import urllib.request

import websockets

from sanitizer_env import without_sanitizer

# Generous: a busy two-core CI machine can take a while to start a browser.
START_TIMEOUT = 60.0

FLAGS = [
    "--headless",
    "--no-sandbox",  # CI runs as root, where the sandbox refuses to start
    "--disable-gpu",
    # Every background connection would be refused by a closed network and
    # only adds noise and delay; QUIC probes likewise.
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--disable-quic",
    "--no-first-run",
    "--remote-debugging-port=0",
]


class BrowserUnavailable(Exception):
    """Chromium is missing or did not come up far enough to be driven."""


class DevToolsError(Exception):
    """A protocol command answered with an error."""


class Chromium:
    """One headless Chromium process group, from start until `close()`.

    `hosts` are resolved to 127.0.0.1 by the browser itself, so no name
    service is involved and nothing leaves the machine.
    """

    def __init__(self, profile_dir, hosts):
        self.profile_dir = profile_dir
        self.hosts = hosts
        self.process = None
        self.log_path = profile_dir.parent / "chromium.log"

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc_info):
        self.close()

    def start(self):
        executable = shutil.which("chromium")
        if executable is None:
            raise BrowserUnavailable("no `chromium` on PATH")
        rules = ",".join(f"MAP {host} 127.0.0.1" for host in self.hosts)
        self.profile_dir.mkdir(parents=True, exist_ok=True)
        # The browser is not built for a sanitizer runtime preloaded into us.
        env = without_sanitizer()
        try:
            with open(self.log_path, "wb") as log:
                self.process = subprocess.Popen(
                    [executable, *FLAGS, f"--user-data-dir={self.profile_dir}",
                     f"--host-resolver-rules={rules}", "about:blank"],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                    env=env, start_new_session=True)
        except OSError as error:
            raise BrowserUnavailable(f"chromium could not be run: {error}") from None
        self.port = self._wait_for_port()

    def _wait_for_port(self):
        # Chromium writes the port it picked to DevToolsActivePort once the
        # endpoint listens; the file appears before its content does.
        active_port = self.profile_dir / "DevToolsActivePort"
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise BrowserUnavailable(
                    f"chromium exited with status {self.process.returncode}: {self.log_tail()}")
            try:
                first_line = active_port.read_text().split("\n", 1)[0]
            except FileNotFoundError:
                first_line = ""
            if first_line.isdigit():
                return int(first_line)
            time.sleep(0.05)
        raise BrowserUnavailable(
            f"chromium announced no DevTools port within {START_TIMEOUT:.0f} s: {self.log_tail()}")

    def log_tail(self, lines=5):
        try:
            text = self.log_path.read_text(errors="replace")
        except OSError:
            return "(no output)"
        return " | ".join(text.strip().splitlines()[-lines:]) or "(no output)"

    def page_websocket_url(self):
        # No proxy: the endpoint is on this machine whatever the environment
        # says.  The endpoint can listen before the first tab exists.
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            with opener.open(f"http://127.0.0.1:{self.port}/json/list", timeout=START_TIMEOUT) as reply:
                targets = json.load(reply)
            for target in targets:
                if target.get("type") == "page":
                    return target["webSocketDebuggerUrl"]
            if time.monotonic() > deadline:
                raise AssertionError(f"chromium shows no page target: {targets}")
            time.sleep(0.05)

    def close(self):
        if self.process is None or self.process.poll() is not None:
            return
        # The launcher is a shell script and the browser forks helpers: the
        # whole group goes, politely first.
        for sig, grace in ((signal.SIGTERM, 10), (signal.SIGKILL, 10)):
            try:
                os.killpg(self.process.pid, sig)
            except ProcessLookupError:
                return
            try:
                self.process.wait(timeout=grace)
                return
            except subprocess.TimeoutExpired:
                pass


class Page:
    """A DevTools session on one page target, with the Network domain on.

    Every `Network.responseReceived` becomes a `Response` in `responses`, in
    the order the browser reports them.
    """

    def __init__(self, socket):
        self._socket = socket
        self._next_id = 0
        self._pending = {}
        self._finished = {}
        self.responses = asyncio.Queue()
        self._reader = asyncio.create_task(self._read())

    @classmethod
    async def open(cls, websocket_url):
        socket = await websockets.connect(websocket_url, max_size=None, open_timeout=START_TIMEOUT)
        page = cls(socket)
        await page.call("Network.enable")
        return page

    async def close(self):
        await self._socket.close()
        await self._reader

    async def call(self, method, **params):
        self._next_id += 1
        answer = asyncio.get_running_loop().create_future()
        self._pending[self._next_id] = answer
        await self._socket.send(json.dumps({"id": self._next_id, "method": method, "params": params}))
        return await answer

    def loading_finished(self, request_id):
        """The future that `Network.loadingFinished` (or `loadingFailed`) settles."""
        if request_id not in self._finished:
            self._finished[request_id] = asyncio.get_running_loop().create_future()
        return self._finished[request_id]

    async def _read(self):
        error = ConnectionError("the DevTools connection closed")
        try:
            async for text in self._socket:
                message = json.loads(text)
                if "id" in message:
                    self._answer(message)
                else:
                    self._event(message["method"], message.get("params", {}))
        except websockets.ConnectionClosed:
            pass
        except Exception as failure:  # reported to every waiting caller below
            error = failure
        finally:
            for waiting in [*self._pending.values(), *self._finished.values()]:
                if not waiting.done():
                    waiting.set_exception(error)

    def _answer(self, message):
        answer = self._pending.pop(message["id"])
        if "error" in message:
            answer.set_exception(DevToolsError(message["error"]))
        else:
            answer.set_result(message.get("result", {}))

    def _event(self, method, params):
        if method == "Network.responseReceived":
            self.responses.put_nowait(Response(self, params["requestId"], params["response"]))
        elif method == "Network.loadingFinished":
            finished = self.loading_finished(params["requestId"])
            if not finished.done():
                finished.set_result(None)
        elif method == "Network.loadingFailed":
            finished = self.loading_finished(params["requestId"])
            if not finished.done():
                finished.set_exception(ConnectionError(params.get("errorText", "loading failed")))


class Response:
    """What the recorder reads of a browser response."""

    def __init__(self, page, request_id, response):
        self._page = page
        self._request_id = request_id
        self.url = response["url"]
        self.status = response["status"]
        self.body_requests = 0

    async def json(self):
        self.body_requests += 1
        # The body exists only once the browser has received all of it.
        await self._page.loading_finished(self._request_id)
        reply = await self._page.call("Network.getResponseBody", requestId=self._request_id)
        body = reply["body"]
        if reply.get("base64Encoded"):
            body = base64.b64decode(body).decode("utf-8")
        return json.loads(body)
