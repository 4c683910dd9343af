"""Import-time environments: the keyring probe runs once per process, so each
case runs in a fresh interpreter."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

# Each script prints one JSON line describing what it saw.  The storage
# directory and HOME point into the test's tmp_path.
REPORT = """
import json, logging, sys
import tarnix.config
tarnix.config.CONFIG_DIR = sys.argv[1]
records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append(record.getMessage())
logging.getLogger("tarnix.auth.storage").addHandler(Keep())
logging.getLogger("tarnix.auth.storage").setLevel(logging.DEBUG)
from tarnix.auth.storage import login_vault
vault = login_vault.LoginVault()
vault.save_token("erp", "j", 60)
print(json.dumps({
    "available": login_vault._KEYRING_AVAILABLE,
    "globals": [name for name in vars(login_vault) if not name.startswith("__")],
    "use_keyring": vault._use_keyring,
    "file": (vault.base_dir / "credentials.bin").exists(),
    "loaded": list(vault.load()["tokens"]),
    "logs": records,
}))
"""

GLOBALS = ["json", "logging", "time", "stat", "datetime", "timezone", "timedelta", "Path",
           "InvalidTag", "Crypto", "_logger", "keyring", "_KEYRING_AVAILABLE",
           "_KEYRING_SERVICE", "_KEYRING_ACCOUNT", "LoginVault"]

BLOCK_KEYRING = """
import sys
class Block:
    def find_spec(self, name, path=None, target=None):
        if name == "keyring" or name.startswith("keyring."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, Block())
"""


def run(tmp_path, prelude, body=REPORT, extra_path=None):
    env = dict(os.environ, HOME=str(tmp_path), PYTHON_KEYRING_BACKEND="keyring.backends.fail.Keyring")
    if extra_path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(extra_path), env.get("PYTHONPATH")]))
    script = textwrap.dedent(prelude) + textwrap.dedent(body)
    result = subprocess.run(
        [sys.executable, "-c", script, str(tmp_path / "config")],
        cwd=tmp_path, env=env, capture_output=True, text=True, check=False,
    )
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def broken_keyring(tmp_path, statement):
    package = tmp_path / "site" / "keyring"
    package.mkdir(parents=True)
    (package / "__init__.py").write_text(statement + "\n")
    return tmp_path / "site"


@pytest.mark.parametrize("prelude, statement", [
    (BLOCK_KEYRING, None),
    ("import sys; sys.modules['keyring'] = None\n", None),
    ("", "raise RuntimeError('cannot initialise')"),
    ("", "raise ImportError('backend module missing')"),
], ids=["not-installed", "none-in-sys-modules", "init-raises", "init-import-error"])
def test_without_importable_keyring_everything_goes_to_file(tmp_path, prelude, statement):
    extra = broken_keyring(tmp_path, statement) if statement else None
    seen = run(tmp_path, prelude, extra_path=extra)
    assert seen == {
        "available": False, "globals": [n for n in GLOBALS if n != "keyring"], "use_keyring": False,
        "file": True, "loaded": ["erp"], "logs": [],
    }


def test_keyring_without_backend_falls_back_silently(tmp_path):
    seen = run(tmp_path, "")
    assert seen == {
        "available": True, "globals": GLOBALS, "use_keyring": True,
        "file": True, "loaded": ["erp"], "logs": [],
    }


def test_base_exception_in_probe_fails_import_and_retry_succeeds(tmp_path):
    extra = broken_keyring(tmp_path, "class Stop(BaseException): pass\nraise Stop()")
    body = """
    import importlib, json, sys, traceback
    try:
        import tarnix.auth.storage.login_vault
    except BaseException as error:
        failure = (type(error).__name__,
                   [(e.name, e.lineno) for e in traceback.extract_tb(error.__traceback__)
                    if e.filename.startswith("tarnix/")])
    sys.modules.pop("keyring", None)
    sys.path.remove(sys.argv[2])
    from tarnix.auth.storage import login_vault
    print(json.dumps({"failure": failure, "in_modules": "keyring" in sys.modules,
                      "available": login_vault._KEYRING_AVAILABLE}))
    """
    env_script = "import sys; sys.path.insert(0, %r); sys.argv.append(%r)\n" % (str(extra), str(extra))
    seen = run(tmp_path, env_script, body=body)
    name, entries = seen["failure"]
    assert name == "Stop"
    # No except clause caught it, so the module adds no entry of its own
    # besides the failed import's.
    assert entries == [["init tarnix.auth.storage.login_vault", 34]]
    assert seen["available"] is True


@pytest.mark.parametrize("blocked, line", [("cryptography", 28), ("tarnix.auth.storage.crypto", 29)])
def test_missing_dependency_fails_import_at_its_line(tmp_path, blocked, line):
    prelude = BLOCK_KEYRING.replace('name == "keyring" or name.startswith("keyring.")',
                                    f"name == {blocked!r} or name.startswith({blocked + '.'!r})")
    body = """
    import json, traceback
    try:
        import tarnix.auth.storage.login_vault
    except ImportError as error:
        print(json.dumps([(e.name, e.lineno) for e in traceback.extract_tb(error.__traceback__)
                          if e.filename.startswith("tarnix/")]))
    """
    assert ["init tarnix.auth.storage.login_vault", line] in run(tmp_path, prelude, body=body)
