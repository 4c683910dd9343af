"""LoginVault against a real Secret Service: a private D-Bus session bus with
an unlocked gnome-keyring-daemon, reached through the real `keyring` package.

This process holds the fake keyring that conftest installs, and the store
probes `keyring` only once, at import; so every store here runs in a child
interpreter that imports the same `tarnix` as this process did.  This process
only looks at the daemon directly, through secretstorage.

Without the daemons the tests skip, except under CI (CI=true), where a skip
would hide that the keyring layer went untested, so they fail instead.
"""

import contextlib
import ctypes
import json
import os
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import warnings
from pathlib import Path

import pytest

from tarnix.auth.storage import login_vault

try:
    import secretstorage
    from jeepney.io.blocking import open_dbus_connection
    from secretstorage.defines import SS_PATH
    from secretstorage.util import DBusAddressWrapper, format_secret, open_session
except ImportError as error:
    secretstorage = None
    SECRETSTORAGE_MISSING = str(error)

SERVICE = "tarnix-auth"
ACCOUNT = "credentials"
ENTRY = {"service": SERVICE, "username": ACCOUNT}
UNLOCK_PASSWORD = b"tarnix-test"

READ_FAILED = "Keychain 读取失败，降级到文件存储: %s"
WRITE_FAILED = "Keychain 写入失败，降级到文件存储: %s"
CLEAR_FAILED = "Keychain 清除失败（可能无存储记录）: %s"

# The directory the package was imported from (a build tree or an install,
# not necessarily this source tree) and this one, for the test backend.
PACKAGE_ROOT = str(Path(login_vault.__file__).resolve().parents[3])
TESTS_DIR = str(Path(__file__).resolve().parent)

# Only the bus's own policy: no service directories, so nothing is ever
# activated on demand (an unlock prompt fails at once instead of starting a
# prompter that waits for a display).
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

# Run at the start of every child: collects what the store logs and prints
# the results as one JSON line.
CHILD_PRELUDE = """\
import json, logging, stat, sys
import tarnix.auth.storage.login_vault as login_vault
from tarnix.auth.storage.login_vault import LoginVault

logged = []
class _Collect(logging.Handler):
    def emit(self, record):
        logged.append([record.msg, type(record.args[0]).__name__])
_logger = logging.getLogger("tarnix.auth.storage")
_logger.setLevel(logging.DEBUG)
_logger.addHandler(_Collect())

def report(**values):
    values["module_file"] = login_vault.__file__
    print(json.dumps(values))
"""


def unavailable(reason):
    if os.environ.get("CI") == "true":
        pytest.fail(f"secret-store tests cannot run under CI: {reason}")
    pytest.skip(reason)


def die_with_parent():
    # PR_SET_PDEATHSIG: a test run killed from outside leaves no daemon behind.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)


def read_line(stream, timeout):
    selector = selectors.DefaultSelector()
    selector.register(stream, selectors.EVENT_READ)
    ready = selector.select(timeout)
    selector.close()
    return stream.readline().decode().strip() if ready else ""


class SecretService:
    def __init__(self, root, address, daemon_env, log):
        self.root = root
        self.address = address
        self.daemon_env = daemon_env
        self.log = log
        self.keyring_daemon = None

    def start_keyring(self):
        self.keyring_daemon = subprocess.Popen(
            ["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=self.log,
            env={**self.daemon_env, "DBUS_SESSION_BUS_ADDRESS": self.address},
            preexec_fn=die_with_parent)
        # --unlock reads the password of the login keyring up to end of input;
        # the first start creates that keyring, unlocked, as the default
        # collection, and a restart unlocks it again.
        self.keyring_daemon.stdin.write(UNLOCK_PASSWORD)
        self.keyring_daemon.stdin.close()
        deadline = time.monotonic() + 15
        while True:
            try:
                self.items()
                return
            except Exception as error:
                if self.keyring_daemon.poll() is not None or time.monotonic() > deadline:
                    unavailable(f"gnome-keyring-daemon did not come up ({error}): "
                                f"{(self.root / 'daemons.log').read_text()}")
                time.sleep(0.05)

    def restart_if_exited(self, within=0):
        try:
            self.keyring_daemon.wait(timeout=within)
        except subprocess.TimeoutExpired:
            return False
        warnings.warn(f"gnome-keyring-daemon exited with status {self.keyring_daemon.returncode} "
                      f"between tests; started again. Its log: "
                      f"{(self.root / 'daemons.log').read_text()[-2000:]}")
        self.start_keyring()
        return True

    @contextlib.contextmanager
    def collection(self):
        with contextlib.closing(open_dbus_connection(self.address)) as connection:
            yield secretstorage.get_default_collection(connection)

    def items(self):
        with self.collection() as collection:
            return [item.get_secret().decode() for item in collection.search_items(ENTRY)]

    def lock(self):
        with self.collection() as collection:
            collection.lock()
            assert collection.is_locked()

    def unlock(self):
        # The Secret Service's own Unlock needs a prompt; the daemon's private
        # interface takes the password directly.
        with self.collection() as collection:
            if collection.is_locked():
                connection = collection.connection
                internal = DBusAddressWrapper(
                    SS_PATH, "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", connection)
                internal.call("UnlockWithMasterPassword", "o(oayays)", collection.collection_path,
                              format_secret(open_session(connection), UNLOCK_PASSWORD, "text/plain"))
            assert not collection.is_locked()

    def remove_entries(self):
        with self.collection() as collection:
            for item in collection.search_items(ENTRY):
                item.delete()

    def run(self, home, code, **environment):
        """Runs CHILD_PRELUDE + code in a child interpreter; returns its report."""
        inherited = {
            name: value for name, value in os.environ.items()
            if not name.startswith(("XDG_", "DBUS_", "PYTHON_KEYRING", "KEYRING"))
            and name not in ("HOME", "PYTHONPATH")
        }
        search_path = [PACKAGE_ROOT, TESTS_DIR, *filter(None, [os.environ.get("PYTHONPATH")])]
        env = {
            **inherited,
            "HOME": str(home),
            "XDG_CONFIG_HOME": str(home / ".config"),
            "XDG_DATA_HOME": str(home / ".local" / "share"),
            "XDG_RUNTIME_DIR": str(self.root / "run"),
            "DBUS_SESSION_BUS_ADDRESS": self.address,
            "PYTHONPATH": os.pathsep.join(search_path),
            **environment,
        }
        result = subprocess.run(
            [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(code)],
            cwd=home, env=env, capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        report = json.loads(result.stdout.splitlines()[-1])
        assert report.pop("module_file") == login_vault.__file__
        return report


@pytest.fixture(scope="session")
def secret_service():
    for program in ("dbus-daemon", "gnome-keyring-daemon"):
        if shutil.which(program) is None:
            unavailable(f"{program} is not installed")
    if secretstorage is None:
        unavailable(f"secretstorage is not installed: {SECRETSTORAGE_MISSING}")

    # Short, so that the bus socket's path stays within the limit of sun_path.
    root = Path(tempfile.mkdtemp(prefix="tarnix-ss-"))
    for name in ("home", "data", "config", "run"):
        (root / name).mkdir(mode=0o700)
    (root / "bus.conf").write_text(BUS_CONFIG.format(socket=root / "run" / "bus"))
    # Built from nothing: the daemons are not Python and must not inherit
    # what the test run was started with (LD_PRELOAD of a sanitizer, the
    # user's own session bus or keyring directories).
    daemon_env = {
        "PATH": os.environ.get("PATH", os.defpath),
        "HOME": str(root / "home"),
        "XDG_DATA_HOME": str(root / "data"),
        "XDG_CONFIG_HOME": str(root / "config"),
        "XDG_RUNTIME_DIR": str(root / "run"),
        "LANG": "C.UTF-8",
    }
    log = open(root / "daemons.log", "wb")
    service = None
    bus = None
    try:
        bus = subprocess.Popen(
            ["dbus-daemon", f"--config-file={root / 'bus.conf'}", "--nofork", "--print-address=1"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log, env=daemon_env,
            preexec_fn=die_with_parent)
        address = read_line(bus.stdout, timeout=10)
        if not address:
            unavailable(f"dbus-daemon did not start: {(root / 'daemons.log').read_text()}")
        service = SecretService(root, address, daemon_env, log)
        service.start_keyring()
        yield service
    finally:
        for daemon in (service and service.keyring_daemon, bus):
            if daemon is None:
                continue
            daemon.terminate()
            try:
                daemon.wait(timeout=10)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()
            if daemon.stdout is not None:
                daemon.stdout.close()
        log.close()
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def service(secret_service):
    # gnome-keyring-daemon 48 was seen to exit, rarely, just after a test that
    # had passed; the store's behaviour was checked by then, so the daemon is
    # started again (with a warning carrying its log) rather than failing
    # every test after it.
    secret_service.restart_if_exited()
    secret_service.remove_entries()
    yield secret_service
    try:
        secret_service.unlock()
        secret_service.remove_entries()
    except secretstorage.exceptions.SecretServiceNotAvailableException:
        if not secret_service.restart_if_exited(within=5):
            raise


def test_the_record_is_one_secret_service_item(service, tmp_path):
    saved = service.run(tmp_path, """
        vault = LoginVault()
        vault.save_session("sess-1", "王小明@example.cn", "2030-01-01T00:00:00+00:00",
                           device_code="DEV-1")
        vault.save_token("erp", "jwt-erp", 3600)
        import keyring
        report(use_keyring=vault._use_keyring,
               stored=keyring.get_password("tarnix-auth", "credentials"),
               file=(vault.base_dir / "credentials.bin").exists(), logged=logged)
    """)
    assert saved["use_keyring"] is True
    assert saved["file"] is False
    assert saved["logged"] == []
    record = json.loads(saved["stored"])
    assert list(record) == ["session_id", "email", "session_expires_at", "tokens", "device_code"]
    assert record["email"] == "王小明@example.cn"
    assert list(record["tokens"]) == ["erp"]
    assert record["tokens"]["erp"]["jwt"] == "jwt-erp"
    assert saved["stored"].isascii()
    assert service.items() == [saved["stored"]]

    # With the keyring entry readable, the file is never looked at: unreadable
    # bytes there would otherwise be dropped.
    credentials = tmp_path / ".config" / "tarnix" / "credentials.bin"
    credentials.write_bytes(b"not a credential file")
    cleared = service.run(tmp_path, """
        vault = LoginVault()
        loaded = vault.load()
        untouched = (vault.base_dir / "credentials.bin").read_bytes() == b"not a credential file"
        vault.clear()
        import keyring
        report(loaded=loaded, untouched=untouched,
               after_clear=keyring.get_password("tarnix-auth", "credentials"),
               load_after_clear=vault.load(), file=(vault.base_dir / "credentials.bin").exists(),
               logged=logged)
    """)
    assert cleared == {"loaded": record, "untouched": True, "after_clear": None, "load_after_clear": None,
                       "file": False, "logged": []}
    assert service.items() == []


@pytest.mark.parametrize(("environment", "failure", "silent"), [
    pytest.param({"PYTHON_KEYRING_BACKEND": "keyring.backends.fail.Keyring"}, "NoKeyringError", True,
                 id="no-backend"),
    # keyring's own choice when nothing answers on the session bus, as on a
    # headless machine: each keyring version detects its backends its own way.
    pytest.param({"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"}, "NoKeyringError", True,
                 id="no-session-bus"),
    pytest.param({"PYTHON_KEYRING_BACKEND": "broken_keyring.Keyring"}, "KeyringError", False,
                 id="failing-backend"),
    pytest.param(None, "KeyringLocked", False, id="locked-collection"),
])
def test_keyring_failures_fall_back_to_the_file(service, tmp_path, environment, failure, silent):
    if environment is None:
        service.lock()
    report = service.run(tmp_path, """
        vault = LoginVault()
        credentials = vault.base_dir / "credentials.bin"
        vault.save_session("sess-1", "user@example.com", "2030-01-01T00:00:00+00:00")
        vault.save_token("erp", "jwt-erp", 3600)
        mode = stat.S_IMODE(credentials.stat().st_mode)
        loaded = vault.load()
        before_clear = list(logged)
        vault.clear()
        report(use_keyring=vault._use_keyring, mode=mode, loaded=loaded,
               before_clear=before_clear, cleared=logged[len(before_clear):],
               file=credentials.exists(), load_after_clear=vault.load())
    """, **(environment or {}))

    assert report["use_keyring"] is True
    assert report["mode"] == 0o600
    assert report["loaded"]["session_id"] == "sess-1"
    assert report["loaded"]["tokens"]["erp"]["jwt"] == "jwt-erp"
    # save_session and save_token each load, then save; then one load.
    expected = [] if silent else [[READ_FAILED, failure], [WRITE_FAILED, failure]] * 2 + [
        [READ_FAILED, failure]]
    assert report["before_clear"] == expected
    assert report["cleared"] == [[CLEAR_FAILED, failure]]
    assert report["file"] is False
    assert report["load_after_clear"] is None
    service.unlock()
    assert service.items() == []


def test_a_keyring_save_after_a_fallback_removes_the_file(service, tmp_path):
    service.lock()
    fallback = service.run(tmp_path, """
        vault = LoginVault()
        vault.save_session("sess-1", "user@example.com", "2030-01-01T00:00:00+00:00")
        report(file=(vault.base_dir / "credentials.bin").exists())
    """)
    assert fallback == {"file": True}
    service.unlock()
    saved = service.run(tmp_path, """
        vault = LoginVault()
        vault.save_token("erp", "jwt-erp", 3600)
        report(file=(vault.base_dir / "credentials.bin").exists(), loaded=vault.load(), logged=logged)
    """)
    # The record moved into the keyring whole, and the file is gone with it.
    assert saved["file"] is False and saved["logged"] == []
    assert saved["loaded"]["session_id"] == "sess-1" and list(saved["loaded"]["tokens"]) == ["erp"]
    assert [json.loads(item) for item in service.items()] == [saved["loaded"]]
