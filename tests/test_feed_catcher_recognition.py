"""Recognising each section's payload by the shape of its body."""

import traceback

import pytest

from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

SOURCE = "tarnix/seller_sprite/scraping/feed_catcher"
METHOD = "tarnix.seller_sprite.scraping.feed_catcher.SellerSpriteFeedCatcher._matches_section_payload"
SECTIONS = ["frequency", "reverse_frequency", "keyword_mining", "keyword_reverse",
            "reverse_monthly", "reverse_stats"]
HIT = {"keyword": None, "frequency": None}

matches = SellerSpriteFeedCatcher()._matches_section_payload


class Untouchable(list):
    def get(self, *args):
        raise AssertionError("looked at a non-dict payload")


@pytest.mark.parametrize("section", SECTIONS + ["other"])
@pytest.mark.parametrize("payload", [Untouchable(), "data", None, {}, {"data": None}])
def test_payloads_without_a_data_shape_never_match(section, payload):
    assert matches(section, payload) is False


@pytest.mark.parametrize("section, data, expected", [
    ("frequency", [1, "x", {"keyword": 1}, HIT, object()], True),
    ("reverse_frequency", [HIT], True),
    ("frequency", [], False),
    ("frequency", [{"keyword": 1}, {"frequency": 1}], False),
    ("reverse_frequency", (HIT,), False),
    ("frequency", {"keyword": 1, "frequency": 1}, False),
    ("keyword_mining", {"items": []}, True),
    ("keyword_mining", {"items": None}, False),
    ("keyword_mining", {"items": {}}, False),
    ("keyword_mining", {}, False),
    ("keyword_reverse", {"items": []}, False),
    ("keyword_reverse", {"items": [], "asin": None}, True),
    ("keyword_reverse", {"items": {}, "asin": "B0"}, False),
    ("reverse_monthly", {"monthlyDto": 1, "variations": 1}, True),
    ("reverse_monthly", {"monthlyDto": 1}, False),
    ("reverse_monthly", {"variations": 1}, False),
    ("reverse_stats", {"statDto": 1, "asin": 1}, True),
    ("reverse_stats", {"asin": 1}, False),
    ("reverse_stats", {"monthlyDto": 1, "variations": 1}, False),
    ("keyword_mining", {"statDto": 1, "asin": 1}, False),
    ("Frequency", [HIT], False),
    (" keyword_mining", {"items": []}, False),
    ("keyword_mining ", {"items": []}, False),
])
def test_each_section_has_its_own_rule(section, data, expected):
    assert matches(section, {"data": data}) is expected


def test_scan_stops_at_the_first_hit_and_uses_the_dict_subclass_get():
    class Poisoned(dict):
        def __contains__(self, key):
            raise AssertionError("looked past the first hit")

    class Redirecting(dict):
        def get(self, key):
            return [HIT, Poisoned()]

    assert matches("frequency", Redirecting()) is True


class Raising(dict):
    def __init__(self, error):
        super().__init__()
        self.error = error

    def __contains__(self, key):
        raise self.error

    def get(self, key):
        raise self.error


def entries(tb):
    return [(e.name, e.lineno) for e in traceback.extract_tb(tb) if e.filename == SOURCE]


@pytest.mark.parametrize("section, payload, line", [
    ("other", Raising(KeyError("payload.get")), 44),
    ("keyword_mining", {"data": Raising(KeyError("data.get"))}, 50),
    ("keyword_reverse", {"data": Raising(KeyError("data.get"))}, 52),
    ("reverse_monthly", {"data": Raising(KeyError("in"))}, 54),
    ("reverse_stats", {"data": Raising(KeyError("in"))}, 56),
])
def test_rule_errors_propagate_from_their_line(section, payload, line):
    with pytest.raises(KeyError) as excinfo:
        matches(section, payload)
    assert entries(excinfo.tb)[-1] == (METHOD, line)


@pytest.mark.parametrize("section", ["frequency", "reverse_frequency"])
def test_scan_errors_get_an_inner_genexpr_entry(section):
    with pytest.raises(KeyError) as excinfo:
        matches(section, {"data": [Raising(KeyError("scan"))]})
    assert entries(excinfo.tb)[-2:] == [(METHOD, 47), ("genexpr", 47)]


def test_stop_iteration_in_the_scan_becomes_runtime_error():
    with pytest.raises(RuntimeError, match="generator raised StopIteration") as excinfo:
        matches("frequency", {"data": [Raising(StopIteration(7))]})
    assert isinstance(excinfo.value.__cause__, StopIteration)


@pytest.mark.parametrize("section", [None, type("Name", (str,), {})("frequency")])
def test_section_must_be_an_exact_str(section):
    with pytest.raises(TypeError, match="Argument 'section' has incorrect type"):
        matches(section, Untouchable())


@pytest.mark.parametrize("section, expected", [
    ("".join(["reverse", "_stats"]), True),   # made at run time: not interned
    ("".join(["reverse", "_statz"]), False),
    ("".join(["keyword", "_mining"]), False),
])
def test_sections_made_at_run_time_compare_by_content(section, expected):
    assert matches(section, {"data": {"statDto": 1, "asin": 1}}) is expected
