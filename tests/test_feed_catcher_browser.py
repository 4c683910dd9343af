"""The recorder fed by a real headless Chromium walking a page of the service.

A local server plays the service (and one foreign host); the browser reaches
it under the service's host names through its own resolver rules.
"""

import asyncio
import json
import os
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from chromium_page import BrowserUnavailable, Chromium, Page
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

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


class Service(BaseHTTPRequestHandler):
    """Answers by path and query alone, whatever host name the browser used."""

    routes = {}  # path -> (status, content type, body); set per server

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
        self.wfile.write(data)

    def log_message(self, *args):
        pass


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


@pytest.fixture
def service():
    routes = {path: (status, content_type, body)
              for _, path, status, content_type, body, _ in EXCHANGES}
    server = ThreadingHTTPServer(("127.0.0.1", 0), type("Routes", (Service,), {"routes": routes}))
    port = server.server_address[1]
    routes[PAGE] = (200, "text/html", page_html(
        [f"http://{host}:{port}{path}" for host, path, *_ in EXCHANGES]))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield port
    server.shutdown()
    server.server_close()
    thread.join()


@pytest.fixture
def browser(tmp_path):
    chromium = Chromium(tmp_path / "profile", HOSTS)
    try:
        chromium.start()
    except BrowserUnavailable as reason:
        chromium.close()
        where = "under CI (CI=true), " if os.environ.get("CI") == "true" else ""
        pytest.skip(f"{where}headless Chromium cannot be started: {reason}")
    yield chromium
    chromium.close()


async def visit(chromium, port, catcher):
    """Walks the page and awaits, for every response, a capture per section."""
    seen = []
    page = await Page.open(chromium.page_websocket_url())
    try:
        async with asyncio.timeout(120):
            await page.call("Page.navigate", url=f"http://{WWW}:{port}{PAGE}")
            while not seen or not seen[-1].url.endswith(DONE):
                response = await page.responses.get()
                seen.append(response)
                for section, keyword in KEYWORDS.items():
                    await catcher.capture_json_response(response, section=section, url_keyword=keyword)
    finally:
        await page.close()
    return seen


def test_browser_responses_are_recorded_by_section(browser, service, tmp_path):
    catcher = SellerSpriteFeedCatcher()
    seen = asyncio.run(visit(browser, service, catcher))

    urls = {f"http://{host}:{service}{path}": (status, body, section)
            for host, path, status, _, body, section in EXCHANGES}
    by_url = {response.url: response for response in seen}
    assert set(urls) <= set(by_url), "the page did not fetch everything"

    # Bodies are read only for the service's own hosts and a section's
    # keyword: the foreign host and the page itself never get that far.
    read = {u for u, r in by_url.items() if r.body_requests}
    assert read == {u for u in urls if FOREIGN not in u and not u.endswith(DONE)}

    expected = {section: {"url": url, "status": status, "payload": body}
                for url, (status, body, section) in urls.items() if section}
    # A section keeps the position of its first record: "frequency" was
    # first recorded by page 1 and then replaced by page 2.
    order = ["frequency", "reverse_frequency", "keyword_mining", "keyword_reverse",
             "reverse_monthly", "reverse_stats"]
    assert list(catcher.responses) == order
    assert catcher.responses == expected
    for section, record in expected.items():
        assert list(catcher.responses[section]) == ["url", "status", "payload"]
        assert catcher.get_payload(section) == record["payload"]

    target = tmp_path / "saved" / "responses"
    index = catcher.save_all(target)
    assert list(index.items()) == [(f"{s}_response", str(target / f"{s}.json")) for s in order]
    assert sorted(p.name for p in target.iterdir()) == sorted(f"{s}.json" for s in order)
    for section in order:
        text = (target / f"{section}.json").read_bytes().decode("utf-8")
        assert text == json.dumps(expected[section], ensure_ascii=False, indent=2)
