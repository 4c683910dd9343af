"""Property-based tests: arbitrary calls, payloads, URLs and coroutine
protocol runs against plain Python models of what the methods promise.

Deterministic (derandomize) and without an example database, so every run
tries the same examples and writes nothing into the source tree.
"""

import contextlib
import inspect
import math
import random
import re
import sys
import tempfile
import warnings
from pathlib import Path
from urllib.parse import urlparse

import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st
from hypothesis.configuration import set_hypothesis_home_dir

from tarnix.auth.storage.login_vault import LoginVault
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher
from test_coroutine import Fetch, FullFetch, Halt, Side


# Hypothesis caches its Unicode tables under its home directory, by default
# in the current one: keep the source tree clean.
set_hypothesis_home_dir(str(Path(tempfile.gettempdir()) / "tarnix-hypothesis"))


def fuzz(examples):
    # The conftest fixtures (fake keyring, config directory) are set up once
    # per test, not per example; no example relies on their being fresh.
    return settings(max_examples=examples, derandomize=True, database=None, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


DOMAIN = "sellersprite.com"
SECTIONS = ["frequency", "reverse_frequency", "keyword_mining", "keyword_reverse",
            "reverse_monthly", "reverse_stats"]


# --- arbitrary calls ------------------------------------------------------------


class Text(str):
    pass


class Mapping(dict):
    pass


class MemoryVault(LoginVault):
    """The record kept in memory, so that the updating bodies run cheaply."""

    record = None

    def load(self):
        return self.record

    def _save(self, data):
        self.record = data


VALUES = st.one_of(
    st.none(), st.booleans(), st.integers(-10**6, 10**6), st.floats(-1e6, 1e6),
    st.sampled_from([math.nan, math.inf]), st.text(max_size=6), st.builds(Text, st.text(max_size=3)),
    st.binary(max_size=3), st.dictionaries(st.text(max_size=3), st.integers(), max_size=2),
    st.builds(Mapping), st.lists(st.integers(), max_size=2), st.builds(object),
)

BINDING_ERROR = re.compile(
    r"\w+\(\) (takes (exactly|at least|at most) \d+ positional arguments? \(\d+ given\)"
    r"|needs keyword-only argument \w+"
    r"|got an unexpected keyword argument '\w+'"
    r"|got multiple values for keyword argument '\w+'"
    r")$"
    r"|Argument '\w+' has incorrect type \(expected [\w ]+, got \w+\)"
    r"(\. Subclasses of built-in types are not accepted here: "
    r"pass an exact instance of the built-in type\.)?$")

# name -> (class, errors its body may raise for arguments that bind)
METHODS = {
    "LoginVault.__init__": (LoginVault, (TypeError, ValueError, OSError)),  # Path(), mkdir
    "LoginVault.base_dir": (LoginVault, ()),
    "LoginVault.load": (LoginVault, ()),
    "LoginVault._save": (LoginVault, ()),
    "LoginVault.save_session": (MemoryVault, ()),
    "LoginVault.save_token": (MemoryVault, ()),
    "LoginVault.remove_token": (MemoryVault, ()),
    "LoginVault.clear": (LoginVault, ()),
    "SellerSpriteFeedCatcher.__init__": (SellerSpriteFeedCatcher, ()),
    "SellerSpriteFeedCatcher.capture_json_response": (SellerSpriteFeedCatcher, ()),
    "SellerSpriteFeedCatcher._matches_section_payload": (SellerSpriteFeedCatcher, ()),
    "SellerSpriteFeedCatcher.get_payload": (SellerSpriteFeedCatcher, ()),
    "SellerSpriteFeedCatcher.save_all": (SellerSpriteFeedCatcher, (AttributeError,)),  # no Path
}


def function_of(cls, name):
    member = inspect.getattr_static(cls, name)
    return member.fget if isinstance(member, property) else member


def expected_binding_error(function, instance, args, kwargs):
    """What the documented binding rules make of a call: an exception type, or
    None when the body runs.  Signature binding as for any Python function;
    then every `int` argument goes through int(), then each argument annotated
    with a built-in type must be exactly of that type (`| None` admits None)."""
    signature = inspect.signature(function)
    try:
        bound = signature.bind(instance, *args, **kwargs)
    except TypeError:
        return TypeError
    for name, value in bound.arguments.items():
        if signature.parameters[name].annotation == "int" and type(value) is not int:
            if not isinstance(value, (int, float, complex)):
                return TypeError
            try:
                int(value)
            except (ValueError, OverflowError) as error:
                return type(error)
    exact = {"str": str, "dict": dict}
    for name, value in bound.arguments.items():
        annotation = signature.parameters[name].annotation
        if isinstance(annotation, str) and annotation.endswith(" | None") and value is None:
            continue
        wanted = exact.get(annotation.removesuffix(" | None") if isinstance(annotation, str) else None)
        if wanted is not None and type(value) is not wanted:
            return TypeError
    return None


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    """Where the store's files go, and the working directory for the relative
    paths an arbitrary base_dir names."""
    memory = Path("/dev/shm")
    if memory.is_dir():
        with tempfile.TemporaryDirectory(dir=memory) as directory:
            yield Path(directory)
    else:
        yield tmp_path_factory.mktemp("fuzz")


# Well-typed values per annotation, so that many calls get past binding and
# run their bodies.
TYPED = {
    "str": st.text(max_size=6),
    "str | None": st.none() | st.text(max_size=6),
    "int": st.integers(-10**5, 10**5) | st.floats(-1e5, 1e5),
    "dict": st.dictionaries(st.text(max_size=3), st.integers() | st.text(max_size=3), max_size=3),
    "Path": st.builds(Path, st.sampled_from(["out", "out/deeper"])),
    "Path | None": st.none() | st.sampled_from(["", "relative", "relative/store"]),
}
NAMES = st.sampled_from(["self", "base_dir", "data", "session_id", "email", "expires_at", "device_code",
                         "system_key", "jwt", "expires_in", "response", "section", "url_keyword", "payload",
                         "target_dir", "other"])


@st.composite
def calls(draw, function):
    """Argument lists near a valid call: each parameter omitted, well typed
    or arbitrary, by position or by keyword; sometimes one argument too many."""
    # Plain random choices: the generator's own draws lean towards "simplest"
    # and would leave out nearly every parameter.
    chance = random.Random(draw(st.integers(0, 2**32))).random
    args, kwargs, by_keyword = [], {}, False
    for param in list(inspect.signature(function).parameters.values())[1:]:
        if chance() < 0.1:
            continue
        value = draw(TYPED.get(param.annotation, VALUES) if chance() < 0.8 else VALUES)
        by_keyword = by_keyword or param.kind is param.KEYWORD_ONLY or chance() < 0.3
        if by_keyword:
            kwargs[param.name] = value
        else:
            args.append(value)
    if chance() < 0.15:
        args.append(draw(VALUES))
    if chance() < 0.15:
        kwargs[draw(NAMES)] = draw(VALUES)
    return args, kwargs


@pytest.mark.parametrize("qualified", list(METHODS))
@fuzz(150)
@given(data=st.data())
def test_arbitrary_calls_give_a_result_or_the_binding_error(scratch, qualified, data):
    class_name, name = qualified.split(".")
    cls, body_errors = METHODS[qualified]
    function = function_of(cls, name)
    args, kwargs = data.draw(calls(function))
    with contextlib.chdir(scratch):
        instance = cls(scratch / "store") if issubclass(cls, LoginVault) else cls()
        expected = expected_binding_error(function, instance, args, kwargs)
        event("refused" if expected else "bound")
        try:
            result = function(instance, *args, **kwargs)
        except Exception as error:  # noqa: BLE001 - compared with the model below
            if expected is not None:
                assert type(error) is expected
                if expected is TypeError:
                    assert BINDING_ERROR.match(str(error)), error
                return
            assert isinstance(error, body_errors) and not BINDING_ERROR.match(str(error)), error
            return
    assert expected is None, f"bound although {expected.__name__} was due"
    if name == "capture_json_response":
        result.close()


# --- section payloads -------------------------------------------------------------


def model_matches(section, payload):
    """The six recognition rules, as the tool's Python source states them."""
    if not isinstance(payload, dict):
        return False
    data = payload.get("data")
    if section in ("frequency", "reverse_frequency"):
        return isinstance(data, list) and any(
            isinstance(item, dict) and "frequency" in item and "keyword" in item for item in data)
    if section == "keyword_mining":
        return isinstance(data, dict) and isinstance(data.get("items"), list)
    if section == "keyword_reverse":
        return isinstance(data, dict) and isinstance(data.get("items"), list) and "asin" in data
    if section == "reverse_monthly":
        return isinstance(data, dict) and "monthlyDto" in data and "variations" in data
    if section == "reverse_stats":
        return isinstance(data, dict) and "statDto" in data and "asin" in data
    return False


RULE_KEYS = ["data", "items", "asin", "frequency", "keyword", "monthlyDto", "variations", "statDto", "other"]
SCALARS = [None, True, False, 0, 1, -2.5, 2**70, "", "k", "é", "data"]


def json_value(pick, depth):
    """A JSON-like value whose objects mostly carry the keys the rules test."""
    kind = pick.randrange(6 if depth < 3 else 2)
    if kind < 2:
        return pick.choice(SCALARS)
    if kind < 4:
        return [json_value(pick, depth + 1) for _ in range(pick.randrange(4))]
    return {key: json_value(pick, depth + 1) for key in pick.sample(RULE_KEYS, pick.randrange(5))}


def near_shape(pick, section):
    """`data` as the section's rule wants it, each part kept or spoiled at random."""
    def keys(*names):
        return {name: json_value(pick, 3) if pick.random() < 0.3 else [] for name in names if pick.random() < 0.8}

    if section in ("frequency", "reverse_frequency"):
        return [keys("frequency", "keyword") if pick.random() < 0.6 else json_value(pick, 2)
                for _ in range(pick.randrange(4))]
    return {"keyword_mining": lambda: keys("items"), "keyword_reverse": lambda: keys("items", "asin"),
            "reverse_monthly": lambda: keys("monthlyDto", "variations"),
            "reverse_stats": lambda: keys("statDto", "asin")}[section]()


@st.composite
def recognition_cases(draw):
    # Plain random choices: the generator's own draws lean towards "simplest"
    # and would almost never assemble a body that meets a rule.
    pick = random.Random(draw(st.integers(0, 2**32)))
    section = pick.choice(SECTIONS) if pick.random() < 0.8 else draw(
        st.sampled_from(["Frequency", " keyword_mining", "reverse_stats ", ""]) | st.text(max_size=8))
    # The shape of the section asked for, of another one, or none at all.
    shaped = section if section in SECTIONS and pick.random() < 0.7 else pick.choice(SECTIONS)
    data = near_shape(pick, shaped) if pick.random() < 0.8 else json_value(pick, 1)
    if pick.random() < 0.1:
        data = tuple(data) if isinstance(data, list) else [data]
    payload = {**{key: json_value(pick, 3) for key in pick.sample(RULE_KEYS, pick.randrange(3))}, "data": data}
    if pick.random() < 0.1:
        payload = pick.choice([json_value(pick, 1), [payload], payload.get("data")])
    return section, payload


@fuzz(1500)
@given(case=recognition_cases())
def test_recognition_agrees_with_the_rules(case):
    section, payload = case
    expected = model_matches(section, payload)
    event(f"matches: {expected}")
    assert SellerSpriteFeedCatcher()._matches_section_payload(section, payload) is expected


# --- URLs -----------------------------------------------------------------------


def model_records(url, keyword):
    """The domain test on the host the URL names (the authority ends at a
    backslash, as in a browser; its credentials and port dropped; an IP
    literal is never the service's host), then the keyword test on the whole
    URL.  urlparse's own errors propagate."""
    host = urlparse(url).netloc.lower().partition("\\")[0].rpartition("@")[2]
    if host.startswith("["):
        return False
    host = host.partition(":")[0]
    return (host == DOMAIN or host.endswith("." + DOMAIN)) and keyword in url


class Response:
    status = 200

    def __init__(self, url):
        self.url = url
        self.fetched = False

    async def json(self):
        self.fetched = True
        return {"data": {"items": []}}


HOSTS = st.sampled_from([DOMAIN, "www." + DOMAIN, "WWW.SellerSprite.COM", "a.b." + DOMAIN, DOMAIN + ".evil.io",
                         "evil" + DOMAIN, "sellersprite.co", "example.com", "[::1]", "127.0.0.1", ""])
URL_TEXT = st.text(alphabet="abcDEF019-._~:/?#[]@!$&'()*+,;=%ü \\", max_size=12)
URLS = st.one_of(
    st.builds("{}://{}{}{}{}/{}".format,
              st.sampled_from(["https", "http", "HTTPS", "ftp", ""]),
              st.sampled_from(["", "user@", DOMAIN + "@", "u:p@", "@", "evil.io\\@", DOMAIN + "\\"]),
              HOSTS | URL_TEXT,
              st.sampled_from(["", ":443", ":", ":x"]),
              st.sampled_from(["", "/keyword-miner", "/v3/api/keyword-miner?x=1", "/" + DOMAIN]),
              URL_TEXT),
    st.text(max_size=40),
)


@fuzz(1000)
@given(url=URLS, keyword=st.sampled_from(["keyword-miner", "km", "", "Keyword", DOMAIN]) | st.text(max_size=3))
def test_url_filters_agree_with_the_domain_and_keyword_tests(url, keyword):
    catcher, response = SellerSpriteFeedCatcher(), Response(url)
    capture = catcher.capture_json_response(response, section="keyword_mining", url_keyword=keyword)
    try:
        expected = model_records(url, keyword)
    except ValueError:
        event("urlparse refuses")
        with pytest.raises(ValueError):
            capture.send(None)
        return
    event(f"recorded: {expected}")
    with pytest.raises(StopIteration):
        capture.send(None)
    assert ("keyword_mining" in catcher.responses) is expected
    assert response.fetched is expected


# --- the coroutine protocol ---------------------------------------------------------

STEPS = [("send", None), ("send", 7), ("throw", ValueError), ("throw", ValueError("v")), ("throw", Halt),
         ("throw", GeneratorExit), ("throw", StopIteration), ("throw", StopIteration(3)),
         ("throw", KeyError, "k", None), ("close",)]


def fetch_maker(pick):
    """How the awaited body behaves: yields, result, and its answer to throw and close."""
    yields = tuple(range(pick.randrange(4)))
    result = pick.choice([{"data": {"items": []}}, {"data": {}}, None, 5])
    kind = pick.randrange(3)
    if kind == 0:
        return lambda log: Fetch(log, yields=yields, result=result)
    if kind == 1:
        on_throw = pick.choice(["raise", "yield", "return"])
        close_error = pick.choice([None, ValueError("c"), Halt("c"), StopIteration(2)])
        return lambda log: FullFetch(log, on_throw=on_throw, close_error=close_error, yields=yields, result=result)
    failure = pick.choice([42, ValueError, None])  # not awaitable, or json() itself fails
    return lambda log: failure() if isinstance(failure, type) else failure


def finish(side, unraisable):
    """Drops the coroutine (finalising it if suspended); what that reported.
    The side held the only reference, so no collection is needed."""
    side.co = None
    reported, unraisable[:] = [type(u.exc_value) for u in unraisable], []
    return reported


# CPython's debug builds from 3.12 on abort on an assertion (genobject.c)
# when StopIteration is thrown into a coroutine that has not started; release
# builds raise it back.  The twin cannot be taken through that there.
TWIN_ABORTS_ON_EARLY_STOP = hasattr(sys, "gettotalrefcount") and sys.version_info >= (3, 12)


def stop_thrown_before_start(steps):
    for name, *args in steps:
        if name == "send" and args[0] is not None:
            continue  # refused with a TypeError: still not started
        return name == "throw" and (args[0] is StopIteration or isinstance(args[0], StopIteration))
    return False


@pytest.mark.parametrize("through_await", [False, True], ids=["coroutine", "await wrapper"])
@fuzz(400)
@given(seed=st.integers(0, 2**32))
def test_random_protocol_runs_match_the_interpreters_coroutine(through_await, seed, monkeypatch):
    pick = random.Random(seed)
    make = fetch_maker(pick)
    steps = [pick.choice(STEPS + [("__next__",)] * through_await) for _ in range(pick.randrange(1, 7))]
    if pick.random() < 0.3:
        steps = [("send", None)] * pick.randrange(1, 3)  # often left suspended: the finaliser's turn
    assume(not (TWIN_ABORTS_ON_EARLY_STOP and stop_thrown_before_start(steps)))
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # never-awaited warnings, alike on both sides
        ours, theirs = Side("ours", make), Side("twin", make)
        if through_await:
            ours.co, theirs.co = ours.co.__await__(), theirs.co.__await__()
        outcome = ours.run(steps), finish(ours, unraisable)
        event(f"finaliser reported: {outcome[1]}")
        # Our body's StopIteration guard names generators, as the tool's own did.
        expected = [tuple(part.replace("coroutine raised", "generator raised") if isinstance(part, str) else part
                          for part in step) if isinstance(step, tuple) else step for step in theirs.run(steps)]
        assert outcome == (expected, finish(theirs, unraisable)), steps
    assert ours.log == theirs.log
    assert ours.recorder.responses == theirs.recorder.responses


# --- module globals rebound, throw() shapes ------------------------------------------

from plain_classes import plain_python  # noqa: E402
from test_call_order import DELETE, NATIVE, outcome, vault_case  # noqa: E402
from test_coroutine import Unmade, awaiting_coroutine, given_traceback, suspended_coroutine, suspended_generator  # noqa: E402

GLOBALS = ["keyring", "_KEYRING_SERVICE", "_KEYRING_ACCOUNT", "json", "datetime", "timezone", "timedelta",
           "time", "stat", "_logger"]
VAULT_CALLS = {
    "load": lambda v: v.load(),
    "_save": lambda v: v._save({"a": 1}),
    "clear": lambda v: v.clear(),
    "save_token": lambda v: v.save_token("s", "j", 5),
    "save_session": lambda v: v.save_session("s", "e", "x"),
    "remove_token": lambda v: v.remove_token("s"),
}


@fuzz(60)
@given(call=st.sampled_from(list(VAULT_CALLS)),
       edits=st.dictionaries(st.sampled_from(GLOBALS), st.sampled_from([None, DELETE]), min_size=1, max_size=3))
def test_calls_with_module_globals_deleted_or_none_match_the_plain_class(config_dir, monkeypatch, call, edits):
    run = VAULT_CALLS[call]
    ours = vault_case(config_dir, monkeypatch, NATIVE, LoginVault, edits, run)
    theirs = vault_case(config_dir, monkeypatch, plain_python, plain_python.LoginVault, edits, run)
    event(ours[0])
    assert ours == theirs


THROWN = st.sampled_from([
    (ValueError,), (ValueError("v"),), (ValueError, None), (ValueError, "v"), (ValueError, ("a", "b")),
    (ValueError, ValueError("y")), (ValueError("x"), "separate"), (ValueError, None, None),
    (ValueError, ValueError("y"), given_traceback()), (ValueError, "v", "no traceback"), (3,), (3, None),
    (Halt,), (Halt, "h"), (Unmade,),
])


@fuzz(80)
@given(make=st.sampled_from([Fetch, FullFetch, suspended_coroutine, suspended_generator, awaiting_coroutine]),
       throws=st.lists(THROWN, min_size=1, max_size=2))
def test_throw_shapes_into_an_awaited_object_match_the_interpreters_coroutine(make, throws):
    def run(side):
        side.run([("send", None)])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            outcome = side.run([("throw", *args) for args in throws])
        side.co.close()
        return outcome, side.log, [(w.category, str(w.message)) for w in caught]

    refused_below = make is awaiting_coroutine and sys.version_info >= (3, 12) and any(
        isinstance(args[0], BaseException) and len(args) > 1 and args[1] is not None
        or len(args) > 2 and args[2] is not None and not isinstance(args[2], type(given_traceback()))
        for args in throws)
    if refused_below:
        event("refused below the awaited coroutine: one warning more")
        return
    ours, theirs = Side("ours", make), Side("twin", make)
    assert run(ours) == run(theirs), throws
