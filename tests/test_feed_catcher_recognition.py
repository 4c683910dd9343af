"""Recognising each section's payload by the shape of its body."""

import traceback

import pytest

from plain_classes import plain_python
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


# --- instance tests as isinstance makes them ------------------------------------


plain = plain_python.SellerSpriteFeedCatcher


class Posing:
    """Passes for another class through __class__, as proxies and mocks do."""

    def __init__(self, cls, target):
        self.cls, self.target = cls, target

    @property
    def __class__(self):
        return self.cls

    def get(self, key, default=None):
        return self.target.get(key, default)

    def __contains__(self, key):
        return key in self.target

    def __iter__(self):
        return iter(self.target)


class ClassRaises:
    def __init__(self, error):
        self.error = error

    @property
    def __class__(self):
        raise self.error


def outcome(call, *args):
    try:
        return "value", call(*args)
    except Exception as error:
        return "raise", type(error), str(error), entries(error.__traceback__)[-2:]


# Factories: pytest itself runs isinstance on parameters, so objects whose
# __class__ raises are made inside the test.
RECOGNITION_CASES = {
    "payload posing as a dict": ("frequency", lambda: Posing(dict, {"data": [HIT]})),
    "payload whose __class__ is not a class": ("frequency", lambda: Posing("dict", {"data": [HIT]})),
    "payload whose __class__ is missing": ("frequency", lambda: ClassRaises(AttributeError("gone"))),
    "data posing as a list": ("reverse_frequency", lambda: {"data": Posing(list, [HIT])}),
    "element posing as a dict": ("frequency", lambda: {"data": [1, Posing(dict, HIT)]}),
    "data and items posing": ("keyword_reverse", lambda: {"data": Posing(dict, {"items": Posing(list, []), "asin": 1})}),
    "a list posing as a tuple": ("frequency", lambda: {"data": Posing(tuple, [HIT])}),
}


def raising(error):
    return ClassRaises(LookupError(error))


CLASS_ERROR_CASES = {
    "payload": ("other", lambda: raising("payload"), 42),
    "data, frequency": ("frequency", lambda: {"data": raising("data")}, 47),
    "element": ("reverse_frequency", lambda: {"data": [{}, raising("element")]}, 47),
    "data, keyword_mining": ("keyword_mining", lambda: {"data": raising("data")}, 50),
    "items, keyword_mining": ("keyword_mining", lambda: {"data": {"items": raising("items")}}, 50),
    "data, keyword_reverse": ("keyword_reverse", lambda: {"data": raising("data")}, 52),
    "data, reverse_monthly": ("reverse_monthly", lambda: {"data": raising("data")}, 54),
    "data, reverse_stats": ("reverse_stats", lambda: {"data": raising("data")}, 56),
}


@pytest.mark.parametrize("section, make", RECOGNITION_CASES.values(), ids=RECOGNITION_CASES.keys())
def test_instance_tests_honour_class_as_isinstance_does(section, make):
    expected = plain()._matches_section_payload(section, make())
    assert matches(section, make()) is expected


@pytest.mark.parametrize("section, make, line", CLASS_ERROR_CASES.values(), ids=CLASS_ERROR_CASES.keys())
def test_errors_reading_class_propagate_from_their_line(section, make, line):
    with pytest.raises(LookupError) as expected:
        plain()._matches_section_payload(section, make())
    with pytest.raises(LookupError) as excinfo:
        matches(section, make())
    assert str(excinfo.value) == str(expected.value)
    scan = [("genexpr", 47)] if str(excinfo.value) == "element" else []
    assert entries(excinfo.tb)[-1 - len(scan):] == [(METHOD, line)] + scan


@pytest.mark.parametrize("make", [
    lambda: Posing(dict, {}),               # passes the test, then fails the exact-dict result check
    lambda: Posing(list, []),
    lambda: raising("payload"),              # raised by the test itself
    lambda: ClassRaises(AttributeError()),   # the test's own lookup swallows it
], ids=["posing as a dict", "posing as a list", "__class__ raises", "__class__ missing"])
def test_get_payload_tests_the_payload_as_isinstance_does(make):
    ours, theirs = SellerSpriteFeedCatcher(), plain()
    ours.responses = {"frequency": {"payload": make()}}
    theirs.responses = {"frequency": {"payload": make()}}
    got, want = outcome(ours.get_payload, "frequency"), outcome(theirs.get_payload, "frequency")
    assert got[:3] == want[:3]
    if got[0] == "raise":
        assert got[3][-1] == ("tarnix.seller_sprite.scraping.feed_catcher.SellerSpriteFeedCatcher.get_payload", 65)
