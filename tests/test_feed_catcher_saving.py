"""Handing payloads out and writing the records to disk."""

import json
import traceback
from collections import UserDict

import pytest

import tarnix.seller_sprite.scraping.feed_catcher as feed_catcher
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

SOURCE = "tarnix/seller_sprite/scraping/feed_catcher"
CLASS = "tarnix.seller_sprite.scraping.feed_catcher.SellerSpriteFeedCatcher"


def record(payload, url="https://www.sellersprite.com/api", status=200):
    return {"url": url, "status": status, "payload": payload}


def catcher_with(**records):
    catcher = SellerSpriteFeedCatcher()
    catcher.responses.update(records)
    return catcher


def entries(tb):
    return [(e.name, e.lineno) for e in traceback.extract_tb(tb) if e.filename == SOURCE]


def test_get_payload_returns_the_stored_dict_itself():
    payload = {"data": {"items": []}}
    assert catcher_with(keyword_mining=record(payload)).get_payload("keyword_mining") is payload


class NoGet(dict):
    def get(self, key):
        raise AssertionError("an empty record was asked for its payload")


@pytest.mark.parametrize("stored", [
    None, NoGet(), {"url": "u"}, record(None), record([1, 2]), record("text"),
])
def test_get_payload_gives_none_without_a_dict_payload(stored):
    catcher = catcher_with(frequency=stored)
    assert catcher.get_payload("frequency") is None
    assert catcher.get_payload("never") is None


def test_get_payload_refuses_a_dict_subclass_payload():
    catcher = catcher_with(frequency=record(type("Payload", (dict,), {})()))
    with pytest.raises(TypeError) as excinfo:
        catcher.get_payload("frequency")
    assert str(excinfo.value) == "Expected dict, got Payload"
    assert entries(excinfo.tb) == [(CLASS + ".get_payload", 65)]


def test_save_all_on_an_empty_recorder_only_makes_the_directory(tmp_path):
    target = tmp_path / "a" / "b"
    assert SellerSpriteFeedCatcher().save_all(target) == {}
    assert target.is_dir() and list(target.iterdir()) == []


def test_save_all_writes_the_exact_json_text_and_the_index(tmp_path):
    mining = record({"data": {"items": [], "标题": "卖家精灵"}})
    frequency = record({"data": [{"keyword": "杯子", "frequency": 3}]}, status=500)
    catcher = catcher_with(keyword_mining=mining, frequency=frequency)
    (tmp_path / "frequency.json").write_text("stale")

    index = catcher.save_all(tmp_path)

    assert list(index.items()) == [
        ("keyword_mining_response", str(tmp_path / "keyword_mining.json")),
        ("frequency_response", str(tmp_path / "frequency.json")),
    ]
    for section, rec in [("keyword_mining", mining), ("frequency", frequency)]:
        text = (tmp_path / f"{section}.json").read_bytes().decode("utf-8")
        assert text == json.dumps(rec, ensure_ascii=False, indent=2)
        assert json.loads(text) == rec
    assert text.startswith('{\n  "url"') and text.endswith("}")
    assert "杯子" in text
    again = catcher.save_all(tmp_path)
    assert again == index and again is not index


def test_save_all_sees_a_rebound_json_module(tmp_path, monkeypatch):
    class Dumper:
        @staticmethod
        def dumps(obj, **options):
            return repr(sorted(options.items()))

    monkeypatch.setattr(feed_catcher, "json", Dumper)
    catcher_with(frequency=record({})).save_all(tmp_path)
    assert (tmp_path / "frequency.json").read_text() == "[('ensure_ascii', False), ('indent', 2)]"


class Pairs(UserDict):
    def __init__(self, items):
        super().__init__()
        self._items = items

    def items(self):
        return self._items


@pytest.mark.parametrize("responses, error, message", [
    (None, AttributeError, "'NoneType' object has no attribute 'items'"),
    (Pairs([("a", {}, 1)]), ValueError, "too many values to unpack (expected 2)"),
    (Pairs([("a",)]), ValueError, "need more than 1 value to unpack"),
])
def test_save_all_walk_errors(tmp_path, responses, error, message):
    catcher = SellerSpriteFeedCatcher()
    catcher.responses = responses
    with pytest.raises(error) as excinfo:
        catcher.save_all(tmp_path)
    assert str(excinfo.value) == message
    assert entries(excinfo.tb) == [(CLASS + ".save_all", 71)]


def test_save_all_keeps_files_written_before_a_failure(tmp_path):
    catcher = catcher_with(frequency=record({}), reverse_stats=record({"bad": object()}))
    with pytest.raises(TypeError) as excinfo:
        catcher.save_all(tmp_path)
    assert entries(excinfo.tb) == [(CLASS + ".save_all", 74)]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["frequency.json"]


@pytest.mark.parametrize("make_target, error, line", [
    (lambda tmp: str(tmp), AttributeError, 69),
    (lambda tmp: tmp / "file", FileExistsError, 69),
])
def test_save_all_bad_targets(tmp_path, make_target, error, line):
    (tmp_path / "file").write_text("x")
    with pytest.raises(error) as excinfo:
        catcher_with(frequency=record({})).save_all(make_target(tmp_path))
    assert entries(excinfo.tb) == [(CLASS + ".save_all", line)]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file"]


class Counting(dict):
    """A dict whose own `get` must be used instead of the exact-dict lookup."""

    def get(self, key, *default):
        self.asked = getattr(self, "asked", []) + [key]
        return {"payload": {"seen": key}} if key == "anything" else super().get(key, *default)


@pytest.mark.parametrize("where", ["responses", "record"])
def test_get_payload_calls_the_get_of_dict_subclasses(where):
    catcher = SellerSpriteFeedCatcher()
    if where == "responses":
        catcher.responses = Counting()
        assert catcher.get_payload("anything") == {"seen": "anything"}
        assert catcher.responses.asked == ["anything"]
    else:
        stored = Counting(payload={"data": 1})
        catcher.responses["frequency"] = stored
        assert catcher.get_payload("frequency") == {"data": 1}
        assert stored.asked == ["payload"]
