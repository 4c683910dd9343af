"""A method call evaluates its callee before its arguments, as Python does:
`keyring.get_password(_KEYRING_SERVICE, _KEYRING_ACCOUNT)` fails on the
missing method before it looks the arguments up.  Each case rebinds module
globals of both the native module and its plain-Python twin and compares
what the same call raises, with the error it was raised during."""

import shutil
import sys

import pytest

import fake_keyring
from plain_classes import plain_python
from tarnix.auth.storage.login_vault import LoginVault
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

NATIVE = sys.modules[LoginVault.__module__]
CATCHER = sys.modules[SellerSpriteFeedCatcher.__module__]
DELETE = object()


def outcome(call):
    try:
        result = call()
    except Exception as error:
        context = error.__context__
        return ("raise", type(error), str(error),
                None if context is None else (type(context), str(context)))
    return ("value", result)


def rebound(monkeypatch, module, edits):
    for name, value in edits.items():
        if value is DELETE:
            monkeypatch.delattr(module, name)
        else:
            monkeypatch.setattr(module, name, value)


class NoChmod:
    """A directory type whose instances lack chmod and mkdir."""

    def __init__(self, *args):
        pass

    def __truediv__(self, other):
        return self


def vault_case(config_dir, monkeypatch, module, vault_type, edits, call):
    fake_keyring.reset()
    shutil.rmtree(config_dir, ignore_errors=True)
    vault = vault_type()
    with monkeypatch.context() as patch:
        rebound(patch, module, edits)
        return outcome(lambda: call(vault))


VAULT_CASES = {
    "load": ({"keyring": None, "_KEYRING_ACCOUNT": DELETE}, lambda v: v.load()),
    "load service": ({"keyring": None, "_KEYRING_SERVICE": None, "_KEYRING_ACCOUNT": DELETE}, lambda v: v.load()),
    "_save": ({"keyring": None, "_KEYRING_SERVICE": DELETE}, lambda v: v._save({"a": 1})),
    "clear": ({"keyring": None, "_KEYRING_ACCOUNT": DELETE, "_logger": None}, lambda v: v.clear()),
    "save_token": ({"datetime": None, "timezone": DELETE}, lambda v: v.save_token("s", "j", 5)),
}


@pytest.mark.parametrize("case", list(VAULT_CASES))
def test_vault_methods_look_the_method_up_before_the_arguments(config_dir, monkeypatch, case):
    edits, call = VAULT_CASES[case]
    ours = vault_case(config_dir, monkeypatch, NATIVE, LoginVault, edits, call)
    theirs = vault_case(config_dir, monkeypatch, plain_python, plain_python.LoginVault, edits, call)
    assert ours == theirs
    assert ours[0] == "raise"


@pytest.mark.parametrize("module", [NATIVE, plain_python], ids=["native", "plain"])
def test_init_looks_mkdir_and_chmod_up_before_the_mode(tmp_path, monkeypatch, module):
    monkeypatch.setattr(module, "Path", NoChmod)
    monkeypatch.setattr(module, "stat", None)
    with pytest.raises(AttributeError, match="'NoChmod' object has no attribute 'mkdir'"):
        (LoginVault if module is NATIVE else plain_python.LoginVault)(tmp_path)


class Record(dict):
    """What a subclass's load may hand back: a mapping without update()."""

    def __getattribute__(self, name):
        if name == "update":
            raise AttributeError(name)
        return super().__getattribute__(name)

    def get(self, key, *default):
        if key == "tokens":
            raise LookupError("get ran before update was looked up")
        return None


@pytest.mark.parametrize("twin", [False, True], ids=["native", "plain"])
def test_save_session_looks_update_up_before_building_its_argument(twin):
    base = plain_python.LoginVault if twin else LoginVault

    class Vault(base):
        def __init__(self):
            pass

        def load(self):
            return Record(kept=1)

    with pytest.raises(AttributeError, match="update"):
        Vault().save_session("s", "e", "x")


class Target:
    def mkdir(self, **kwargs):
        pass

    def __truediv__(self, name):
        return object()


@pytest.mark.parametrize("twin", [False, True], ids=["native", "plain"])
def test_save_all_looks_write_text_up_before_dumping(monkeypatch, twin):
    module, catcher = (plain_python, plain_python.SellerSpriteFeedCatcher()) if twin else (
        CATCHER, SellerSpriteFeedCatcher())
    catcher.responses["frequency"] = {"payload": {}}
    monkeypatch.setattr(module, "json", None)
    with pytest.raises(AttributeError, match="'object' object has no attribute 'write_text'"):
        catcher.save_all(Target())
