"""The recorder fed by a real headless Chromium, driven through Playwright the
way the scraping code drives it: every response the page sees is handed, as
Playwright's own `Response`, to a capture task per section.

A local server plays the service (and one foreign host); the browser's own
resolver rules send the service's host names to it, so nothing leaves the
machine.  Without Playwright or a browser that starts, the tests skip saying
why; under CI (CI=true) they fail instead.
"""

import asyncio
import collections
import json
import os
import shutil
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from sanitizer_env import without_sanitizer
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

try:
    from playwright.async_api import async_playwright
except ImportError as error:
    async_playwright = None
    PLAYWRIGHT_MISSING = f"playwright cannot be imported: {error}"

# Generous, so that a busy two-core machine or a sanitizer run does not trip
# them; they exist so that a stuck browser ends the test instead of the run.
START_TIMEOUT = 60.0
VISIT_TIMEOUT = 60.0
CLOSE_TIMEOUT = 30.0
# How long a held-back body waits for its release before the server gives up.
HOLD_TIMEOUT = 60.0

# The URL keyword the scraping code names for each section.
KEYWORDS = {
    "frequency": "keyword-frequency",
    "reverse_frequency": "reverse-frequency",
    "keyword_mining": "keyword-miner",
    "keyword_reverse": "keyword-reverse",
    "reverse_monthly": "reverse-monthly",
    "reverse_stats": "reverse-stats",
}

WWW = "www.sellersprite.com"
FOREIGN = "static.example.test"
HOSTS = ["sellersprite.com", "*.sellersprite.com", FOREIGN]
PAGE = "/v2/research.html"
DONE = "/v2/done"
# A page whose one fetch gets its headers at once and its body only when the
# test releases it, so that a capture can be caught waiting for the body.
HELD_PAGE = "/v2/held.html"
HELD = "/v2/keyword-miner?q=held"
HELD_BODY = {"data": {"items": [{"keyword": "held", "searches": 1}], "total": 1}}

# What the page fetches, in order: (host, path, status, content type, body,
# the section that ends up holding it or None).  Every path carries a
# section's keyword except the last, so each reaches the body fetch unless
# its host is foreign.
EXCHANGES = [
    (WWW, "/v2/keyword-frequency?page=1", 200, "application/json",
     {"data": [{"keyword": "杯子", "frequency": 120}]}, None),  # replaced below
    (WWW, "/v2/keyword-frequency/hints", 200, "application/json",
     {"data": [{"keyword": "杯"}]}, None),  # elements lack "frequency"
    (WWW, "/v2/reverse-frequency?asin=B0TEST", 200, "application/json",
     {"data": ["header", {"keyword": "mug", "frequency": 7}]}, "reverse_frequency"),
    (WWW, "/v2/keyword-miner?q=cup", 200, "application/json",
     {"data": {"items": [{"keyword": "cup holder", "searches": 5400}], "total": 1}}, "keyword_mining"),
    (WWW, "/v2/keyword-miner/suggest?q=cup", 200, "application/json",
     {"data": ["cup", "cups"]}, None),  # "data" is no dict
    (WWW, "/v2/keyword-miner/export.csv", 200, "text/csv",
     "keyword,searches\ncup holder,5400\n", None),  # not JSON
    ("api.sellersprite.com", "/v2/keyword-reverse?asin=B0TEST", 200, "application/json",
     {"data": {"items": [], "asin": "B0TEST"}}, "keyword_reverse"),
    ("sellersprite.com", "/v2/reverse-monthly?asin=B0TEST", 200, "application/json",
     {"data": {"monthlyDto": [{"month": "2024-01", "units": 31}], "variations": None}},
     "reverse_monthly"),
    (WWW, "/v2/reverse-monthly/brief", 200, "application/json",
     {"data": {"monthlyDto": []}}, None),  # no "variations"
    (WWW, "/v2/reverse-stats?asin=B0TEST", 500, "application/json",
     {"data": {"statDto": {"units": 3}, "asin": "B0TEST"}}, "reverse_stats"),
    # The right keyword and shape, and the domain only in the query.
    (FOREIGN, "/v2/reverse-frequency?ref=www.sellersprite.com", 200, "application/json",
     {"data": [{"keyword": "foreign", "frequency": 1}]}, None),
    (WWW, "/v2/keyword-frequency?page=2", 200, "application/json",
     {"data": [{"keyword": "水杯", "frequency": 95}]}, "frequency"),
    (WWW, DONE, 200, "application/json", {}, None),
]

URLS = {f"http://{host}{path}": (status, body, section)
        for host, path, status, _, body, section in EXCHANGES}
EXPECTED = {section: {"url": url, "status": status, "payload": body}
            for url, (status, body, section) in URLS.items() if section}
# A section keeps the position of its first record: "frequency" was first
# recorded by page 1 and then replaced by page 2.
ORDER = ["frequency", "reverse_frequency", "keyword_mining", "keyword_reverse",
         "reverse_monthly", "reverse_stats"]
# Bodies are fetched only for the service's own hosts and a section's
# keyword: the foreign host and the pages themselves never get that far.
READ = sorted(url for url in URLS if FOREIGN not in url and not url.endswith(DONE))
REJECTED = [url for url in READ if url not in {r["url"] for r in EXPECTED.values()}]


def unavailable(reason):
    if os.environ.get("CI") == "true":
        pytest.fail(f"the browser tests cannot run under CI: {reason}")
    pytest.skip(reason)


def page_html(urls):
    # One fetch after the other, so the browser reports the responses in
    # this order; the body is read whole before the next one starts.
    return f"""<!doctype html>
<html><head><meta charset="utf-8"><title>research</title></head><body>
<script>
(async () => {{
  for (const url of {json.dumps(urls)}) {{
    try {{ await (await fetch(url)).text(); }} catch (error) {{ console.log(String(error)); }}
  }}
}})();
</script></body></html>"""


class Service(BaseHTTPRequestHandler):
    """Answers by path and query alone, whatever host name the browser used."""

    routes = {}  # path -> (status, content type, body); set per server
    release = None  # threading.Event that lets the held body go; set per server

    def do_GET(self):
        status, content_type, body = self.routes.get(
            self.path, (404, "text/plain", "no such endpoint"))
        data = body.encode("utf-8") if isinstance(body, str) else json.dumps(body).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", f"{content_type}; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Access-Control-Allow-Origin", "*")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        if self.path == HELD:
            self.wfile.flush()
            self.release.wait(HOLD_TIMEOUT)
        self.wfile.write(data)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def service():
    """The server's port and the event that releases the held body."""
    routes = {path: (status, content_type, body)
              for _, path, status, content_type, body, _ in EXCHANGES}
    routes[PAGE] = (200, "text/html", page_html(list(URLS)))
    routes[HELD] = (200, "application/json", HELD_BODY)
    routes[HELD_PAGE] = (200, "text/html", page_html([f"http://{WWW}{HELD}"]))
    release = threading.Event()
    handler = type("Routes", (Service,), {"routes": routes, "release": release})
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server.server_address[1], release
    finally:
        # A held request must not keep server_close() waiting for its thread.
        release.set()
        server.shutdown()
        server.server_close()
        thread.join()


class Browser:
    """Playwright and one headless Chromium on an event loop of their own,
    shared by the module's tests; each test gets a fresh context."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.playwright = None
        self.chromium = None

    def run(self, coroutine, timeout=VISIT_TIMEOUT):
        async def bounded():
            async with asyncio.timeout(timeout):
                return await coroutine
        return self.loop.run_until_complete(bounded())

    async def start(self, executable, port):
        # The port goes into the rules, so the page's URLs carry none, as on
        # the real service; no proxy may take the requests elsewhere.
        rules = ", ".join(f"MAP {host} 127.0.0.1:{port}" for host in HOSTS)
        self.playwright = await async_playwright().start()
        self.chromium = await self.playwright.chromium.launch(
            executable_path=executable, headless=True, timeout=START_TIMEOUT * 1000,
            args=[f"--host-resolver-rules={rules}", "--no-proxy-server"])

    async def stop(self):
        try:
            if self.chromium is not None:
                await self.chromium.close()
        finally:
            if self.playwright is not None:
                await self.playwright.stop()

    def close(self):
        try:
            self.run(self.stop(), timeout=CLOSE_TIMEOUT)
        finally:
            for task in asyncio.all_tasks(self.loop):
                task.cancel()
            self.loop.run_until_complete(asyncio.sleep(0))
            self.loop.close()


@pytest.fixture(scope="module")
def browser(service):
    if async_playwright is None:
        unavailable(PLAYWRIGHT_MISSING)
    executable = shutil.which("chromium")
    if executable is None:
        unavailable("no `chromium` on PATH")
    port, _ = service
    browser = Browser()
    failure = None
    # Playwright's driver, and the browser it starts, copy our environment:
    # neither is built for a sanitizer runtime preloaded into us.
    with pytest.MonkeyPatch.context() as patch:
        preload = without_sanitizer().get("LD_PRELOAD")
        if preload is None:
            patch.delenv("LD_PRELOAD", raising=False)
        else:
            patch.setenv("LD_PRELOAD", preload)
        try:
            browser.run(browser.start(executable, port), timeout=START_TIMEOUT + CLOSE_TIMEOUT)
        except Exception as error:  # whatever it is, the reason goes into the report
            failure = f"headless Chromium cannot be started through Playwright: {error}"
    if failure is not None:
        browser.close()
        unavailable(failure)
    try:
        yield browser
    finally:
        browser.close()


class Visit:
    """What the scraping code does on a page: for every response, a capture
    task per section, awaited at the end of the visit.

    Each response's `json` is shadowed by a spy that notes the call and
    delegates to Playwright's own, so the catcher gets the real object and
    every body it asks for is on record."""

    def __init__(self, catcher, page):
        self.catcher = catcher
        self.responses = []
        self.captures = []  # (url, section, coroutine, task)
        self.body_requests = []
        self._requested = collections.defaultdict(asyncio.Event)
        self._seen = collections.defaultdict(asyncio.Event)
        page.on("response", self.on_response)

    def on_response(self, response):
        self.responses.append(response)
        real_json = response.json

        def json():
            self.body_requests.append(response.url)
            self._requested[response.url].set()
            return real_json()

        response.json = json
        for section, keyword in KEYWORDS.items():
            capture = self.catcher.capture_json_response(response, section=section, url_keyword=keyword)
            self.captures.append((response.url, section, capture, asyncio.create_task(capture)))
        self._seen[response.url].set()

    async def seen(self, url):
        await self._seen[url].wait()
        return next(r for r in self.responses if r.url == url)

    async def body_requested(self, url):
        await self._requested[url].wait()

    async def finish(self):
        await asyncio.gather(*(task for *_, task in self.captures))


async def open_page(browser):
    context = await browser.chromium.new_context()
    return context, await context.new_page()


@pytest.fixture(scope="module")
def walked(browser):
    """The catcher and the visit after the page fetched every exchange."""

    async def walk():
        catcher = SellerSpriteFeedCatcher()
        context, page = await open_page(browser)
        try:
            visit = Visit(catcher, page)
            await page.goto(f"http://{WWW}{PAGE}")
            await visit.seen(f"http://{WWW}{DONE}")
            await visit.finish()
        finally:
            await context.close()
        return catcher, visit

    return browser.run(walk())


def test_the_page_fetched_every_exchange(walked):
    _, visit = walked
    assert set(URLS) <= {response.url for response in visit.responses}


def test_each_section_is_recorded_with_its_status(walked):
    catcher, _ = walked
    assert list(catcher.responses) == ORDER
    assert catcher.responses == EXPECTED
    for section, record in EXPECTED.items():
        assert list(catcher.responses[section]) == ["url", "status", "payload"]
        assert catcher.get_payload(section) == record["payload"]


def test_bodies_are_requested_only_from_the_service_under_a_keyword(walked):
    # The foreign host carries a keyword, the domain in its query and a body
    # of the right shape: only its host keeps it out.
    _, visit = walked
    assert sorted(visit.body_requests) == READ
    assert not [url for url in visit.body_requests if FOREIGN in url]


@pytest.mark.parametrize("url", REJECTED)
def test_unrecognised_bodies_are_requested_and_not_recorded(walked, url):
    # Not JSON, or JSON of the wrong shape: the body was read and dropped,
    # and no record of any section points at it.
    catcher, visit = walked
    assert url in visit.body_requests
    assert url not in [record["url"] for record in catcher.responses.values()]


def test_saved_files_read_back_as_the_records(walked, tmp_path):
    catcher, _ = walked
    target = tmp_path / "saved" / "responses"
    index = catcher.save_all(target)
    assert list(index.items()) == [(f"{s}_response", str(target / f"{s}.json")) for s in ORDER]
    assert sorted(p.name for p in target.iterdir()) == sorted(f"{s}.json" for s in ORDER)
    for section in ORDER:
        with open(target / f"{section}.json", encoding="utf-8") as saved:
            record = json.load(saved)
        assert record == catcher.responses[section] == EXPECTED[section]
        assert list(record) == ["url", "status", "payload"]


def test_a_capture_cancelled_while_awaiting_the_body_stores_nothing(browser, service):
    _, release = service
    url = f"http://{WWW}{HELD}"

    async def cancel_while_held():
        catcher = SellerSpriteFeedCatcher()
        context, page = await open_page(browser)
        try:
            visit = Visit(catcher, page)
            await page.goto(f"http://{WWW}{HELD_PAGE}")
            response = await visit.seen(url)
            await visit.body_requested(url)
            [(_, capture, task)] = [(s, c, t) for u, s, c, t in visit.captures
                                    if u == url and s == "keyword_mining"]
            # Suspended inside Playwright's body fetch, which the server holds.
            assert not task.done()
            assert capture.cr_await is not None
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert catcher.responses == {}

            # The same response is recorded once its body can arrive: the
            # cancellation alone kept the first capture from storing it.
            release.set()
            await catcher.capture_json_response(response, section="keyword_mining",
                                                url_keyword="keyword-miner")
            assert catcher.responses == {
                "keyword_mining": {"url": url, "status": 200, "payload": HELD_BODY}}
            await asyncio.gather(*(t for _, s, _, t in visit.captures if s != "keyword_mining"))
        finally:
            release.set()
            await context.close()

    browser.run(cancel_while_held())
