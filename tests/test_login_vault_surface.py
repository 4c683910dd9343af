"""What Python code sees of the credential store: module, class, functions,
argument binding and traceback entries."""

import inspect
import logging
import sys
import traceback

import pytest

from tarnix.auth.storage import crypto, login_vault
from tarnix.auth.storage.login_vault import LoginVault

MODULE = "tarnix.auth.storage.login_vault"
SOURCE = "tarnix/auth/storage/login_vault"


@pytest.fixture
def vault(tmp_path):
    return LoginVault(tmp_path / "store")


def test_module_globals():
    ns = vars(login_vault)
    assert ns["Crypto"] is crypto.Crypto
    assert ns["keyring"] is sys.modules["keyring"]
    assert ns["_logger"] is logging.getLogger("tarnix.auth.storage")
    assert (ns["_KEYRING_AVAILABLE"], ns["_KEYRING_SERVICE"], ns["_KEYRING_ACCOUNT"]) == (
        True, "tarnix-auth", "credentials",
    )
    assert login_vault.__doc__.startswith("凭证存储模块。\n\n采用双层存储策略（铁律5）：\n")
    assert login_vault.__doc__.endswith('            "saved_at": 1234567890\n        }\n    }\n}\n')


def test_class_surface():
    assert (LoginVault.__module__, LoginVault.__qualname__, LoginVault.__bases__) == (MODULE, "LoginVault", (object,))
    assert LoginVault.__doc__.startswith("凭证存储管理器，负责 session 和 JWT 的持久化读写。\n\n    ")
    members = [n for n in vars(LoginVault) if not n.startswith("__") or n == "__init__"]
    assert members == ["__init__", "base_dir", "load", "_save", "save_session", "save_token",
                       "remove_token", "clear"]
    getter = vars(LoginVault)["base_dir"].fget
    assert vars(LoginVault)["base_dir"].fset is None
    assert (getter.__qualname__, getter.__annotations__) == ("LoginVault.base_dir", {"return": "Path"})
    assert (getter.__code__.co_varnames, getter.__code__.co_firstlineno) == (("self",), 68)
    assert LoginVault.clear.__doc__ is None
    assert LoginVault.save_token.__annotations__ == {"system_key": "str", "jwt": "str", "expires_in": "int"}
    assert LoginVault.remove_token.__doc__ == (
        "移除指定系统的 JWT 缓存。\n\n        Args:\n            system_key: 系统唯一键\n\n"
        "        Returns:\n            是否成功移除（token 存在且已删除）\n        "
    )


# name, signature (annotation texts and defaults), locals after the parameters, first line
FUNCTIONS = [
    ("__init__", "(self, base_dir: 'Path | None' = None)", ("CONFIG_DIR",), 52),
    ("load", "(self) -> 'dict | None'", ("raw", "_kr_exc"), 73),
    ("_save", "(self, data: 'dict')", ("raw", "_kr_exc"), 100),
    ("save_session",
     "(self, session_id: 'str', email: 'str', expires_at: 'str', device_code: 'str | None' = None)",
     ("data", "session_changed"), 115),
    ("save_token", "(self, system_key: 'str', jwt: 'str', expires_in: 'int')", ("data", "expires_at"), 143),
    ("remove_token", "(self, system_key: 'str') -> 'bool'", ("data", "tokens"), 157),
    ("clear", "(self)", ("_kr_exc",), 175),
]


@pytest.mark.parametrize("name, signature, extra_locals, first_line", FUNCTIONS)
def test_function_surface(name, signature, extra_locals, first_line):
    function = vars(LoginVault)[name]
    code = function.__code__
    params = tuple(inspect.signature(function).parameters)
    assert (function.__qualname__, function.__module__) == (f"LoginVault.{name}", MODULE)
    assert str(inspect.signature(function)) == signature
    assert (code.co_varnames, code.co_argcount) == (params + extra_locals, len(params))
    assert (code.co_firstlineno, code.co_filename, code.co_name) == (first_line, SOURCE, name)


BINDING_ERRORS = [
    (lambda v: v.load(1), "load() takes exactly 1 positional argument (2 given)"),
    (lambda v: v.save_session("s"), "save_session() takes at least 4 positional arguments (2 given)"),
    (lambda v: v.save_session("s", "e", "x", "d", "extra"),
     "save_session() takes at most 5 positional arguments (6 given)"),
    (lambda v: v.save_session(session_id="s", email="e"),
     "save_session() takes at least 4 positional arguments (3 given)"),
    (lambda v: v.save_token("k", "j", 1, jwt="j"),
     "save_token() got multiple values for keyword argument 'jwt'"),
    (lambda v: v.save_token(lifetime=1), "save_token() got an unexpected keyword argument 'lifetime'"),
    (lambda v: v.save_token("k", "j"), "save_token() takes exactly 4 positional arguments (3 given)"),
    (lambda v: v.save_token("k", "j", "60"),
     "Argument 'expires_in' has incorrect type (expected int, got str)"),
    (lambda v: v.remove_token(1), "Argument 'system_key' has incorrect type (expected str, got int)"),
    (lambda v: v.save_session(None, "e", "x"),
     "Argument 'session_id' has incorrect type (expected str, got NoneType)"),
    (lambda v: v.save_session("s", "e", "x", 5),
     "Argument 'device_code' has incorrect type (expected str, got int)"),
    (lambda v: v._save([]), "Argument 'data' has incorrect type (expected dict, got list)"),
    # the remaining branches of the binding
    (lambda v: LoginVault.load(), "load() takes exactly 1 positional argument (0 given)"),
    (lambda v: v.save_session(*"abcde", email="x"), "save_session() takes at most 5 positional arguments (6 given)"),
    (lambda v: LoginVault.save_token(**{"self": v, "self ": 1}),
     "save_token() got an unexpected keyword argument 'self '"),
    (lambda v: v.save_token(1, "b", 3), "Argument 'system_key' has incorrect type (expected str, got int)"),
    (lambda v: v._save(None), "Argument 'data' has incorrect type (expected dict, got NoneType)"),
    (lambda v: v.save_token(**{1: 2}), "keywords must be strings"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(vault, call, message):
    with pytest.raises(TypeError) as info:
        call(vault)
    assert str(info.value) == message


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom


class PathStub:
    """Stands in for the store's file path; every method it is asked for fails."""

    def __init__(self, real):
        self.real = real

    def __fspath__(self):
        return str(self.real)

    def exists(self):
        return True

    def read_bytes(self):
        return b"not encrypted"

    unlink = chmod = staticmethod(boom)


def _tokens_are(value):
    def setup(vault, monkeypatch):
        monkeypatch.setattr(vault, "load", lambda: {"tokens": value}, raising=False)
    return setup


def _patch(name, value):
    def setup(vault, monkeypatch):
        monkeypatch.setattr(vault, name, value, raising=False)
    return setup


def _stored_token_then_failing_save(vault, monkeypatch):
    vault.save_token("k", "j", 1)
    _patch("_save", boom)(vault, monkeypatch)


def _stub_path(vault, monkeypatch):
    monkeypatch.setattr(vault, "_path", PathStub(vault._path), raising=False)


# method, setup, call, line of the failing statement (argument errors: the first line)
FAILURES = [
    ("save_token", None, lambda v: v.save_token("k"), 143),
    ("base_dir", lambda v, m: m.delattr(v, "_dir"), lambda v: v.base_dir, 71),
    ("load", _stub_path, lambda v: v.load(), 97),
    ("_save", None, lambda v: v._save({"x": {1, 2}}), 102),
    ("_save", _patch("_crypto", type("C", (), {"encrypt": staticmethod(boom)})()),
     lambda v: v._save({}), 112),
    ("_save", _stub_path, lambda v: v._save({}), 113),
    ("save_session", _patch("load", boom), lambda v: v.save_session("s", "e", "x"), 127),
    ("save_session", _patch("load", lambda: [1]), lambda v: v.save_session("s", "e", "x"), 129),
    ("save_session", _patch("_save", boom), lambda v: v.save_session("s", "e", "x"), 141),
    ("save_token", None, lambda v: v.save_token("k", "j", 10**12), 149),
    ("save_token", _tokens_are("text"), lambda v: v.save_token("k", "j", 1), 150),
    ("save_token", _patch("_save", boom), lambda v: v.save_token("k", "j", 1), 155),
    ("remove_token", _tokens_are(5), lambda v: v.remove_token("k"), 168),
    ("remove_token", _tokens_are(("k",)), lambda v: v.remove_token("k"), 169),
    ("remove_token", _stored_token_then_failing_save, lambda v: v.remove_token("k"), 171),
    ("clear", _stub_path, lambda v: v.clear(), 184),
]


@pytest.mark.parametrize("method, setup, call, line", FAILURES)
def test_failure_traceback_entry(vault, monkeypatch, method, setup, call, line):
    if setup is not None:
        setup(vault, monkeypatch)
    with pytest.raises(Exception) as info:
        call(vault)
    entries = [e for e in traceback.extract_tb(info.value.__traceback__) if e.filename == SOURCE]
    assert [(e.name, e.lineno) for e in entries] == [(f"{MODULE}.LoginVault.{method}", line)]


@pytest.mark.parametrize("setup, line", [
    (lambda tmp, m: (tmp / "store").write_text("a file, not a directory"), 62),
    (lambda tmp, m: m.setattr(login_vault, "Crypto", boom), 66),
    (lambda tmp, m: m.delattr("tarnix.config.CONFIG_DIR"), 60),
])
def test_constructor_failure_entries(tmp_path, monkeypatch, setup, line):
    setup(tmp_path, monkeypatch)
    with pytest.raises(Exception) as info:
        LoginVault(tmp_path / "store")
    entries = [e for e in traceback.extract_tb(info.value.__traceback__) if e.filename == SOURCE]
    assert [(e.name, e.lineno) for e in entries] == [(f"{MODULE}.LoginVault.__init__", line)]


# --- clauses that fail to even test the exception ----------------------------


def _bad_record(vault):
    vault._path.write_bytes(b"not encrypted by this key")


# The clause whose class expression raises, a call that reaches it, and the
# native line of the statement whose exception the clause was testing.
CLAUSES_THAT_RAISE = [
    ("load", "keyring", lambda vault: vault.load(), 82),          # except keyring.errors.NoKeyringError
    ("_save", "keyring", lambda vault: vault._save({}), 106),     # the same clause of the write
    ("load", "InvalidTag", lambda vault: (_bad_record(vault), vault.load()), 94),  # except (InvalidTag, ...)
]


@pytest.mark.parametrize("method, name, call, line", CLAUSES_THAT_RAISE)
def test_an_untestable_clause_leaves_the_context_its_entry(tmp_path, monkeypatch, method, name, call, line):
    from plain_classes import plain_python

    shapes = []
    for module, source in ((login_vault, SOURCE), (plain_python, plain_python.__file__)):
        vault = module.LoginVault(tmp_path / module.__name__) if name == "InvalidTag" else module.LoginVault()
        monkeypatch.delattr(module, name)
        with pytest.raises(NameError) as info:
            call(vault)
        monkeypatch.undo()
        shapes.append([[(e.name.rpartition(".")[2], e.lineno) for e in traceback.extract_tb(error.__traceback__)
                        if e.filename == source] for error in (info.value, info.value.__context__)])
    ours, plain = shapes
    # One entry each, in the method: the clause's line on the new error, the
    # line that raised on the one it was testing.
    assert [[entry[0] for entry in part] for part in ours] == [[entry[0] for entry in part] for part in plain] == [
        [method], [method]]
    assert ours[1] == [(method, line)]
