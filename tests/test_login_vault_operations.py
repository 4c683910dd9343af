"""save_session, save_token, remove_token and clear, seen through the stored JSON text."""

import json
import logging
import traceback
from datetime import datetime, timedelta, timezone

import pytest

import fake_keyring
from tarnix.auth.storage.login_vault import LoginVault

SERVICE = ("tarnix-auth", "credentials")
CLEAR_FAILED = "Keychain 清除失败（可能无存储记录）: %s"


@pytest.fixture
def vault(config_dir):
    """A store on the (fake) keyring, whose entry text the tests read directly."""
    return LoginVault()


@pytest.fixture
def stored(keyring_backend):
    """Reads and writes the stored record as JSON text."""
    class Stored:
        @property
        def text(self):
            return keyring_backend.entries.get(SERVICE)

        @property
        def record(self):
            return json.loads(self.text)

        @record.setter
        def record(self, value):
            keyring_backend.entries[SERVICE] = json.dumps(value)

        def writes(self):
            return sum(op == "set_password" for op, _ in keyring_backend.calls)

    return Stored()


def test_first_session_on_empty_store(vault, stored):
    assert vault.save_session("s1", "a@example.com", "2030-01-01T00:00:00+00:00") is None
    assert stored.text == (
        '{"session_id": "s1", "email": "a@example.com", '
        '"session_expires_at": "2030-01-01T00:00:00+00:00", "tokens": {}}'
    )
    vault.save_session("s1", "a@example.com", "x", device_code="dev")
    assert list(stored.record) == ["session_id", "email", "session_expires_at", "tokens", "device_code"]


def test_non_ascii_is_escaped_and_reads_back(vault, stored):
    vault.save_session("s1", "张三@例子.中国", "x")
    assert stored.text.isascii() and "\\u5f20" in stored.text
    assert vault.load()["email"] == "张三@例子.中国"


TOKENS = {"erp": {"jwt": "j1", "expires_at": "e", "saved_at": 1}}


@pytest.mark.parametrize("before, session_id, email, kept", [
    ({"session_id": "s1", "email": "a@x"}, "s1", "a@x", True),
    ({"session_id": "s1", "email": "a@x"}, "s2", "a@x", False),
    ({"session_id": "s1", "email": "a@x"}, "s1", "b@x", False),
    ({}, "s1", "a@x", True),
    ({"session_id": "", "email": ""}, "s1", "a@x", True),
    ({"session_id": None, "email": "a@x"}, "s9", "a@x", True),
], ids=["same-login", "new-session", "new-email", "no-login", "empty-login", "null-session"])
def test_tokens_survive_only_the_same_login(vault, stored, before, session_id, email, kept):
    stored.record = {"custom": 1, **before, "session_expires_at": "old", "tokens": TOKENS}
    vault.save_session(session_id, email, "new")
    record = stored.record
    assert record["tokens"] == (TOKENS if kept else {})
    assert (record["custom"], record["session_expires_at"]) == (1, "new")
    assert list(record)[0] == "custom"


@pytest.mark.parametrize("device_code, expected", [(None, "kept"), ("", ""), ("d2", "d2")])
def test_device_code(vault, stored, device_code, expected):
    stored.record = {"device_code": "kept"}
    vault.save_session("s1", "a@x", "x", device_code)
    assert stored.record["device_code"] == expected


def test_save_token_replaces_entry_in_place(vault, stored):
    vault.save_token("erp", "j1", 60)
    vault.save_token("crm", "c1", 60)
    vault.save_token("erp", "j2", 7200)
    tokens = stored.record["tokens"]
    assert list(tokens) == ["erp", "crm"]
    assert tokens["erp"]["jwt"] == "j2" and tokens["crm"]["jwt"] == "c1"
    assert list(tokens["erp"]) == ["jwt", "expires_at", "saved_at"]
    expiry = datetime.fromisoformat(tokens["erp"]["expires_at"])
    assert expiry - datetime.fromtimestamp(tokens["erp"]["saved_at"], timezone.utc) >= timedelta(hours=2)


def test_save_token_on_empty_store_creates_only_tokens(vault, stored):
    vault.save_token("erp", "j", 60)
    assert list(stored.record) == ["tokens"]
    assert isinstance(stored.record["tokens"]["erp"]["saved_at"], int)
    assert '"saved_at": ' in stored.text and '.' not in stored.text.split('"saved_at": ')[1]


def test_save_token_keeps_other_keys(vault, stored):
    stored.record = {"session_id": "s", "extra": [1]}
    vault.save_token("erp", "j", 60)
    assert list(stored.record) == ["session_id", "extra", "tokens"]


@pytest.mark.parametrize("expires_in, seconds", [(90.7, 90), (3600, 3600), (True, 1), (-5, -5)])
def test_token_expiry_is_utc_now_plus_whole_seconds(vault, stored, expires_in, seconds):
    before = datetime.now(timezone.utc)
    vault.save_token("erp", "j", expires_in)
    after = datetime.now(timezone.utc)
    text = stored.record["tokens"]["erp"]["expires_at"]
    expiry = datetime.fromisoformat(text)
    assert text.endswith("+00:00") and "T" in text
    assert before + timedelta(seconds=seconds) <= expiry <= after + timedelta(seconds=seconds)


def test_remove_token(vault, stored):
    assert vault.remove_token("erp") is False
    vault.save_token("erp", "j", 60)
    vault.save_token("crm", "c", 60)
    writes = stored.writes()
    assert vault.remove_token("erp") is True
    assert vault.remove_token("erp") is False
    assert stored.writes() == writes + 1
    assert list(stored.record["tokens"]) == ["crm"]


def test_clear_on_the_file_layer(tmp_path, keyring_backend):
    vault = LoginVault(tmp_path / "store")
    vault.save_token("erp", "j", 60)
    assert vault.clear() is None and vault.load() is None
    assert vault.clear() is None
    assert [p.name for p in (tmp_path / "store").iterdir()] == [".key"]
    assert keyring_backend.calls == []


@pytest.mark.parametrize("failure", [None, fake_keyring.NoKeyringError("none")])
def test_clear_logs_every_keyring_failure_and_removes_file(
        vault, config_dir, keyring_backend, caplog, failure):
    keyring_backend.failures["set_password"] = RuntimeError("down")
    vault._save({"a": 1})
    del keyring_backend.failures["set_password"]
    if failure is not None:
        keyring_backend.failures["delete_password"] = failure
    caplog.set_level(logging.DEBUG, logger="tarnix.auth.storage")
    assert vault.clear() is None
    [record] = caplog.records
    assert (record.name, record.levelno, record.msg) == ("tarnix.auth.storage", logging.DEBUG, CLEAR_FAILED)
    [error] = record.args
    assert error is failure if failure else isinstance(error, fake_keyring.PasswordDeleteError)
    ours = [(e.name, e.lineno) for e in traceback.extract_tb(error.__traceback__) if e.filename.startswith("tarnix/")]
    assert ours == [("tarnix.auth.storage.login_vault.LoginVault.clear", 179)]
    assert not (config_dir / "credentials.bin").exists()


def test_clear_removes_keyring_entry(vault, stored, caplog):
    vault.save_token("erp", "j", 60)
    caplog.set_level(logging.DEBUG, logger="tarnix.auth.storage")
    vault.clear()
    assert stored.text is None and caplog.records == []
    assert vault.load() is None


def test_updates_call_the_get_of_a_dict_subclass_record(vault, stored):
    class Record(dict):
        def get(self, key, *default):
            asked.append(key)
            return super().get(key, *default)

    class Store(LoginVault):
        def load(self):
            return Record(tokens={"erp": {}})

        def _save(self, data):
            saved.append(dict(data))

    asked, saved = [], []
    store = Store()
    assert store.remove_token("erp") is True
    store.save_session("s1", "a@example.com", "2030-01-01T00:00:00+00:00")
    assert asked == ["tokens", "session_id", "email", "tokens"]
    assert saved == [{"tokens": {}},
                     {"tokens": {"erp": {}}, "session_id": "s1", "email": "a@example.com",
                      "session_expires_at": "2030-01-01T00:00:00+00:00"}]


class Fickle:
    """What a stored session id's `!=` returns: its truth is decided by
    `answers`, one per test, and a test past the last one raises."""

    def __init__(self, *answers):
        self.answers = list(answers)
        self.tests = 0

    def __bool__(self):
        self.tests += 1
        if not self.answers:
            raise AssertionError("tested for truth once more")
        return self.answers.pop(0)


@pytest.mark.parametrize("field", ["session_id", "email"])
@pytest.mark.parametrize("answers", [(True, False), (True,)], ids=["flips", "raises"])
def test_login_change_is_decided_once(field, answers):
    verdict = Fickle(*answers)

    class StoredValue:
        def __bool__(self):
            return True

        def __ne__(self, other):
            return verdict

    class Store(LoginVault):
        def load(self):
            record = {"session_id": "s1", "email": "a@x", "tokens": {"erp": {"jwt": "previous user's"}}}
            record[field] = StoredValue()
            return record

        def _save(self, data):
            saved.append(data)

    saved = []
    Store().save_session("s1", "a@x", "x")
    assert saved[0]["tokens"] == {} and verdict.tests == 1
