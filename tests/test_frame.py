"""The shared frame seen from Python: method functions, binding, module life.

The credential store is the vehicle; what is checked here holds for every
method function the frame makes.
"""

import inspect
import os
import pickle
import re
import resource
import subprocess
import sys
import textwrap
import traceback
import types
import warnings
from pathlib import Path

import pytest

from tarnix.auth.storage import login_vault
from tarnix.auth.storage.login_vault import LoginVault
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher
from test_interpreter_exit import SUBINTERPRETERS

REPO = Path(__file__).resolve().parent.parent
SOURCE_PATH = "tarnix/auth/storage/login_vault"


def innermost(exc):
    return traceback.extract_tb(exc.__traceback__)[-1]


def run_python(code):
    """Runs code in a fresh interpreter (modules are set up once per process)."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=REPO,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.fixture
def vault(tmp_path):
    return LoginVault(tmp_path / "store")


# --- attributes of the method functions ------------------------------------


def test_function_attributes_look_like_python_functions():
    load = LoginVault.load
    assert load.__name__ == load.func_name == "load"
    assert load.__qualname__ == "LoginVault.load"
    assert load.__module__ == "tarnix.auth.storage.login_vault"
    assert load.__globals__ is load.func_globals is vars(login_vault)
    assert load.__closure__ is None and load.func_closure is None
    assert load.__code__ is load.func_code
    assert load.__code__.co_filename == SOURCE_PATH
    assert load.__code__.co_name == load.__code__.co_qualname == "load"
    assert load.__code__.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert load.__kwdefaults__ is None
    assert LoginVault.clear.__doc__ is None
    assert LoginVault.clear.__annotations__ == {}
    assert LoginVault.save_session.__defaults__ == (None,)
    assert LoginVault.load._is_coroutine is False
    assert repr(load).startswith("<function LoginVault.load at 0x")


@pytest.mark.parametrize(
    "attribute, value, message",
    [
        ("__name__", 1, "__name__ must be set to a string object"),
        ("__qualname__", None, "__qualname__ must be set to a string object"),
        ("__defaults__", [None], "__defaults__ must be set to a tuple object"),
        ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", [], "__annotations__ must be set to a dict object"),
    ],
)
def test_attribute_setters_refuse_wrong_types(attribute, value, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        setattr(LoginVault.remove_token, attribute, value)


@pytest.mark.parametrize("attribute", ["__globals__", "__code__", "__closure__", "_is_coroutine"])
def test_read_only_attributes(attribute):
    with pytest.raises(AttributeError):
        setattr(LoginVault.remove_token, attribute, None)


def test_writable_attributes_round_trip(monkeypatch):
    function = LoginVault.remove_token
    for attribute, value in [
        ("__name__", "renamed"),
        ("__qualname__", "Other.renamed"),
        ("__doc__", 42),
        ("__module__", "elsewhere"),
        ("__annotations__", {"x": "int"}),
    ]:
        monkeypatch.setattr(function, attribute, value)
        assert getattr(function, attribute) == value
    function.custom = "kept"
    try:
        assert function.__dict__ == {"custom": "kept"}
    finally:
        del function.custom


def test_annotations_reset_to_a_fresh_dict(monkeypatch):
    function = LoginVault.clear
    monkeypatch.setattr(function, "__annotations__", None)
    first = function.__annotations__
    assert first == {} and function.__annotations__ is first


@pytest.mark.parametrize("attribute, value", [("__defaults__", ("x",)), ("__kwdefaults__", {"a": 1})])
def test_assigning_defaults_warns_and_leaves_calls_alone(vault, monkeypatch, attribute, value):
    function = LoginVault.save_session
    with pytest.warns(RuntimeWarning, match="defaults"):
        monkeypatch.setattr(function, attribute, value)
    assert getattr(function, attribute) == value
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        monkeypatch.undo()
    vault.save_session("sid", "a@b.c", "2030-01-01T00:00:00+00:00")
    assert "device_code" not in vault.load()


def test_descriptor_binding_gives_real_bound_methods(vault):
    bound = vault.load
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is vault and bound.__func__ is LoginVault.load
    assert inspect.ismethod(bound)
    assert str(inspect.signature(bound)) == "() -> 'dict | None'"
    assert LoginVault.load(vault) is None
    assert LoginVault.load.__get__(None, LoginVault) is LoginVault.load


def test_pickling_a_method_function_pickles_a_reference():
    assert LoginVault.load.__reduce__() == "LoginVault.load"
    assert pickle.loads(pickle.dumps(LoginVault.load)) is LoginVault.load


# --- binding ---------------------------------------------------------------


class Text(str):
    pass


class Mapping(dict):
    pass


@pytest.mark.parametrize(
    "call, expected, got",
    [
        (lambda v: v.remove_token(Text("k")), "str", "Text"),
        (lambda v: v._save(Mapping()), "dict", "Mapping"),
    ],
)
def test_subclasses_of_builtins_are_refused_with_a_note(vault, call, expected, got):
    with pytest.raises(TypeError) as caught:
        call(vault)
    prefix = f"Argument '{'system_key' if expected == 'str' else 'data'}' has incorrect type (expected {expected}, got {got}). "
    assert str(caught.value).startswith(prefix)
    assert len(str(caught.value)) > len(prefix)


@pytest.mark.parametrize(
    "call",
    [
        lambda v, key: v.remove_token(key),
        lambda v, key: v.remove_token(system_key=key),
        lambda v, key: LoginVault.remove_token(v, key),
        lambda v, key: LoginVault.remove_token(*[v], **{"system_key": key}),
    ],
    ids=["positional", "keyword", "through the class", "keyword dict"],
)
def test_refusals_read_the_same_on_every_call_shape(vault, call):
    # Positional calls take the fast tier, the others the full binding;
    # the second round takes its traceback entry from the cache.
    for _ in range(2):
        with pytest.raises(TypeError) as caught:
            call(vault, 1)
        assert str(caught.value) == "Argument 'system_key' has incorrect type (expected str, got int)"
        entry = innermost(caught.value)
        assert (entry.name, entry.filename, entry.lineno) == (
            "tarnix.auth.storage.login_vault.LoginVault.remove_token", SOURCE_PATH, 157)


@pytest.mark.parametrize("type_name", ["plain", "x" + "\u00e4" * 150, "ab" + "\u20ac" * 100])
def test_refusal_text_cuts_type_names_as_the_interpreter_formats_them(vault, type_name):
    import ctypes

    format_text = ctypes.pythonapi.PyUnicode_FromFormat
    format_text.restype = ctypes.py_object
    expected = format_text(b"Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                           b"system_key", b"str", type_name.encode())
    with pytest.raises(TypeError) as caught:
        vault.remove_token(type(type_name, (), {})())
    assert str(caught.value) == expected


def test_repeated_refusals_name_the_current_type_and_parameter(vault):
    def refusal(call):
        with pytest.raises(TypeError) as caught:
            call()
        return str(caught.value)

    Wrong = type("Wrong", (), {})
    assert refusal(lambda: vault.remove_token(Wrong())).endswith("(expected str, got Wrong)")
    Wrong.__name__ = "Renamed"
    assert refusal(lambda: vault.remove_token(Wrong())).endswith("(expected str, got Renamed)")
    assert refusal(lambda: vault.save_session("s", Wrong(), "e")).startswith("Argument 'email' ")
    assert refusal(lambda: vault.save_session("s", Text("e"), "e")).endswith("exact instance of the built-in type.")
    assert refusal(lambda: vault.save_session("s", Text("e"), "e")).endswith("exact instance of the built-in type.")
    assert refusal(lambda: vault.save_session("s", 1, "e")) == (
        "Argument 'email' has incorrect type (expected str, got int)")


def test_keyword_names_match_by_content_and_str_subclass(vault):
    name = "".join(["system", "_key"])  # not the interned object
    assert vault.remove_token(**{name: "missing"}) is False

    class Key(str):
        def __eq__(self, other):
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    assert vault.remove_token(**{Key("system_key"): "missing"}) is False


@pytest.mark.parametrize("lifetime, seconds", [(90.9, 90), (True, 1), (-5.5, -5)])
def test_int_conversion_truncates_numbers(vault, lifetime, seconds, monkeypatch):
    captured = {}
    real_timedelta = login_vault.timedelta

    def spy(**kwargs):
        captured.update(kwargs)
        return real_timedelta(**kwargs)

    monkeypatch.setattr(login_vault, "timedelta", spy)
    vault.save_token("k", "jwt", lifetime)
    assert captured == {"seconds": seconds} and type(captured["seconds"]) is int


def test_int_conversion_runs_before_the_other_checks(vault):
    with pytest.raises(ValueError):
        vault.save_token(1, 2, float("nan"))


def test_calls_through_tp_call_and_keyword_dicts(vault):
    assert LoginVault.remove_token(*[vault], **{"system_key": "k"}) is False
    assert LoginVault.remove_token.__call__(vault, "k") is False


# --- instance attribute reads ----------------------------------------------


def stored(payload):
    return {"frequency": {"payload": payload}}


def hook(self, name):
    return stored({"hook": 1}) if name == "responses" else object.__getattribute__(self, name)


# Each change after `self.responses` was read (and its place remembered) must
# show at the next read.
@pytest.mark.parametrize("change, expected", [
    (lambda c: setattr(c, "responses", stored({"set": 1})), {"set": 1}),
    (lambda c: c.__dict__.__setitem__("responses", stored({"dict": 1})), {"dict": 1}),
    (lambda c: setattr(type(c), "responses", property(lambda self: stored({"property": 1}))), {"property": 1}),
    (lambda c: setattr(type(c), "__getattribute__", hook), {"hook": 1}),
    (lambda c: setattr(type(c), "__getattr__", hook) or delattr(c, "responses"), {"hook": 1}),
])
def test_attribute_reads_follow_every_change(change, expected):
    catcher = type("Catcher", (SellerSpriteFeedCatcher,), {})()
    other = type("Other", (SellerSpriteFeedCatcher,), {"responses": stored({"other": 1})})()
    del other.responses  # the class attribute shows through
    for _ in range(3):
        assert catcher.get_payload("frequency") is None
        assert other.get_payload("frequency") == {"other": 1}
    change(catcher)
    assert catcher.get_payload("frequency") == expected
    assert other.get_payload("frequency") == {"other": 1}
    catcher.__dict__["responses"] = stored({"later": 1})
    if "responses" not in type(catcher).__dict__ and "__getattribute__" not in type(catcher).__dict__:
        assert catcher.get_payload("frequency") == {"later": 1}


def test_a_deleted_attribute_raises_as_before():
    catcher = SellerSpriteFeedCatcher()
    assert catcher.get_payload("frequency") is None
    del catcher.responses
    with pytest.raises(AttributeError, match="^'SellerSpriteFeedCatcher' object has no attribute 'responses'$"):
        catcher.get_payload("frequency")


# --- global lookups --------------------------------------------------------


def test_global_rebinding_is_seen_at_the_next_use(vault, monkeypatch):
    class BrokenJson:
        @staticmethod
        def dumps(value):
            raise RuntimeError("rebound")

    vault._save({"a": 1})
    monkeypatch.setattr(login_vault, "json", BrokenJson)
    with pytest.raises(RuntimeError, match="rebound") as caught:
        vault._save({"a": 2})
    entry = traceback.extract_tb(caught.value.__traceback__)[-2]
    assert (entry.name, entry.lineno) == ("tarnix.auth.storage.login_vault.LoginVault._save", 102)
    monkeypatch.undo()
    vault._save({"a": 3})
    assert vault.load() == {"a": 3}


def test_missing_global_raises_name_error(vault, monkeypatch):
    monkeypatch.delattr(login_vault, "timedelta")
    with pytest.raises(NameError, match="^name 'timedelta' is not defined$"):
        vault.save_token("k", "jwt", 10)


def test_builtins_are_found_after_the_namespace(vault, monkeypatch):
    import builtins

    monkeypatch.setattr(builtins, "json", login_vault.json, raising=False)
    monkeypatch.delattr(login_vault, "json")
    vault._save({"b": 1})
    assert vault.load() == {"b": 1}


# --- module life -----------------------------------------------------------


def test_module_namespace():
    assert login_vault.__test__ == {}
    assert login_vault.__builtins__ is __import__("builtins")
    assert login_vault.__name__ == "tarnix.auth.storage.login_vault"
    assert login_vault.__file__.endswith(".so")
    assert login_vault.__package__ == "tarnix.auth.storage"
    assert not hasattr(login_vault, "__path__")


def test_reimport_returns_the_same_module():
    print(
        run_python(
            """
            import importlib, sys
            import tarnix.auth.storage.login_vault as first
            cls = first.LoginVault
            del sys.modules["tarnix.auth.storage.login_vault"]
            import tarnix.auth.storage.login_vault as second
            assert second is first and second.LoginVault is cls
            assert importlib.reload(second) is first and first.LoginVault is cls
            """
        )
    )


def test_failed_exec_leaves_nothing_behind_and_a_later_import_retries():
    out = run_python(
        """
        import sys, traceback
        import tarnix.auth.storage.crypto as crypto
        saved = crypto.Crypto
        del crypto.Crypto
        try:
            import tarnix.auth.storage.login_vault
        except ImportError as exc:
            entry = traceback.extract_tb(exc.__traceback__)[-1]
            print(exc, "|", entry.name, entry.filename, entry.lineno)
        assert "tarnix.auth.storage.login_vault" not in sys.modules
        crypto.Crypto = saved
        import tarnix.auth.storage.login_vault as module
        print(module.LoginVault.__name__)
        """
    )
    assert out.splitlines() == [
        "cannot import name Crypto | init tarnix.auth.storage.login_vault tarnix/auth/storage/login_vault 29",
        "LoginVault",
    ]


@pytest.mark.parametrize("isolated", [False, True], ids=["shared-lock", "own-lock"])
def test_a_second_interpreter_is_refused(isolated):
    out = run_python(SUBINTERPRETERS + f"""
import sys, tempfile
import tarnix.auth.storage.login_vault
sub = new_interpreter(isolated={isolated})
# The same search path, so the second interpreter finds the same file.
run_in(sub, f"import sys; sys.path[:] = {{sys.path!r}}; import tarnix.auth.storage.login_vault")
# Nothing of the refused import reached the first interpreter's module.
vault = tarnix.auth.storage.login_vault.LoginVault(tempfile.mkdtemp())
vault.save_token("erp", "jwt", 60)
print(vault.load()["tokens"]["erp"]["jwt"])
""")
    ours = "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    # From 3.12 on an interpreter with its own lock refuses, before the module
    # is made, every module that does not declare it supports one; one
    # sharing the lock leaves it to the module.
    interpreters = "ImportError: module tarnix.auth.storage.login_vault does not support loading in subinterpreters"
    refusal, token = out.splitlines()
    assert refusal.endswith(ours) or (isolated and sys.version_info >= (3, 12) and refusal.endswith(interpreters))
    assert token == "jwt"


# --- except clauses -----------------------------------------------------------


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("raised, clause_type, escapes, context", [
    (Interrupt(), None, Interrupt, False),          # no clause matches: one entry, where it was raised
    (RuntimeError("locked"), "not a class", TypeError, True),  # a clause naming no exception class
], ids=["unmatched", "clause-of-a-non-class"])
def test_except_clauses_as_the_interpreter_runs_them(config_dir, keyring_backend, monkeypatch,
                                                     raised, clause_type, escapes, context):
    vault = LoginVault()
    keyring_backend.failures["get_password"] = raised
    if clause_type is not None:
        monkeypatch.setattr(sys.modules["keyring"].errors, "NoKeyringError", clause_type)
    with pytest.raises(escapes) as info:
        vault.load()
    ours = [(e.name, e.lineno) for e in traceback.extract_tb(info.value.__traceback__) if e.filename == SOURCE_PATH]
    if context:
        assert str(info.value) == "catching classes that do not inherit from BaseException is not allowed"
        assert info.value.__context__ is raised
        assert ours == [("tarnix.auth.storage.login_vault.LoginVault.load", 85)]
        # The exception the clause could not test keeps the entry of its line.
        assert [(e.name, e.lineno) for e in traceback.extract_tb(raised.__traceback__)
                if e.filename == SOURCE_PATH] == [("tarnix.auth.storage.login_vault.LoginVault.load", 82)]
    else:
        assert ours == [("tarnix.auth.storage.login_vault.LoginVault.load", 82)]


@pytest.mark.parametrize("keep_first", [True, False], ids=["first kept", "first dropped"])
def test_each_traceback_entry_has_a_frame_of_its_own(vault, keep_first):
    def refusal():
        try:
            vault.remove_token(1)
        except TypeError as error:
            return error.__traceback__.tb_next.tb_frame

    first = refusal()
    # What a debugger puts on the frame of one traceback stays there, also
    # once that traceback is gone.
    first.f_trace = print
    first.f_locals["seen"] = True
    first_id = id(first)
    if not keep_first:
        del first
    second = refusal()
    assert second.f_trace is None and "seen" not in second.f_locals
    assert (second.f_code.co_name, second.f_lineno) == ("tarnix.auth.storage.login_vault.LoginVault.remove_token", 157)
    if keep_first:
        assert id(second) != first_id


# --- recursion through the methods ---------------------------------------------


class DictSubclass(dict):
    pass


@pytest.mark.parametrize("call", [
    lambda c: c.get_payload("unknown"),
    lambda c: c._matches_section_payload("keyword_mining", {"data": {"items": []}}),
    lambda c: c._matches_section_payload("frequency", {"data": [{"keyword": "k", "frequency": 1}]}),
    lambda c: c._matches_section_payload("frequency", {"data": [DictSubclass(keyword="k", frequency=1)]}),
], ids=["get_payload", "rule", "scan", "scan in its frame"])
def test_a_call_at_the_recursion_limit_fails_where_the_plain_ones_does(call):
    # Calls skip their frame when nobody watches, but still take their level,
    # and the scan the levels of the any() and generator expression it stands
    # for: the recursion ends at the same depth and in the same function as
    # with the plain method.
    from plain_classes import plain_python

    def deepest(catcher):
        reached = 0

        def down(depth):
            nonlocal reached
            reached = depth
            call(catcher)
            down(depth + 1)

        limit = sys.getrecursionlimit()
        sys.setrecursionlimit(200)
        try:
            with pytest.raises(RecursionError) as raised:
                down(0)
        finally:
            sys.setrecursionlimit(limit)
        name = traceback.extract_tb(raised.value.__traceback__)[-1].name
        return reached, name.rpartition(".")[2].strip("<>"), str(raised.value)

    assert deepest(SellerSpriteFeedCatcher()) == deepest(plain_python.SellerSpriteFeedCatcher())


RECURSION = """
import sys, tempfile
kind, limit = sys.argv[1], int(sys.argv[2])
sys.setrecursionlimit(limit)
if kind == "interpreter":
    # The interpreter's own C-level recursion: a builtin re-entering Python code.
    def step(k):
        return list(map(step, [k + 1]))
    try:
        step(0)
    except RecursionError as error:
        print("RecursionError", error)
else:
    from tarnix.auth.storage.login_vault import LoginVault

    class Recursing(LoginVault):
        def load(self):
            self.save_token("erp", "jwt", 60)

    try:
        Recursing(tempfile.mkdtemp()).save_token("erp", "jwt", 60)
    except RecursionError as error:
        print("RecursionError", error)
"""

RELEASE_BUILD = not hasattr(sys, "gettotalrefcount") and not os.environ.get("TARNIX_SANITIZER_PRELOAD")


def recurse(kind, limit):
    def main_thread_stack():
        resource.setrlimit(resource.RLIMIT_STACK, (8 << 20, resource.RLIM_INFINITY))

    return subprocess.run([sys.executable, "-c", RECURSION, kind, str(limit)], cwd=REPO, capture_output=True,
                          text=True, timeout=120, preexec_fn=main_thread_stack)


@pytest.mark.skipif(not RELEASE_BUILD, reason="stack sizes are those of the release build")
@pytest.mark.parametrize("limit", [7000, 11000])
def test_recursion_through_a_method_survives_where_the_interpreters_own_does(limit):
    # Each call of a method is one level, as a Python function's frame is,
    # and takes less C stack per level than the interpreter's own C-level
    # recursion: wherever that survives a limit, so does ours.
    interpreter = recurse("interpreter", limit)
    if interpreter.returncode != 0:
        pytest.skip(f"the interpreter's own recursion does not survive a limit of {limit} here")
    ours = recurse("native", limit)
    by_count = "RecursionError maximum recursion depth exceeded\n"
    # Where the interpreter measures the machine stack rather than counting
    # C levels, its own recursion may end where the stack does, before the
    # limit; ours may then end there too, with the same error.
    kilobytes = re.compile(r"\d+ kB")
    assert ours.returncode == 0
    assert kilobytes.sub("N kB", ours.stdout) in {by_count, kilobytes.sub("N kB", interpreter.stdout)}
