"""What profilers see of the native methods: the events of a Python function.

The same workload runs under sys.setprofile against the native classes and
against their plain-Python rendering (bench/plain_python.py); the events of
the classes' own functions must come in the same order.
"""

import asyncio
import cProfile
import pstats
import sys
import traceback

import pytest

from plain_classes import plain_python
from tarnix.auth.storage.login_vault import LoginVault
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

METHODS = {"__init__", "base_dir", "load", "_save", "save_session", "save_token", "remove_token", "clear",
           "capture_json_response", "_matches_section_payload", "get_payload", "save_all"}
NATIVE_FILES = {"tarnix/auth/storage/login_vault", "tarnix/seller_sprite/scraping/feed_catcher"}
URL = "https://www.sellersprite.com/v3/api/keyword-miner?q=1"


plain = plain_python
PLAIN_FILE = plain.__file__


class Response:
    def __init__(self, url=URL, body=None):
        self.url, self.status, self.body = url, 200, body

    async def json(self):
        await asyncio.sleep(0)  # the body arrives later: the capture suspends
        if self.body is None:
            raise ValueError("not JSON")
        return self.body


def workload(vault_class, catcher_class, directory):
    vault = vault_class(base_dir=directory / "store")
    vault.base_dir
    vault.save_session("s-1", "a@example.com", "2030-01-01T00:00:00+00:00")
    vault.save_token("erp", "jwt", 60)
    vault.load()
    vault.remove_token("erp")
    vault.remove_token("crm")
    vault.clear()
    try:
        vault.remove_token()
    except TypeError:
        pass

    catcher = catcher_class()

    async def captures():
        await catcher.capture_json_response(Response("https://example.com/x"), section="keyword_mining",
                                            url_keyword="keyword")
        await catcher.capture_json_response(Response(body={"data": []}), section="keyword_mining",
                                            url_keyword="keyword")
        await catcher.capture_json_response(Response(body={"data": {"items": []}}), section="keyword_mining",
                                            url_keyword="keyword")

    asyncio.run(captures())
    catcher.get_payload("keyword_mining")
    catcher.save_all(directory / "saved")


def own_events(vault_class, catcher_class, directory):
    """(event, function, whether at its first line) of the classes' own functions."""
    seen = []

    def profile(frame, event, arg):
        code = frame.f_code
        if event in ("call", "return") and code.co_name in METHODS and (
                code.co_filename in NATIVE_FILES or code.co_filename == PLAIN_FILE):
            seen.append((event, code.co_name, frame.f_lineno == code.co_firstlineno if event == "call" else None))

    sys.setprofile(profile)
    try:
        workload(vault_class, catcher_class, directory)
    finally:
        sys.setprofile(None)
    return seen


def test_the_profile_events_match_the_plain_classes(tmp_path):
    ours = own_events(LoginVault, SellerSpriteFeedCatcher, tmp_path / "ours")
    theirs = own_events(plain.LoginVault, plain.SellerSpriteFeedCatcher, tmp_path / "plain")
    assert ours == theirs
    assert ours.count(("call", "capture_json_response", False)) == 2  # two captures resumed
    assert ours.count(("call", "_save", True)) == 3


def refused_then_failing(vault, catcher):
    with pytest.raises(TypeError):
        vault.remove_token(1)         # refused before the body: no frame, no event
    with pytest.raises(TypeError):
        vault._save({"x": object()})  # json.dumps fails at line 102


@pytest.mark.parametrize("work, expected", [
    # No file yet: load returns None from the existence test at line 91.
    (lambda vault, catcher: vault.load(),
     [("call", "load", 73, None), ("return", "load", 91, None)]),
    (refused_then_failing,
     [("call", "_save", 100, None), ("return", "_save", 102, None)]),
    (lambda vault, catcher: catcher._matches_section_payload("frequency", {"data": [1, {"keyword": 1, "frequency": 2}]}),
     [("call", "_matches_section_payload", 40, None), ("call", "genexpr", 47, None),
      ("return", "genexpr", 47, True), ("return", "_matches_section_payload", 47, True)]),
], ids=["load", "argument error, then a failing body", "element scan"])
def test_events_carry_the_functions_frame_and_lines(tmp_path, work, expected):
    vault, catcher = LoginVault(base_dir=tmp_path), SellerSpriteFeedCatcher()
    seen, callers = [], set()

    def profile(frame, event, arg):
        if frame.f_code.co_filename in NATIVE_FILES:
            seen.append((event, frame.f_code.co_name, frame.f_lineno, arg))
            callers.add((frame.f_code.co_name, frame.f_back.f_code.co_name))

    sys.setprofile(profile)
    try:
        work(vault, catcher)
    finally:
        sys.setprofile(None)
    assert seen == expected
    # f_back: the Python code that called the method, and the method that
    # runs the generator expression, as any() of a Python one shows it.
    caller = work.__code__.co_name
    assert callers == {(name, "_matches_section_payload" if name == "genexpr" else caller)
                       for _, name, _, _ in expected}


def resumption_events(catcher_class):
    catcher = catcher_class()
    co = catcher.capture_json_response(Response(body={"data": {"items": []}}), section="keyword_mining",
                                       url_keyword="keyword")
    frames, seen = set(), []

    def profile(frame, event, arg):
        if frame.f_code.co_name == "capture_json_response" and event in ("call", "return"):
            frames.add(id(frame))
            seen.append((event, frame.f_lineno, frame.f_back is not None, frame is co.cr_frame))

    sys.setprofile(profile)
    try:
        co.send(None)  # suspends in the await of the body
        suspended = co.cr_frame
        with pytest.raises(StopIteration):
            co.send(None)  # records the payload
    finally:
        sys.setprofile(None)
    assert frames == {id(suspended)}
    assert co.cr_frame is None and catcher.responses  # finished, as the interpreter's coroutines
    # Whether the finished frame still names its last caller depends on the
    # interpreter version; it is compared with the plain coroutine's.
    return seen, suspended.f_back is None


def test_each_resumption_of_a_coroutine_is_a_call_on_its_own_frame():
    seen, finished_without_caller = resumption_events(SellerSpriteFeedCatcher)
    plain_seen, plain_finished_without_caller = resumption_events(plain.SellerSpriteFeedCatcher)
    # Suspended at the await of line 29, the payload recorded at line 34.
    assert seen == [("call", 17, True, True), ("return", 29, True, True),
                    ("call", 29, True, True), ("return", 34, True, True)]
    assert [event[:1] + event[2:] for event in seen] == [event[:1] + event[2:] for event in plain_seen]
    assert finished_without_caller == plain_finished_without_caller


def failing_profile_entries(vault_class, directory, fail_on):
    vault = vault_class(base_dir=directory)
    code = vault_class.load.__code__

    class Boom(Exception):
        pass

    def profile(frame, event, arg):
        if frame.f_code is code and event == fail_on:
            raise Boom(event)

    sys.setprofile(profile)
    try:
        with pytest.raises(Boom) as info:
            vault.load()
    finally:
        sys.setprofile(None)
    # The interpreter removes a Python profile function that raised.
    assert sys.getprofile() is None
    # Where the frame's entries are: at its first line, or elsewhere.
    return [entry.lineno == code.co_firstlineno for entry in traceback.extract_tb(info.value.__traceback__)
            if entry.filename == code.co_filename]


@pytest.mark.parametrize("fail_on", ["call", "return"])
def test_a_profile_function_that_raises(tmp_path, fail_on):
    # As for a Python function, on the same interpreter: which entries the
    # failure adds (the interpreter's own for the frame, and before 3.12 one
    # of the profile function's wrapper) and at which lines.
    assert (failing_profile_entries(LoginVault, tmp_path / "ours", fail_on) ==
            failing_profile_entries(plain.LoginVault, tmp_path / "plain", fail_on))


def test_a_profile_function_removed_inside_a_call(tmp_path):
    vault = LoginVault(base_dir=tmp_path)
    seen = []

    def profile(frame, event, arg):
        if frame.f_code.co_filename in NATIVE_FILES:
            seen.append((event, frame.f_code.co_name))
        if frame.f_code.co_name == "read_bytes" or frame.f_code.co_name == "exists":
            sys.setprofile(None)

    sys.setprofile(profile)
    try:
        vault.load()
    finally:
        sys.setprofile(None)
    assert seen == [("call", "load")]


def rows(stats, files):
    found = {}
    for (filename, line, name), (calls, primitive, _, _, callers) in stats.stats.items():
        if filename in files and name in METHODS | {"genexpr"}:
            found[name] = calls
    return found


def callees(stats, files, method):
    named = {}
    for (filename, line, name), (_, _, _, _, callers) in stats.stats.items():
        for (caller_file, _, caller_name) in callers:
            if caller_file in files and caller_name == method:
                named.setdefault(name, 0)
    return set(named)


def test_cprofile_lists_every_method_with_its_calls_and_callees(tmp_path):
    profiles = {}
    for side, (vault_class, catcher_class) in {"ours": (LoginVault, SellerSpriteFeedCatcher),
                                               "plain": (plain.LoginVault, plain.SellerSpriteFeedCatcher)}.items():
        profiler = cProfile.Profile()
        profiler.runcall(workload, vault_class, catcher_class, tmp_path / side)
        profiles[side] = pstats.Stats(profiler)
    ours, theirs = rows(profiles["ours"], NATIVE_FILES), rows(profiles["plain"], {PLAIN_FILE})
    assert set(ours) == METHODS
    assert ours == {name: calls for name, calls in theirs.items() if name in METHODS}
    expected_callees = {
        "save_token": {"load", "_save"},
        "load": {"exists"},
        "_save": {"dumps", "encrypt"},
        "capture_json_response": {"urlparse", "_matches_section_payload", "json"},
        "save_all": {"mkdir", "dumps", "write_text"},
    }
    for method, names in expected_callees.items():
        assert names <= callees(profiles["ours"], NATIVE_FILES, method), method
        assert names <= callees(profiles["plain"], {PLAIN_FILE}, method), method


@pytest.mark.parametrize("steps", [
    [("send", None), ("send", None)],
    [("send", None), ("throw", ValueError("x"))],
    [("send", None), ("close",)],
    [("close",)],
], ids=["send", "throw", "close", "close unstarted"])
def test_resumptions_give_the_events_of_the_interpreters_coroutine(steps):
    import test_coroutine

    def events_of(kind):
        side = test_coroutine.Side(kind, test_coroutine.Fetch)
        names = {"capture_json_response", "twin"}
        seen = []

        def profile(frame, event, arg):
            if event in ("call", "return") and frame.f_code.co_name in names:
                seen.append(event)

        sys.setprofile(profile)
        try:
            side.run(steps)
        finally:
            sys.setprofile(None)
        return seen

    assert events_of("ours") == events_of("twin")
