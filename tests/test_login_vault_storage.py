"""Construction, load and _save over both storage layers."""

import errno
import json
import logging
import os
import pathlib
import stat
import subprocess
import sys
import time
import traceback

import pytest

import fake_keyring
from tarnix.auth.storage.crypto import Crypto
from tarnix.auth.storage import login_vault
from tarnix.auth.storage.login_vault import LoginVault

SERVICE = ("tarnix-auth", "credentials")
LOGGER = "tarnix.auth.storage"
RECORD = {"session_id": "s-1", "email": "用户@例子.cn", "tokens": {"erp": {"jwt": "j", "saved_at": 1}}}


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def encrypted(directory, text):
    return Crypto(directory / ".key").encrypt(text)


def not_utf8(directory):
    """What decrypts under the store's key to bytes that are not UTF-8."""
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    encrypted(directory, "")  # creates the key
    nonce = os.urandom(12)
    return nonce + AESGCM((directory / ".key").read_bytes()).encrypt(nonce, b"\xff{}", None)


def names(directory):
    return sorted(p.name for p in directory.iterdir())


@pytest.fixture
def store_dir(tmp_path):
    return tmp_path / "store"


@pytest.fixture
def vault(store_dir):
    return LoginVault(base_dir=store_dir)


@pytest.fixture
def keyring_vault(config_dir, keyring_backend):
    """A store on the keyring, with a record already in the file beside it."""
    vault = LoginVault()
    keyring_backend.failures["set_password"] = RuntimeError("locked")
    vault._save(RECORD)
    keyring_backend.failures.clear()
    return vault


@pytest.fixture
def logged(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    caplog.clear()
    return lambda: [(r.name, r.levelno, r.msg, r.args) for r in caplog.records]


def test_explicit_directory_is_private_and_never_uses_keyring(store_dir, keyring_backend):
    store_dir.mkdir(mode=0o755)
    vault = LoginVault(base_dir=str(store_dir))
    assert vault.load() is None and names(store_dir) == []
    vault._save({"a": 1})
    assert vault.load() == {"a": 1}
    vault.clear()
    assert (vault._use_keyring, mode(store_dir), keyring_backend.calls) == (False, 0o700, [])
    assert vault.base_dir == store_dir and vault.base_dir is vault.base_dir


def test_default_directory(config_dir):
    vault = LoginVault()
    assert (vault._use_keyring, vault.base_dir, config_dir.is_dir()) == (True, config_dir, True)
    config_dir.chmod(0o751)
    LoginVault()
    assert mode(config_dir) == 0o751
    vault = LoginVault(base_dir="")
    assert (vault._use_keyring, vault.base_dir, mode(config_dir)) == (False, config_dir, 0o700)


def in_child(work):
    """Runs work() in a forked child, for process-wide settings such as the
    umask; an exception there fails the test with its traceback."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            os.close(read)
            work()
        except BaseException:
            os.write(write, traceback.format_exc().encode())
            code = 1
        os._exit(code)
    os.close(write)
    with os.fdopen(read) as report:
        message = report.read()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, message


@pytest.mark.parametrize("umask, given, parents_exist, parents_mode", [
    (0o000, False, False, 0o777),
    (0o022, False, False, 0o755),
    (0o277, False, True, None),
    (0o000, True, False, 0o777),
], ids=["default-umask-0", "default-umask-022", "default-umask-277", "given-umask-0"])
def test_a_new_storage_directory_is_private_whatever_the_umask(
        tmp_path, config_dir, umask, given, parents_exist, parents_mode):
    directory = tmp_path / "given" / "here" / "store" if given else config_dir
    if parents_exist:
        directory.parent.mkdir(parents=True)

    def construct():
        os.umask(umask)
        LoginVault(directory if given else None)

    in_child(construct)
    assert mode(directory) == 0o700
    if parents_mode is not None:
        assert (mode(directory.parent), mode(directory.parent.parent)) == (parents_mode, parents_mode)


# --- the file layer ----------------------------------------------------------------


def test_file_round_trip_exact_text_and_mode(vault, store_dir):
    assert vault._save(RECORD) is None
    assert vault.load() == RECORD
    text = Crypto(store_dir / ".key").decrypt((store_dir / "credentials.bin").read_bytes())
    assert text == json.dumps(RECORD) and text.isascii()
    assert mode(store_dir / "credentials.bin") == 0o600
    assert names(store_dir) == [".key", "credentials.bin"]


@pytest.mark.parametrize("content, kept", [
    (lambda d: os.urandom(64), False),
    (lambda d: b"", False),
    (lambda d: Crypto(d.parent / "other.key").encrypt("{}"), False),
    (lambda d: encrypted(d, "[1, 2]"), False),
    (lambda d: encrypted(d, "{not json"), False),
    (lambda d: encrypted(d, "null"), True),
    (lambda d: not_utf8(d), False),
], ids=["random", "empty", "other-key", "array", "not-json", "null", "not-utf8"])
def test_unusable_file_content(vault, store_dir, logged, content, kept):
    path = store_dir / "credentials.bin"
    path.write_bytes(content(store_dir))
    assert vault.load() is None
    assert path.exists() is kept
    assert logged() == []


@pytest.mark.parametrize("error", [
    PermissionError(errno.EACCES, "Permission denied"),
    OSError(errno.EIO, "Input/output error"),
    OSError(errno.EMFILE, "Too many open files"),
])
def test_read_error_keeps_the_file(vault, monkeypatch, error):
    vault._save(RECORD)

    def failing_read(self):
        raise error

    with monkeypatch.context() as patch:
        patch.setattr(pathlib.Path, "read_bytes", failing_read)
        assert vault.load() is None
    assert vault.load() == RECORD


def raising(error):
    def fail(*args):
        raise error
    return fail


@pytest.mark.parametrize("break_it", [
    lambda v, m: m.delattr(login_vault, "json"),
    lambda v, m: m.delattr(v, "_crypto"),
    lambda v, m: m.setattr(v._crypto, "decrypt", raising(MemoryError())),
    lambda v, m: m.setattr(v._crypto, "decrypt", raising(OSError(errno.EACCES, "Permission denied"))),
    lambda v, m: m.setattr(json, "loads", raising(RecursionError())),
    lambda v, m: m.setattr(json, "loads", raising(TypeError("not text"))),
], ids=["no-json", "no-crypto", "decrypt-memory", "decrypt-oserror", "loads-recursion", "loads-type"])
def test_failures_not_caused_by_the_content_keep_the_file(vault, monkeypatch, break_it):
    vault._save(RECORD)
    with monkeypatch.context() as patch:
        break_it(vault, patch)
        assert vault.load() is None
    assert vault.load() == RECORD


def test_load_near_the_recursion_limit_keeps_the_file(tmp_path):
    from plain_classes import plain_python

    def near_the_limit(vault_class, directory):
        vault = vault_class(directory)
        vault._save(RECORD)
        results = []

        def deeper():
            try:
                loaded = vault.load()
                results.append("record" if loaded == RECORD else loaded)
            except RecursionError:
                results.append("raised")
            deeper()

        with pytest.raises(RecursionError):
            deeper()
        # Whether some load runs out of stack inside its read of the file (and
        # says "nothing") or before it depends on how deep the interpreter's
        # own calls below it go; the plain class shows what this one does.
        assert (directory / "credentials.bin").exists()
        assert vault.load() == RECORD
        return results[0], set(results)

    assert near_the_limit(LoginVault, tmp_path / "native") == near_the_limit(plain_python.LoginVault, tmp_path / "plain")


MEMORY_CHILD = """
import os, resource, sys
from tarnix.auth.storage.login_vault import LoginVault

vault = LoginVault(sys.argv[1])
record = {"tokens": {"erp": {"jwt": "j" * 32_000_000}}}
vault._save(record)
page = os.sysconf("SC_PAGE_SIZE")
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
# An emulator (qemu-user) accepts the limit and ignores it.
in_use = int(open("/proc/self/statm").read().split()[0]) * page
resource.setrlimit(resource.RLIMIT_AS, (in_use + 64 * 2**20, hard))
try:
    bytearray(512 * 2**20)
    enforced = False
except MemoryError:
    enforced = True
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
if not enforced:
    print("unenforced")
    sys.exit(0)
outcomes = []
for headroom in range(1, 400, 8):
    in_use = int(open("/proc/self/statm").read().split()[0]) * page
    resource.setrlimit(resource.RLIMIT_AS, (in_use + headroom * 2**20, hard))
    try:
        loaded = vault.load()
        outcome = "loaded" if loaded == record else repr(loaded)
    except MemoryError:
        outcome = "raised"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    loaded = None
    outcomes.append(outcome)
    if outcome == "loaded" or not vault.base_dir.joinpath("credentials.bin").exists():
        break
print(" ".join(outcomes))
"""


@pytest.mark.skipif(bool(os.environ.get("TARNIX_SANITIZER_PRELOAD")),
                    reason="the address sanitizer reserves more address space than any limit leaves")
def test_load_short_of_memory_keeps_the_file(store_dir):
    result = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(store_dir)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    outcomes = result.stdout.split()
    if outcomes == ["unenforced"]:
        pytest.skip("this machine does not enforce an address-space limit")
    # Short of memory, load says "nothing" (or the error leaves it before the
    # file is read); with enough, it returns the record that stayed on disk.
    assert "None" in outcomes and outcomes[-1] == "loaded", outcomes
    assert set(outcomes) <= {"raised", "None", "loaded"}, outcomes


def test_save_refuses_dict_subclass_and_writes_nothing(vault, store_dir):
    class Record(dict):
        pass

    with pytest.raises(TypeError, match=r"^Argument 'data' has incorrect type \(expected dict, got Record\)\. "):
        vault._save(Record(a=1))
    assert names(store_dir) == []


def test_write_is_private_from_the_start_and_completes_short_writes(vault, monkeypatch):
    real_write = os.write
    modes = []

    def short_write(fd, data):
        modes.append(stat.S_IMODE(os.fstat(fd).st_mode))
        return real_write(fd, bytes(data[:3]))

    monkeypatch.setattr(os, "write", short_write)
    vault._save(RECORD)
    monkeypatch.undo()
    assert vault.load() == RECORD
    assert len(modes) > 10 and set(modes) == {0o600}


@pytest.mark.parametrize("name, error", [
    ("write", OSError(errno.ENOSPC, "No space left on device")),
    ("fsync", OSError(errno.EIO, "Input/output error")),
    ("replace", OSError(errno.EXDEV, "Invalid cross-device link")),
])
def test_failed_write_keeps_previous_record(vault, store_dir, monkeypatch, name, error):
    vault._save(RECORD)
    before = (store_dir / "credentials.bin").read_bytes()

    def fail(*args):
        raise error

    monkeypatch.setattr(os, name, fail)
    with pytest.raises(OSError) as info:
        vault._save({"other": True})
    monkeypatch.undo()
    entry = traceback.extract_tb(info.value.__traceback__)[1]
    assert (info.value, entry.name, entry.lineno) == (error, "tarnix.auth.storage.login_vault.LoginVault._save", 112)
    assert (store_dir / "credentials.bin").read_bytes() == before
    assert names(store_dir) == [".key", "credentials.bin"]


def gone_process():
    """The id of a process that has ended: what a live writer in another PID
    namespace or on another host looks like from here."""
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)
    return pid


@pytest.mark.parametrize("writer, age, removed", [
    (gone_process, 0, False),
    (gone_process, 20, False),
    (gone_process, 3600, True),
    (os.getppid, 3600, False),
], ids=["gone-fresh", "gone-20s", "gone-old", "alive-old"])
def test_abandoned_temporary_files_are_removed_only_once_old(vault, store_dir, writer, age, removed):
    vault._save(RECORD)
    temporary = store_dir / f".credentials.bin.{writer()}.a1b2c3.tmp"
    temporary.write_bytes(b"half a record")
    modified = time.time() - age
    os.utime(temporary, (modified, modified))
    vault._save(RECORD)
    assert temporary.exists() is not removed
    assert vault.load() == RECORD


# --- the keyring layer -----------------------------------------------------------------


def test_keyring_write_removes_the_fallback_file(keyring_vault, config_dir, keyring_backend, logged):
    keyring_vault._save({"new": "record"})
    assert keyring_backend.entries[SERVICE] == '{"new": "record"}'
    assert names(config_dir) == [".key"]
    assert keyring_vault.load() == {"new": "record"}
    keyring_vault._save({"newer": "record"})  # no file to remove: nothing to say
    assert logged() == []


def test_keyring_write_stands_when_the_fallback_file_cannot_go(config_dir, keyring_backend, logged):
    vault = LoginVault()
    (config_dir / "credentials.bin").mkdir()  # unlink() refuses a directory
    assert vault._save({"new": "record"}) is None
    assert keyring_backend.entries[SERVICE] == '{"new": "record"}'
    [(name, level, message, (error,))] = logged()
    assert (name, level, message) == (LOGGER, logging.DEBUG, "Keychain 写入后删除旧加密文件失败: %s")
    assert isinstance(error, IsADirectoryError)
    ours = [(e.name, e.lineno) for e in traceback.extract_tb(error.__traceback__) if e.filename.startswith("tarnix/")]
    assert ours == [("tarnix.auth.storage.login_vault.LoginVault._save", 107)]


def test_a_replaced_login_never_comes_back_from_the_file(config_dir, keyring_backend):
    """A saves while the keyring is locked; B logs in through the keyring;
    the keyring locks again: the store must not hand out A's login."""
    vault = LoginVault()
    locked = RuntimeError("collection is locked")
    keyring_backend.failures.update(get_password=locked, set_password=locked)
    vault.save_session("session-a", "a@example.com", "x")
    vault.save_token("erp", "jwt-of-a", 60)
    keyring_backend.failures.clear()
    vault.save_session("session-b", "b@example.com", "x")
    assert vault.load()["tokens"] == {}
    keyring_backend.failures.update(get_password=locked, set_password=locked)
    assert vault.load() is None
    vault.save_token("crm", "jwt-of-b", 60)
    assert list(vault.load()) == ["tokens"] and list(vault.load()["tokens"]) == ["crm"]


@pytest.mark.parametrize("failure, logged_it", [(fake_keyring.NoKeyringError("no backend"), False),
                                                (RuntimeError("locked"), True)])
def test_keyring_write_failure_falls_back_to_file(keyring_vault, keyring_backend, logged, failure, logged_it):
    keyring_backend.failures["set_password"] = failure
    keyring_vault._save({"new": "record"})
    del keyring_backend.failures["set_password"]
    assert keyring_vault.load() == {"new": "record"}
    message = "Keychain 写入失败，降级到文件存储: %s"
    assert logged() == ([(LOGGER, logging.DEBUG, message, (failure,))] if logged_it else [])
    ours = [(e.name, e.lineno) for e in traceback.extract_tb(failure.__traceback__) if e.filename.startswith("tarnix/")]
    assert ours == [("tarnix.auth.storage.login_vault.LoginVault._save", 106)]


@pytest.mark.parametrize("entry, expected", [
    ('{"from": "keyring"}', {"from": "keyring"}),
    ("null", None),
    ("", RECORD),
    (None, RECORD),
])
def test_keyring_entry_is_preferred_over_file(keyring_vault, keyring_backend, logged, entry, expected):
    if entry is not None:
        keyring_backend.entries[SERVICE] = entry
    assert keyring_vault.load() == expected
    assert logged() == []


@pytest.mark.parametrize("setup, logged_type, raised_at", [
    (lambda b: b.failures.update(get_password=fake_keyring.NoKeyringError()), None, None),
    (lambda b: b.failures.update(get_password=RuntimeError("dbus")), RuntimeError, 82),
    (lambda b: b.entries.update({SERVICE: "{broken"}), json.JSONDecodeError, 84),
    (lambda b: b.entries.update({SERVICE: "[1]"}), TypeError, 84),
])
def test_keyring_read_failure_falls_back_to_file(keyring_vault, keyring_backend, logged, setup, logged_type, raised_at):
    setup(keyring_backend)
    assert keyring_vault.load() == RECORD
    if logged_type is None:
        assert logged() == []
        return
    [(name, level, message, (error,))] = logged()
    assert (name, level, message, type(error)) == (LOGGER, logging.DEBUG, "Keychain 读取失败，降级到文件存储: %s", logged_type)
    assert logged_type is not TypeError or str(error) == "Expected dict, got list"
    ours = [(e.name, e.lineno) for e in traceback.extract_tb(error.__traceback__) if e.filename.startswith("tarnix/")]
    assert ours == [("tarnix.auth.storage.login_vault.LoginVault.load", raised_at)]


class Interrupt(BaseException):
    pass


@pytest.mark.parametrize("operation, call", [
    ("get_password", lambda v: v.load()),
    ("set_password", lambda v: v._save({})),
    ("delete_password", lambda v: v.clear()),
])
def test_base_exceptions_from_keyring_propagate(keyring_vault, config_dir, keyring_backend, operation, call):
    before = (config_dir / "credentials.bin").read_bytes()
    keyring_backend.failures[operation] = Interrupt()
    with pytest.raises(Interrupt):
        call(keyring_vault)
    assert (config_dir / "credentials.bin").read_bytes() == before


def test_the_save_imports_through_a_replaced_import_function(vault, store_dir, monkeypatch):
    import builtins

    real_import = builtins.__import__
    seen = []

    def spying_import(name, globals=None, locals=None, fromlist=(), level=0):
        seen.append((name, fromlist, level))
        return real_import(name, globals, locals, fromlist, level)

    vault._save({"before": 1})  # the interpreter's own __import__
    monkeypatch.setattr(builtins, "__import__", spying_import)
    vault._save({"after": 2})
    monkeypatch.undo()
    assert ("os", None, 0) in seen and ("tempfile", None, 0) in seen
    assert vault.load() == {"after": 2}
