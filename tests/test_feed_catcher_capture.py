"""Capturing responses: the URL filters, the protected decode and the store."""

import asyncio
import sys
import traceback
import types

import pytest

from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

SOURCE = "tarnix/seller_sprite/scraping/feed_catcher"
URL = "https://www.sellersprite.com/v3/api/keyword-mining?q=1"
MINING = {"data": {"items": []}}


class FakeResponse:
    """`url` and `status` raise when given an exception; `wait` suspends the fetch."""

    def __init__(self, url=URL, payload=MINING, status=200, error=None, wait=None):
        self._url, self._status = url, status
        self.payload, self.error, self.wait = payload, error, wait
        self.json_calls = 0
        self.ended = None

    def _read(self, value):
        if isinstance(value, BaseException):
            raise value
        return value

    url = property(lambda self: self._read(self._url))
    status = property(lambda self: self._read(self._status))

    async def json(self):
        self.json_calls += 1
        try:
            if self.wait is not None:
                await self.wait()
        except BaseException as error:
            self.ended = type(error)
            raise
        if self.error is not None:
            raise self.error
        return self.payload


def capture(catcher, response, section="keyword_mining", url_keyword="keyword-mining"):
    return asyncio.run(
        catcher.capture_json_response(response, section=section, url_keyword=url_keyword))


def own_entries(tb):
    """The recorder's traceback entries, outermost first (fakes add their own)."""
    return [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(tb) if e.filename == SOURCE]


@pytest.mark.parametrize("url", [
    "https://SellerSprite.COM/v3/api/keyword-mining",
    "https://api.sellersprite.com/v3/api/keyword-mining",
    "https://sellersprite.com:8443/keyword-mining",
    "https://user:pw@www.sellersprite.com:443/keyword-mining",
    "https://evil.io@sellersprite.com/keyword-mining",
    # A backslash ends the authority as a slash does: the rest is path.
    "https://www.sellersprite.com\\@evil.io/keyword-mining",
])
def test_service_hosts_are_recorded(url):
    catcher = SellerSpriteFeedCatcher()
    assert capture(catcher, FakeResponse(url=url)) is None
    assert catcher.responses["keyword_mining"]["url"] == url


@pytest.mark.parametrize("url", [
    "https://evil.io/sellersprite.com/keyword-mining",
    "https://evil.io/keyword-mining?next=sellersprite.com",
    "https://sellersprite.com.evil.io/keyword-mining",
    "https://evilsellersprite.com/keyword-mining",
    "https://sellersprite.com@evil.io/keyword-mining",
    "https://sellersprite.com:pw@evil.io:80/keyword-mining",
    "https://[::1]:8080/sellersprite.com/keyword-mining",
    "https://.sellersprite.com/keyword-mining",
    "https://evil.io\\@www.sellersprite.com/keyword-mining",
    "https://u@evil.io\\@sellersprite.com/keyword-mining",
    "https://evil.io\\.sellersprite.com/keyword-mining",
])
def test_other_hosts_are_refused_before_the_body_is_read(url):
    catcher = SellerSpriteFeedCatcher()
    response = FakeResponse(url=url)
    capture(catcher, response)
    assert catcher.responses == {}
    assert response.json_calls == 0


@pytest.mark.parametrize("url_keyword, recorded", [
    ("keyword-mining", True),
    ("Keyword-Mining", False),
    ("q=1", True),
    ("", True),
])
def test_keyword_test_is_case_sensitive_over_the_whole_url(url_keyword, recorded):
    catcher = SellerSpriteFeedCatcher()
    capture(catcher, FakeResponse(), url_keyword=url_keyword)
    assert ("keyword_mining" in catcher.responses) is recorded


class NoJson:
    url = URL
    status = 200


class PlainJson(FakeResponse):
    def json(self):
        return {"data": {"items": []}}


@pytest.mark.parametrize("response", [
    FakeResponse(error=ValueError("not JSON")),
    NoJson(),
    PlainJson(),
], ids=["undecodable", "no-json-method", "not-awaitable"])
def test_decode_failures_are_swallowed(response):
    catcher = SellerSpriteFeedCatcher()
    assert capture(catcher, response) is None
    assert catcher.responses == {}


def test_swallowed_error_restores_the_handled_exception():
    catcher = SellerSpriteFeedCatcher()
    coro = catcher.capture_json_response(
        FakeResponse(error=ValueError("bad")), section="keyword_mining", url_keyword="")
    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        with pytest.raises(StopIteration):
            coro.send(None)
        assert sys.exc_info()[1] is outer


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3)])
def test_non_exception_errors_propagate_from_the_await(error):
    catcher = SellerSpriteFeedCatcher()
    coro = catcher.capture_json_response(
        FakeResponse(error=error), section="keyword_mining", url_keyword="")
    with pytest.raises(type(error)) as excinfo:
        coro.send(None)
    assert own_entries(excinfo.tb) == [("capture_json_response", SOURCE, 29)]
    assert catcher.responses == {}


def test_cancellation_while_fetching_propagates_and_stores_nothing():
    catcher = SellerSpriteFeedCatcher()
    response = FakeResponse(wait=lambda: asyncio.Event().wait())

    async def main():
        task = asyncio.ensure_future(catcher.capture_json_response(
            response, section="keyword_mining", url_keyword=""))
        while not response.json_calls:
            await asyncio.sleep(0)
        task.cancel()
        await task

    with pytest.raises(asyncio.CancelledError):
        asyncio.run(main())
    assert response.ended is asyncio.CancelledError and catcher.responses == {}


def test_records_replace_keep_order_and_status():
    catcher = SellerSpriteFeedCatcher()
    first = {"data": {"items": [1]}}
    capture(catcher, FakeResponse(payload=first))
    capture(catcher, FakeResponse(payload={"data": {"items": None}}))
    assert catcher.responses["keyword_mining"]["payload"] is first
    later = {"data": {"items": []}}
    capture(catcher, FakeResponse(payload=later, status=500))
    record = catcher.responses["keyword_mining"]
    assert list(record) == ["url", "status", "payload"]
    assert record["status"] == 500 and record["payload"] is later
    capture(catcher, FakeResponse(), section="unknown")
    assert list(catcher.responses) == ["keyword_mining"]


def test_subclass_rule_and_replaced_store_are_used():
    calls = []

    class Everything(SellerSpriteFeedCatcher):
        def _matches_section_payload(self, section, payload):
            calls.append((section, payload))
            return 1

    catcher = Everything()
    catcher.responses = store = type("Store", (dict,), {})()
    capture(catcher, FakeResponse(payload=[1]), section="anything")
    assert calls == [("anything", [1])]
    assert store["anything"]["payload"] == [1]


class BadRule(SellerSpriteFeedCatcher):
    def _matches_section_payload(self, section, payload):
        raise ZeroDivisionError


class NoStore(SellerSpriteFeedCatcher):
    def __init__(self):
        self.responses = None


@pytest.mark.parametrize("cls, response, error, line", [
    (SellerSpriteFeedCatcher, FakeResponse(url=StopIteration()), RuntimeError, 25),
    (SellerSpriteFeedCatcher, FakeResponse(url=URL.encode()), TypeError, 26),
    (SellerSpriteFeedCatcher, FakeResponse(status=LookupError()), LookupError, 36),
    (BadRule, FakeResponse(), ZeroDivisionError, 32),
    (NoStore, FakeResponse(), TypeError, 34),
])
def test_failures_carry_the_line_of_their_step(cls, response, error, line):
    catcher = cls()
    with pytest.raises(error) as excinfo:
        capture(catcher, response)
    raised = excinfo.value
    if error is RuntimeError:
        assert str(raised) == "generator raised StopIteration"
        raised = raised.__cause__
        assert isinstance(raised, StopIteration)
    assert own_entries(raised.__traceback__) == [("capture_json_response", SOURCE, line)]
    if cls is SellerSpriteFeedCatcher:
        assert catcher.responses == {}


@pytest.mark.parametrize("kwargs, message", [
    ({"section": None, "url_keyword": ""},
     "Argument 'section' has incorrect type (expected str, got NoneType)"),
    ({"section": "frequency", "url_keyword": type("S", (str,), {})("x")},
     "Argument 'url_keyword' has incorrect type (expected str, got S)"),
])
def test_argument_types_are_checked_at_the_call(kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        SellerSpriteFeedCatcher().capture_json_response(FakeResponse(), **kwargs)
    assert str(excinfo.value).startswith(message)
    assert own_entries(excinfo.tb) == [(
        "tarnix.seller_sprite.scraping.feed_catcher.SellerSpriteFeedCatcher.capture_json_response",
        SOURCE, 17)]


def suspended_capture(catcher):
    response = FakeResponse(wait=lambda: asyncio.sleep(0))
    coro = catcher.capture_json_response(response, section="keyword_mining", url_keyword="")
    assert coro.send(None) is None
    return coro, response


def test_error_thrown_into_the_fetch_is_swallowed():
    catcher = SellerSpriteFeedCatcher()
    coro, response = suspended_capture(catcher)
    with pytest.raises(StopIteration):
        coro.throw(ValueError("connection reset"))
    assert response.ended is ValueError and catcher.responses == {}


def test_suspended_capture_closes_cleanly_when_dropped(monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    catcher = SellerSpriteFeedCatcher()
    coro, response = suspended_capture(catcher)
    del coro
    assert response.ended is GeneratorExit
    assert unraisable == [] and catcher.responses == {}


@pytest.mark.parametrize("call", [
    lambda c, r: c.capture_json_response(r, section="keyword_mining", url_keyword="keyword-mining"),
    lambda c, r: c.capture_json_response(r, url_keyword="keyword-mining", section="keyword_mining"),
    lambda c, r: c.capture_json_response(response=r, section="keyword_mining", url_keyword="keyword-mining"),
    lambda c, r: SellerSpriteFeedCatcher.capture_json_response(
        c, r, **{"".join(["sec", "tion"]): "keyword_mining", "url_keyword": "keyword-mining"}),
], ids=["in order", "reversed", "all by keyword", "names made at run time"])
def test_every_call_shape_binds_the_same(call):
    catcher = SellerSpriteFeedCatcher()
    assert asyncio.run(call(catcher, FakeResponse())) is None
    assert catcher.responses["keyword_mining"]["payload"] is MINING


@types.coroutine
def pause():
    yield


@pytest.mark.parametrize("started", [False, True])
def test_a_body_coroutine_driven_elsewhere_is_not_awaited_again(started):
    async def body():
        await pause()
        return MINING

    fetch = body()
    if started:
        fetch.send(None)  # now suspended in an await of its own
    response = FakeResponse()
    response.json = lambda: fetch
    catcher = SellerSpriteFeedCatcher()
    coroutine = catcher.capture_json_response(response, section="keyword_mining", url_keyword="keyword-mining")
    if started:
        # "coroutine is being awaited already" is an Exception: the decode
        # step swallows it and nothing is recorded.
        with pytest.raises(StopIteration):
            coroutine.send(None)
        assert catcher.responses == {}
    else:
        coroutine.send(None)
        with pytest.raises(StopIteration):
            coroutine.send(None)
        assert catcher.responses["keyword_mining"]["payload"] is MINING
    fetch.close()
