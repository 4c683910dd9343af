"""The wheel of `make wheel`, installed into a fresh virtual environment
outside the source tree: both modules import from there and the demo runs."""

import json
import os
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

SOURCE_TREE = Path(__file__).resolve().parents[1]

IMPORTS = """\
import json
from pathlib import Path
import tarnix.auth.storage.login_vault as login_vault
import tarnix.seller_sprite.scraping.feed_catcher as feed_catcher
package = Path(login_vault.__file__).parents[2]
print(json.dumps({
    "modules": [login_vault.__file__, feed_catcher.__file__],
    "classes": [login_vault.LoginVault.__qualname__, feed_catcher.SellerSpriteFeedCatcher.__qualname__],
    "files": sorted(str(path.relative_to(package)) for path in package.rglob("*")
                    if path.is_file() and "__pycache__" not in path.parts),
}))
"""


def test_the_wheel_installs_and_runs_outside_the_source_tree(tmp_path):
    wheels = sorted((SOURCE_TREE / "dist").glob("tarnix_native-*.whl"))
    if len(wheels) != 1:
        reason = f"expected one wheel in dist/, found {len(wheels)}: run `make wheel`"
        if os.environ.get("CI") == "true":
            pytest.fail(reason)
        pytest.skip(reason)
    with zipfile.ZipFile(wheels[0]) as archive:
        modules = [name for name in archive.namelist() if name.endswith(".so")]
    assert len(modules) == 2, modules
    # The wheel is built for the release interpreter; a run under another
    # one (the debug interpreter of the leak checks) cannot load it.
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if not all(name.endswith(suffix) for name in modules):
        pytest.skip(f"the wheel's modules {modules} do not load in this interpreter ({suffix})")

    # Nothing may lead the child back to the source tree or an editable install.
    env = {name: value for name, value in os.environ.items()
           if name not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSAFEPATH")}
    env["HOME"] = str(tmp_path)
    venv = tmp_path / "venv"
    # pip and cryptography come from the system, as they do for the .venv.
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages", venv],
                   check=True, env=env, cwd=tmp_path)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps",
                    "--no-cache-dir", "--disable-pip-version-check", wheels[0]],
                   check=True, env=env, cwd=tmp_path)

    imported = subprocess.run([python, "-c", IMPORTS], check=True, env=env, cwd=tmp_path,
                              capture_output=True, text=True)
    found = json.loads(imported.stdout)
    assert all(Path(module).is_relative_to(venv) for module in found["modules"]), found
    assert found["classes"] == ["LoginVault", "SellerSpriteFeedCatcher"]
    shipped = set(found["files"])
    assert {"py.typed", "auth/storage/login_vault.pyi",
            "seller_sprite/scraping/feed_catcher.pyi"} <= shipped
    assert not [name for name in shipped if name.endswith((".cpp", ".hpp"))]

    demo = tmp_path / "demo.py"
    shutil.copy(SOURCE_TREE / "examples" / "demo.py", demo)
    run = subprocess.run([python, demo], env=env, cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "after clear: load() -> None | credentials.bin exists: False" in run.stdout
    assert "get_payload('keyword_mining') is the recorded body: True" in run.stdout
