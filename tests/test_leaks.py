"""Reference leaks: every operation, on its success and its error paths.

Each case runs a few thousand times after a warm-up; the interpreter's total
reference count must not grow with the number of runs, and no object of one
of our own types may survive.  Only the debug interpreter keeps that total
(sys.gettotalrefcount), so these run under `make test-leaks`.
"""

import asyncio
import functools
import gc
import logging
import os
import sys
import tempfile
import types
import warnings
from pathlib import Path

import pytest

from tarnix.auth.storage import login_vault
from tarnix.auth.storage.login_vault import LoginVault
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")

WARMUP = 50
ROUNDS = 2000
# Caches that fill once (method caches, dict resizes) may add a few
# references in total; a leak of one reference per run shows as ROUNDS.
SLACK = 40
# Some interpreters' caches fill over thousands of runs (3.13's debug build
# settles the capture paths only in the third window), so growth is measured
# in windows until one is flat: a leak grows in every window alike.
WINDOWS = 4
OWN_MODULES = {"_tarnix_frame", login_vault.__name__, SellerSpriteFeedCatcher.__module__}
URL = "https://www.sellersprite.com/v3/api/keyword-miner?q=1"


def own_objects():
    return sum(type(o).__module__ in OWN_MODULES for o in gc.get_objects())


def fails(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call!r} did not raise {error.__name__}")


class Interrupt(BaseException):
    pass


class PlainCrypto:
    """Stands in for Crypto: the release-built `cryptography` extension keeps
    no count in the debug interpreter's total, which would blur ours."""

    def __init__(self, key_path):
        self.key_path = key_path

    def encrypt(self, text):
        return b"plain:" + text.encode()

    def decrypt(self, data):
        if not data.startswith(b"plain:"):
            raise ValueError("not written by this stand-in")
        return data[6:].decode()


class Record(dict):
    pass


class Text(str):
    pass


class Body:
    """What `response.json()` returns: suspends once, then gives its value."""

    def __init__(self, value):
        self.value = value

    def __await__(self):
        yield
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Response:
    def __init__(self, url=URL, body=None, status=200):
        self.url, self.status, self.body = url, status, body

    def json(self):
        if self.body is None:
            raise ValueError("not JSON")
        return Body(self.body)


class StopOnUrl:
    status = 200

    @property
    def url(self):
        raise StopIteration


class StopInScan(dict):
    def __contains__(self, key):
        raise StopIteration


class Raising(dict):
    def get(self, key, default=None):
        raise KeyError(key)


class Posing:
    """Passes for a dict or a list through __class__; None: reading it fails."""

    def __init__(self, cls, target=()):
        self.cls, self.target = cls, target

    @property
    def __class__(self):
        if self.cls is None:
            raise LookupError("no class")
        return self.cls

    def __iter__(self):
        return iter(self.target)


MINING = {"data": {"items": []}}


@pytest.fixture
def discarding_log():
    """The debug lines of the store are formatted and dropped (not kept by
    pytest's log capture, which would look like a leak).

    Dropped by a filter of the logger itself, before any handler: pytest
    also attaches its capturing handler to loggers that do not propagate.
    """

    class Drop(logging.Filter):
        formatter = logging.Formatter()

        def filter(self, record):
            self.formatter.format(record)
            return False

    logger = logging.getLogger("tarnix.auth.storage")
    dropping, level = Drop(), logger.level
    logger.addFilter(dropping)
    logger.setLevel(logging.DEBUG)
    yield
    logger.removeFilter(dropping)
    logger.setLevel(level)


@pytest.fixture
def world(tmp_path, monkeypatch, keyring_backend, discarding_log):
    monkeypatch.setattr(login_vault, "Crypto", PlainCrypto)
    # The fake keyring logs every call; here that log would be the leak.
    monkeypatch.setattr(keyring_backend, "calls", type("Drop", (), {"append": lambda self, call: None})())
    # Every save syncs its file to disk; in memory that costs nothing.
    memory = Path("/dev/shm")
    scratch = tempfile.TemporaryDirectory(dir=memory if memory.is_dir() else tmp_path)
    directory = Path(scratch.name) / "store"
    loop = asyncio.new_event_loop()
    yield {
        "dir": directory,
        "vault": LoginVault(directory),
        "keyring_vault": LoginVault(),
        "keyring": keyring_backend,
        "catcher": SellerSpriteFeedCatcher(),
        "loop": loop,
    }
    loop.close()
    scratch.cleanup()


# --- the store ----------------------------------------------------------------
# Each case is named after the method it repeats.


def vault_init(w):
    LoginVault(w["dir"])
    LoginVault()
    LoginVault(base_dir="")
    fails(TypeError, LoginVault, w["dir"], 1)
    fails(TypeError, LoginVault, nowhere=1)
    fails(TypeError, LoginVault, 12)  # Path(12), from the body
    new = w["dir"] / "new"
    LoginVault(new)  # made private, then set to 0o700
    new.rmdir()
    new.write_bytes(b"")
    fails(FileExistsError, LoginVault, new)  # not a directory
    new.unlink()


def vault_base_dir(w):
    w["vault"].base_dir
    fails(TypeError, type(w["vault"]).base_dir.fget)


def vault_load(w):
    vault, path = w["vault"], w["dir"] / "credentials.bin"
    vault._save({"session_id": "s", "tokens": {}})
    vault.load()
    path.write_bytes(b"garbage")
    vault.load()  # unreadable: the file is dropped
    vault.load()  # no file
    path.write_bytes(b"plain:[1]")
    vault.load()  # neither a dict nor None
    path.mkdir()
    vault.load()  # a read error keeps what is there
    path.rmdir()
    path.write_bytes(b"plain:\xff")
    vault.load()  # not UTF-8: the file is dropped
    vault._save({"session_id": "s"})
    crypto, vault._crypto = vault._crypto, None
    vault.load()  # no decrypt to call: the file stays
    vault._crypto = crypto
    fails(TypeError, vault.load, 1)
    # The keyring layer and its fallbacks
    vault, backend = w["keyring_vault"], w["keyring"]
    backend.entries[("tarnix-auth", "credentials")] = '{"session_id": "s"}'
    vault.load()
    backend.entries[("tarnix-auth", "credentials")] = "null"
    vault.load()
    backend.entries[("tarnix-auth", "credentials")] = "[1]"
    vault.load()  # refused result: logged, then the file
    backend.entries[("tarnix-auth", "credentials")] = "{"
    vault.load()  # not JSON: logged, then the file
    backend.failures["get_password"] = sys.modules["keyring"].errors.NoKeyringError()
    vault.load()  # silent fallback
    backend.failures["get_password"] = Interrupt()
    fails(Interrupt, vault.load)
    backend.failures.clear()
    # A clause that cannot test its exception: the global is gone
    keyring = login_vault.keyring
    del login_vault.keyring
    try:
        fails(NameError, vault.load)
        fails(NameError, vault._save, {})
    finally:
        login_vault.keyring = keyring
    # What the function reports as its class, and refuses to change
    assert LoginVault.load.__class__ is types.FunctionType
    fails(TypeError, setattr, LoginVault.load, "__class__", Record)


def vault_save(w):
    vault, keyring_vault, backend = w["vault"], w["keyring_vault"], w["keyring"]
    vault._save({"a": [1, 2.5, None, "é"]})
    keyring_vault._save({"a": 1})
    backend.failures["set_password"] = RuntimeError("locked")
    keyring_vault._save({"a": 1})  # logged, then the file
    backend.failures.clear()
    keyring_vault._save({"a": 1})  # the file from the fallback goes
    keyring_vault._path.mkdir()
    keyring_vault._save({"a": 1})  # it cannot go: logged
    keyring_vault._path.rmdir()
    backend.failures["set_password"] = sys.modules["keyring"].errors.NoKeyringError()
    keyring_vault._save({"a": 1})
    backend.failures["set_password"] = Interrupt()
    fails(Interrupt, keyring_vault._save, {"a": 1})
    backend.failures.clear()
    fails(TypeError, vault._save, {"a": object()})  # json.dumps
    fails(TypeError, vault._save, Record())
    fails(TypeError, vault._save, None)
    fails(TypeError, vault._save)
    fails(TypeError, vault._save, {}, {})
    fails(TypeError, vault._save, datum={})
    fails(TypeError, vault._save, {}, data={})
    path = w["dir"] / "credentials.bin"
    path.unlink()
    path.mkdir()
    fails(OSError, vault._save, {"a": 1})  # the rename fails: the temporary file goes
    path.rmdir()
    abandoned = w["dir"] / ".credentials.bin.999999999.x.tmp"  # no such process
    abandoned.write_bytes(b"")
    vault._save({"a": 1})  # fresh: kept
    os.utime(abandoned, (0, 0))
    vault._save({"a": 1})  # old: removed


def vault_save_session(w):
    vault = w["vault"]
    vault.save_session("s1", "a@x", "2030", "dev")
    vault.save_session("s1", "a@x", "2031")
    vault.save_session(session_id="s2", email="b@x", expires_at="2030", device_code=None)  # tokens dropped
    fails(TypeError, vault.save_session, "s", "e")
    fails(TypeError, vault.save_session, "s", "e", "x", None, 1)
    fails(TypeError, vault.save_session, "s", "e", "x", session_id="s")
    fails(TypeError, vault.save_session, "s", "e", "x", **{"pin": 1})
    fails(TypeError, vault.save_session, None, "e", "x")
    fails(TypeError, vault.save_session, "s", "e", "x", device_code=1)


def vault_save_token(w):
    vault = w["vault"]
    vault.save_token("erp", "jwt", 60)
    vault.save_token("erp", "jwt", 60.5)
    vault.save_token(system_key="crm", jwt="jwt", expires_in=True)
    fails(TypeError, vault.save_token, "k", Text("j"), 1)
    fails(TypeError, vault.save_token, "k", "j", "60")
    fails(ValueError, vault.save_token, "k", "j", float("nan"))
    fails(OverflowError, vault.save_token, "k", "j", 10**30)  # timedelta, in the body


def vault_remove_token(w):
    vault = w["vault"]
    vault.save_token("erp", "jwt", 60)
    vault.remove_token("erp")
    vault.remove_token("erp")
    fails(TypeError, vault.remove_token, 1)
    fails(TypeError, vault.remove_token)


def vault_clear(w):
    vault = w["vault"]
    vault._save({"a": 1})
    vault.clear()
    vault.clear()
    fails(TypeError, vault.clear, 1)
    vault, backend = w["keyring_vault"], w["keyring"]
    vault._save({"a": 1})
    vault.clear()
    vault.clear()  # nothing stored: logged
    backend.failures["delete_password"] = Interrupt()
    fails(Interrupt, vault.clear)
    backend.failures.clear()


# --- the recorder ---------------------------------------------------------------


def drive(co, *steps):
    """send/throw/close a capture by hand; returns how it ended."""
    try:
        for step, arg in steps:
            getattr(co, step)(*arg)
    except StopIteration:
        return "returned"
    except BaseException as error:  # noqa: B036 - every ending is a path here
        return type(error).__name__
    return "suspended"


def capture_paths(w):
    catcher = w["catcher"]
    capture = catcher.capture_json_response
    send = ("send", (None,))
    drive(capture(Response(body=MINING), section="keyword_mining", url_keyword="keyword"), send, send)
    drive(capture(Response(body={"x": 1}), section="keyword_mining", url_keyword="keyword"), send, send)
    drive(capture(Response(), section="keyword_mining", url_keyword="keyword"), send)  # decode fails
    drive(capture(Response(body=ValueError("late")), section="keyword_mining", url_keyword="k"), send, send)
    drive(capture(Response("https://example.com/keyword"), section="frequency", url_keyword="keyword"), send)
    drive(capture(Response(), section="frequency", url_keyword="absent"), send)
    drive(capture(Response("https://evil.io\\@www.sellersprite.com/keyword"), section="frequency",
                  url_keyword="keyword"), send)
    drive(capture(StopOnUrl(), section="frequency", url_keyword="k"), send)
    drive(capture(Response(body=MINING), section="frequency", url_keyword="k"), ("send", (1,)))
    drive(capture(Response(body=MINING), section="frequency", url_keyword="k"), send,
          ("throw", (asyncio.CancelledError,)))
    drive(capture(Response(body=MINING), section="frequency", url_keyword="k"), send,
          ("throw", (ValueError, ValueError("x"), None)))
    drive(capture(Response(body=MINING), section="frequency", url_keyword="k"), send, ("close", ()))
    drive(capture(Response(body=MINING), section="frequency", url_keyword="k"), ("close", ()))
    drive(capture(Response(body=MINING), section="frequency", url_keyword="k"), send)  # dropped suspended
    capture(Response(body=MINING), section="frequency", url_keyword="k")  # never awaited
    waiting = capture(Response(body=MINING), section="frequency", url_keyword="k").__await__()
    next(waiting)
    waiting.close()
    w["loop"].run_until_complete(capture(Response(body=MINING), section="keyword_mining", url_keyword="k"))
    fails(TypeError, capture, Response(), section=None, url_keyword="k")
    fails(TypeError, capture, Response(), section="s")
    fails(TypeError, capture, Response(), "s", url_keyword="k")
    fails(TypeError, capture, section="s", url_keyword="k")
    # Made while origin tracking is on: the origin, and the warning naming it
    depth = sys.get_coroutine_origin_tracking_depth()
    sys.set_coroutine_origin_tracking_depth(3)
    try:
        capture(Response(body=MINING), section="frequency", url_keyword="k")  # never awaited
        co = capture(Response(body=MINING), section="frequency", url_keyword="k")
    finally:
        sys.set_coroutine_origin_tracking_depth(depth)
    assert (co.cr_origin is not None, co.cr_suspended, co.__class__.__name__) == (True, False, "coroutine")
    drive(co, send)
    assert co.cr_suspended and co.cr_frame is not None
    fails(TypeError, setattr, co, "__class__", Record)
    drive(co, send)
    assert co.cr_frame is None


def recognition(w):
    match = w["catcher"]._matches_section_payload
    for section in ("frequency", "reverse_frequency"):
        match(section, {"data": [1, {"frequency": 1}, {"frequency": None, "keyword": "k"}]})
        match(section, {"data": []})
        match(section, {"data": {"frequency": 1}})
        fails(RuntimeError, match, section, {"data": [StopInScan()]})
    for payload in ({"data": {"items": [], "asin": 1, "monthlyDto": 1, "variations": 2, "statDto": 3}},
                    {"data": {"items": {}}}, {"data": None}, {}, [], None):
        for section in ("keyword_mining", "keyword_reverse", "reverse_monthly", "reverse_stats", "other"):
            match(section, payload)
    fails(KeyError, match, "frequency", Raising())
    match("frequency", {"data": Posing(list, [Posing(dict)])})
    match("keyword_mining", {"data": {"items": Posing(list)}})
    fails(LookupError, match, "frequency", {"data": [Posing(None)]})
    fails(LookupError, match, "reverse_stats", {"data": Posing(None)})
    fails(TypeError, match, None, {})
    fails(TypeError, match, "frequency")


def catcher_init(w):
    SellerSpriteFeedCatcher()
    fails(TypeError, SellerSpriteFeedCatcher, 1)
    fails(TypeError, SellerSpriteFeedCatcher, responses={})


def catcher_get_payload(w):
    catcher = w["catcher"]
    catcher.responses = {"keyword_mining": {"url": URL, "status": 200, "payload": {"data": {"items": []}}},
                         "frequency": {"payload": Record()}, "empty": {},
                         "posing": {"payload": Posing(dict)}, "raising": {"payload": Posing(None)}}
    catcher.get_payload("keyword_mining")
    catcher.get_payload("empty")
    catcher.get_payload("missing")
    fails(TypeError, catcher.get_payload, "frequency")
    fails(TypeError, catcher.get_payload, "posing")
    fails(LookupError, catcher.get_payload, "raising")
    fails(TypeError, catcher.get_payload, section=1)
    catcher.responses = None
    fails(AttributeError, catcher.get_payload, "frequency")


def catcher_save_all(w):
    catcher, directory = w["catcher"], w["dir"] / "saved"
    catcher.responses = {"keyword_mining": {"url": URL, "status": 200, "payload": {"data": {"items": ["é"]}}}}
    catcher.save_all(directory)
    fails(FileExistsError, catcher.save_all, directory / "keyword_mining.json")
    catcher.responses["frequency"] = {"payload": object()}
    fails(TypeError, catcher.save_all, directory)  # json.dumps
    catcher.responses = None
    fails(AttributeError, catcher.save_all, directory)
    fails(TypeError, catcher.save_all)


class ProfilerFailure(Exception):
    pass


def profiled(w):
    """The methods shown to a profile function: one that keeps count, one that
    raises (and is then removed by the interpreter), one that removes itself
    inside a call, and a coroutine dropped while suspended under a profiler."""
    vault, catcher = w["vault"], w["catcher"]
    events = []

    def counting(frame, event, arg):
        events.append(event)

    def raising_at(which):
        def profile(frame, event, arg):
            if event == which and frame.f_code.co_name in ("load", "capture_json_response"):
                raise ProfilerFailure(event)
        return profile

    def leaving(frame, event, arg):
        if frame.f_code.co_name == "exists":
            sys.setprofile(None)

    try:
        sys.setprofile(counting)
        vault.save_token("erp", "jwt", 60)
        fails(TypeError, vault.remove_token, 1)
        drive(catcher.capture_json_response(Response(body=MINING), section="keyword_mining", url_keyword="keyword"),
              ("send", (None,)), ("send", (None,)))
        catcher.capture_json_response(Response(body=MINING), section="keyword_mining",
                                      url_keyword="keyword").send(None)  # dropped suspended
        for which in ("call", "return"):
            sys.setprofile(raising_at(which))
            fails(ProfilerFailure, vault.load)
            sys.setprofile(raising_at(which))
            drive(catcher.capture_json_response(Response(body=MINING), section="keyword_mining", url_keyword="k"),
                  ("send", (None,)), ("send", (None,)))
        sys.setprofile(leaving)
        vault.load()
    finally:
        sys.setprofile(None)


class Rewriting:
    """A Python profile function (whose f_locals the interpreter writes back
    into the frame after each event) that rewrites load's locals at its call."""

    def __init__(self, rewrite):
        self.rewrite = rewrite

    def __call__(self, frame, event, arg):
        if event == "call" and frame.f_code is LoginVault.load.__code__:
            self.rewrite(frame.f_locals)


def dispatch(frame, event, arg):
    return dispatch


class Debugging(PlainCrypto):
    """Starts a pdb-like debugger inside _save: f_trace on every frame up to
    the case's own, then the trace function."""

    def __init__(self, bottom):
        self.bottom = bottom

    def encrypt(self, text):
        frame = sys._getframe(1)
        while frame is not None:
            frame.f_trace = dispatch
            frame = None if frame is self.bottom else frame.f_back
        sys.settrace(dispatch)
        return super().encrypt(text)


REWRITES = [lambda f_locals: f_locals.__setitem__("self", Record()),
            lambda f_locals: f_locals.__setitem__("raw", Record())]
# Before 3.13 f_locals is a dict written back into the frame, so locals can
# be removed through it; from 3.13 on it is a proxy that refuses that
# (ValueError), as it does for a Python function's frame.
if sys.version_info < (3, 13):
    REWRITES += [lambda f_locals: f_locals.pop("self"), dict.clear]


def rewritten_frames(w):
    vault = w["vault"]
    for rewrite in REWRITES:
        sys.setprofile(Rewriting(rewrite))
        try:
            vault.save_token("erp", "jwt", 60)
            vault.remove_token("erp")
        finally:
            sys.setprofile(None)
    here = sys._getframe()
    crypto, vault._crypto = vault._crypto, Debugging(here)
    try:
        vault._save({"a": 1})
    finally:
        sys.settrace(None)
        vault._crypto = crypto
        here.f_trace = None


class Reading:
    """What load reads its file through: `read_bytes` is called from the
    body with no arguments; what it returns reaches decrypt."""

    def __init__(self, read_bytes):
        self.read_bytes = read_bytes

    def exists(self):
        return True

    def decrypt(self, data):
        return "null"


FRAME_READERS = (dir, locals, vars, globals, functools.partial(eval, "self"), functools.partial(eval, "dir()"))


def frame_reading_builtins(w):
    vault = w["vault"]
    path, crypto = vault._path, vault._crypto
    try:
        for reader in FRAME_READERS:
            vault._path = vault._crypto = Reading(reader)
            vault.load()  # the frame's f_locals are made without a frame object
        vault._path.exists = super
        fails(RuntimeError, vault.load)
    finally:
        vault._path, vault._crypto = path, crypto


class Keeping(PlainCrypto):
    """Takes the frame of _save (its caller) and keeps it or not; raises
    Refused after, or at once without taking it."""

    def __init__(self, kept, keep, raises):
        self.kept, self.keep, self.raises = kept, keep, raises

    def encrypt(self, text):
        if self.keep is not None:
            frame = sys._getframe(1)
            fails(RuntimeError, frame.clear)  # it is running
            if self.keep:
                self.kept.append(frame)
        if self.raises:
            raise Refused
        return super().encrypt(text)


class Refused(Exception):
    pass


def kept_frames(w):
    vault, kept = w["vault"], []
    crypto = vault._crypto
    try:
        for keep, raises in ((True, False), (False, False), (True, True), (None, True)):
            vault._crypto = Keeping(kept, keep, raises)
            try:
                vault._save({"a": 1})
            except Refused as error:
                if keep is None:  # the frame of _save, from the traceback
                    kept.append(error.__traceback__.tb_next.tb_next.tb_frame.f_back)
    finally:
        vault._crypto = crypto
    for frame in kept:
        assert frame.f_back is sys._getframe() and set(frame.f_locals) == {"self", "data"}
    kept[0].clear()
    kept[1].f_locals  # made now, on the frame's own copy


CASES = {
    "LoginVault.__init__": vault_init,
    "LoginVault.base_dir": vault_base_dir,
    "LoginVault.load": vault_load,
    "LoginVault._save": vault_save,
    "LoginVault.save_session": vault_save_session,
    "LoginVault.save_token": vault_save_token,
    "LoginVault.remove_token": vault_remove_token,
    "LoginVault.clear": vault_clear,
    "SellerSpriteFeedCatcher.__init__": catcher_init,
    "SellerSpriteFeedCatcher.capture_json_response": capture_paths,
    "SellerSpriteFeedCatcher._matches_section_payload": recognition,
    "SellerSpriteFeedCatcher.get_payload": catcher_get_payload,
    "SellerSpriteFeedCatcher.save_all": catcher_save_all,
    "profiled calls and resumptions": profiled,
    "frames rewritten by profile and trace functions": rewritten_frames,
    "builtins reading a body's frame": frame_reading_builtins,
    "frames kept beyond their call": kept_frames,
}


@pytest.mark.parametrize("method", CASES)
def test_repeating_a_method_leaves_nothing_behind(world, method):
    case = CASES[method]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the never-awaited captures
        for _ in range(WARMUP):
            case(world)
        gc.collect()
        objects = own_objects()
        windows = []
        while len(windows) < WINDOWS and (not windows or windows[-1] > SLACK):
            before = sys.gettotalrefcount()
            for _ in range(ROUNDS):
                case(world)
            gc.collect()
            windows.append(sys.gettotalrefcount() - before - 1)  # the int `before` itself
    growth = windows[-1]
    new_objects = own_objects() - objects
    print(f"{method}: {windows} references per {ROUNDS} runs, {new_objects} objects of our types")
    assert growth <= SLACK, f"{growth / ROUNDS:.2f} references per run"
    assert new_objects == 0
