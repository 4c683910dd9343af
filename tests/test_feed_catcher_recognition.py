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


# --- the lookups of the frameless path ------------------------------------------
#
# A payload of exact dicts with exact str keys is read without a frame, by the
# frame's own probe of the dict's hash table.  Each shape below takes it down
# another branch of the interpreter's table: index slots of one, two and four
# bytes, deleted entries, keys equal to the names without being them (text
# made at run time, not hashed yet), wide characters, the keys of an
# instance's __dict__ (a split table).  Both sides must give the same answers.

def built(pairs, *, grown=0, removed=()):
    """A dict holding `pairs`, after `grown` other keys came and went and the
    keys in `removed` were deleted."""
    result = {f"filler-{index}": index for index in range(grown)}
    result.update(pairs)
    for index in range(grown):
        del result[f"filler-{index}"]
    for key in removed:
        result.pop(key, None)
    return result


def made_at_run_time(text):
    """The same text, a different object, its hash not computed yet."""
    return "".join(list(text))


class Holder:
    pass


def split_table(pairs):
    holder = Holder()
    holder.__dict__.update(pairs)
    return holder.__dict__


SHAPES = {
    "small": lambda pairs: built(pairs),
    "two-byte slots": lambda pairs: built(pairs, grown=300),
    "four-byte slots": lambda pairs: built(pairs, grown=70_000),
    "big, still holding many keys": lambda pairs: {**{f"k{i}": i for i in range(1000)}, **pairs},
    "deleted entries": lambda pairs: built({"asin": 1, **pairs, "x": 2}, removed=("x", "asin")),
    "keys made at run time": lambda pairs: {made_at_run_time(key): value for key, value in pairs.items()},
    "wide characters beside": lambda pairs: {"ключ": 1, "鍵": 2, "🔑": 3, **pairs},
    "an instance's __dict__": split_table,
}
PAYLOAD_CASES = [
    ("frequency", {"keyword": "k", "frequency": 1}),
    ("frequency", {"keyword": "k"}),
    ("keyword_mining", {"items": []}),
    ("keyword_reverse", {"items": [], "asin": "B0"}),
    ("keyword_reverse", {"items": []}),
    ("reverse_monthly", {"monthlyDto": [], "variations": []}),
    ("reverse_stats", {"statDto": {}}),
    ("reverse_stats", {"statDto": {}, "asin": "B0"}),
]


@pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
@pytest.mark.parametrize("section, inner", PAYLOAD_CASES)
def test_dicts_of_every_table_layout_read_as_in_python(shape, section, inner):
    plain = plain_python.SellerSpriteFeedCatcher()
    data = [shape(inner)] if section.endswith("frequency") else shape(inner)
    payload = shape({"data": data})
    assert matches(section, payload) is plain._matches_section_payload(section, payload)

    native = SellerSpriteFeedCatcher()
    for catcher in (native, plain):
        catcher.responses = shape({section: shape({"payload": payload})})
    for name in (section, made_at_run_time(section), "absent"):
        assert native.get_payload(name) is plain.get_payload(name)
