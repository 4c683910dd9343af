"""The two wheels of `make wheel`, installed into fresh virtual environments
outside the source tree.

tarnix-native holds the native modules and their stubs, laid into the
packages of the tool's own `tarnix`; it is all that goes beside an installed
tool, and must leave every file of the tool as it was, on install and on
uninstall.  tarnix-tool-stand-ins holds the stand-ins for the tool's own
modules; with it, an environment without the tool gets a working package.
"""

import base64
import hashlib
import importlib.metadata
import importlib.util
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path
from typing import NamedTuple

import pytest
from packaging.requirements import Requirement

SOURCE_TREE = Path(__file__).resolve().parents[1]
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")

# The tool's own files: what the native modules import from the tool, and
# the packages they live in.  The source tree holds stand-ins for all of them.
TOOL_FILES = [
    "tarnix/__init__.py",
    "tarnix/config.py",
    "tarnix/auth/__init__.py",
    "tarnix/auth/storage/__init__.py",
    "tarnix/auth/storage/crypto.py",
    "tarnix/seller_sprite/__init__.py",
    "tarnix/seller_sprite/scraping/__init__.py",
]
NATIVE_FILES = {
    f"tarnix/auth/storage/login_vault{SUFFIX}",
    "tarnix/auth/storage/login_vault.pyi",
    f"tarnix/seller_sprite/scraping/feed_catcher{SUFFIX}",
    "tarnix/seller_sprite/scraping/feed_catcher.pyi",
    "tarnix-stubs/py.typed",
    "tarnix-stubs/auth/storage/login_vault.pyi",
    "tarnix-stubs/seller_sprite/scraping/feed_catcher.pyi",
}


class Wheels(NamedTuple):
    native: Path
    stand_ins: Path


def _unavailable(reason):
    if os.environ.get("CI") == "true":
        pytest.fail(reason)
    pytest.skip(reason)


@pytest.fixture(scope="module")
def wheels():
    found = []
    # dist/ may hold a native wheel for each interpreter and architecture;
    # this one's is tagged with its version (cp311, cp312, ...) and ends in
    # this machine's (..._x86_64.whl, ..._aarch64.whl).
    version = f"cp{sys.version_info.major}{sys.version_info.minor}"
    native = f"tarnix_native-*-{version}-*_{platform.machine()}.whl"
    for pattern in (native, "tarnix_tool_stand_ins-*.whl"):
        matches = sorted((SOURCE_TREE / "dist").glob(pattern))
        if len(matches) != 1:
            _unavailable(f"expected one {pattern} in dist/, found {len(matches)}: run `make wheel`")
        found.append(matches[0])
    with zipfile.ZipFile(found[0]) as archive:
        modules = [name for name in archive.namelist() if name.endswith(".so")]
    # The wheel is built for the release interpreter; a run under another
    # one (the debug interpreter of the leak checks) cannot load it.
    if not modules or not all(name.endswith(SUFFIX) for name in modules):
        pytest.skip(f"the wheel's modules {modules} do not load in this interpreter ({SUFFIX})")
    return Wheels(*found)


class Venv(NamedTuple):
    python: str
    site: Path
    env: dict[str, str]
    cwd: Path

    def run(self, *args, **env):
        return subprocess.run([self.python, *args], env={**self.env, **env}, cwd=self.cwd,
                              capture_output=True, text=True)

    def pip(self, command, *args):
        options = ["--no-index", "--no-deps", "--no-cache-dir"] if command == "install" else ["-y"]
        done = self.run("-m", "pip", command, "-q", "--disable-pip-version-check", *options, *args)
        assert done.returncode == 0, done.stderr

    def json(self, script, **env):
        done = self.run("-c", script, **env)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)


# What the child environments take from this one: pip to install the wheels,
# the modules' run-time dependency, and the type checker.
# mypy's own requirements are named too: distributors' metadata may leave
# them out (Debian's does), and the requirements are all that is followed.
BORROWED = ["pip", "cryptography", "mypy", "mypy_extensions", "typing_extensions"]
BORROWED_MODULES = ["_cffi_backend"]


def link_module(directory, module):
    """Links a top-level module or package of this environment into directory."""
    spec = importlib.util.find_spec(module)
    if spec is None or spec.origin is None:
        return
    target = Path(spec.origin).parent if spec.submodule_search_locations else Path(spec.origin)
    link = directory / target.name
    if not link.exists():
        link.symlink_to(target)


def borrowed_packages(directory):
    """A directory of links to the files of BORROWED and everything they
    require, as installed in this environment, and nothing else of it: this
    environment may hold a `tarnix` of its own (a checked or an installed
    build), which must not reach the child."""
    directory.mkdir()
    pending, seen = list(BORROWED), set()
    while pending:
        distribution = importlib.metadata.distribution(pending.pop())
        name = distribution.metadata["Name"].lower().replace("_", "-")
        if name in seen:
            continue
        seen.add(name)
        for requirement in distribution.requires or []:
            requirement = Requirement(requirement)
            if requirement.marker is None or requirement.marker.evaluate({"extra": ""}):
                pending.append(requirement.name)
        if distribution.files is None:
            # Distributors' metadata may list no files (Debian's has no
            # RECORD); top_level.txt, or else the name, says what to link.
            tops = (distribution.read_text("top_level.txt") or name.replace("-", "_")).split()
            for module in tops:
                link_module(directory, module)
        for file in distribution.files or []:
            top = Path(file.parts[0])
            link = directory / top
            if top.name not in ("..", "__pycache__") and not top.name.endswith(".dist-info") \
                    and not link.exists():
                link.symlink_to(Path(distribution.locate_file(top)))
    # cryptography's bindings load the cffi backend, which distributors may
    # install with no metadata of its own (Debian's python3-cffi-backend).
    for module in BORROWED_MODULES:
        link_module(directory, module)
    assert "tarnix" not in {path.name for path in directory.iterdir()}
    return directory


def fresh_venv(tmp_path):
    """A virtual environment in tmp_path that sees pip, cryptography and mypy
    from this one (the lock's versions, or the floor's)."""
    # Nothing may lead the child back to the source tree or an editable install.
    env = {name: value for name, value in os.environ.items()
           if name not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSAFEPATH", "MYPYPATH")}
    env["HOME"] = str(tmp_path / "home")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", venv],
                   check=True, env=env, cwd=tmp_path)
    python = str(venv / "bin" / "python")
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          check=True, env=env, capture_output=True, text=True).stdout.strip()
    # After the environment's own site-packages on the path: what the wheels
    # install comes first.
    borrowed = borrowed_packages(tmp_path / "borrowed")
    (Path(site) / "borrowed.pth").write_text(f"{borrowed}\n")
    return Venv(python, Path(site), env, tmp_path)


def wheel_files(wheel):
    with zipfile.ZipFile(wheel) as archive:
        # auditwheel's repair writes entries for the directories too.
        return {name for name in archive.namelist()
                if ".dist-info/" not in name and not name.endswith("/")}


def test_each_wheel_carries_only_what_it_owns(wheels):
    native = wheel_files(wheels.native)
    stand_ins = wheel_files(wheels.stand_ins)
    assert native == NATIVE_FILES
    assert stand_ins == set(TOOL_FILES)
    with zipfile.ZipFile(wheels.native) as archive:
        # Partial: a type checker takes what the stubs do not cover from
        # the installed package.
        assert archive.read("tarnix-stubs/py.typed") == b"partial\n"
        for stub in ("auth/storage/login_vault.pyi", "seller_sprite/scraping/feed_catcher.pyi"):
            assert archive.read(f"tarnix-stubs/{stub}") == (SOURCE_TREE / "tarnix" / stub).read_bytes()
    with zipfile.ZipFile(wheels.stand_ins) as archive:
        for name in TOOL_FILES:
            assert archive.read(name) == (SOURCE_TREE / name).read_bytes(), name


# The oldest glibc the wheels promise (manylinux2014), and the checker that
# holds the build to it.
GLIBC_FLOOR = (2, 17)
GLIBC_SYMBOLS = SOURCE_TREE / "tools" / "glibc_symbols.py"


def test_the_native_wheel_is_tagged_for_the_oldest_glibc(wheels):
    tag = re.search(r"[-.]manylinux_(\d+)_(\d+)_", wheels.native.name)
    assert tag, wheels.native.name
    assert (int(tag[1]), int(tag[2])) <= GLIBC_FLOOR


# Every glibc symbol version is 2.2.5 or newer (2.17 on aarch64), so a floor
# of 2.0 must fail and name them; the wheel's own floor must pass.
@pytest.mark.parametrize("floor, returncode", [("2.17", 0), ("2.0", 1)])
def test_no_module_needs_a_glibc_symbol_newer_than_the_floor(wheels, floor, returncode):
    done = subprocess.run([sys.executable, GLIBC_SYMBOLS, floor, wheels.native],
                          capture_output=True, text=True)
    assert done.returncode == returncode, done.stderr
    if returncode:
        for module in ("login_vault", "feed_catcher"):
            assert re.search(rf"{module}.*: \w+@GLIBC_2\.", done.stderr), done.stderr
    else:
        assert done.stderr == ""


def tool_wheel(directory):
    """A wheel of a stand-in tool: the tool's own files, each the source
    tree's stand-in with a line marking it as the tool's."""
    files = {name: (SOURCE_TREE / name).read_bytes() + f'\nTOOL_FILE = "{name}"\n'.encode()
             for name in TOOL_FILES}
    dist_info = "tarnix-1.0.dist-info"
    contents = dict(files)
    contents[f"{dist_info}/METADATA"] = b"Metadata-Version: 2.1\nName: tarnix\nVersion: 1.0\n"
    contents[f"{dist_info}/WHEEL"] = (b"Wheel-Version: 1.0\nGenerator: tests\n"
                                      b"Root-Is-Purelib: true\nTag: py3-none-any\n")
    record = []
    for name, data in contents.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{name},sha256={digest},{len(data)}\n")
    record.append(f"{dist_info}/RECORD,,\n")
    contents[f"{dist_info}/RECORD"] = "".join(record).encode()
    wheel = directory / "tarnix-1.0-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for name, data in contents.items():
            archive.writestr(name, data)
    return wheel, files


BESIDE_THE_TOOL = """\
import asyncio
import json
import tarnix, tarnix.auth, tarnix.auth.storage, tarnix.config
import tarnix.seller_sprite, tarnix.seller_sprite.scraping
import tarnix.auth.storage.crypto as crypto
import tarnix.auth.storage.login_vault as login_vault
import tarnix.seller_sprite.scraping.feed_catcher as feed_catcher

# No base_dir: the store lives in the tool's CONFIG_DIR; the keyring fails
# (PYTHON_KEYRING_BACKEND), so the record goes to the encrypted file.
vault = login_vault.LoginVault()
vault.save_session("session-1", "user@example.com", "2030-01-01T00:00:00+00:00")
vault.save_token("erp", "jwt-for-erp", 3600)
stored = tarnix.config.CONFIG_DIR / "credentials.bin"
written = crypto.Crypto(tarnix.config.CONFIG_DIR / ".key").decrypt(stored.read_bytes())

class Response:
    url = "https://www.sellersprite.com/v3/api/keyword-miner?station=US"
    status = 200
    async def json(self):
        return {"data": {"items": [{"keyword": "mug"}]}}

catcher = feed_catcher.SellerSpriteFeedCatcher()
asyncio.run(catcher.capture_json_response(Response(), section="keyword_mining",
                                          url_keyword="keyword-miner"))
print(json.dumps({
    "markers": [module.TOOL_FILE for module in (
        tarnix, tarnix.config, tarnix.auth, tarnix.auth.storage, crypto,
        tarnix.seller_sprite, tarnix.seller_sprite.scraping)],
    "modules": [login_vault.__file__, feed_catcher.__file__],
    "tool_crypto": type(vault._crypto) is crypto.Crypto,
    "in_config_dir": vault.base_dir == tarnix.config.CONFIG_DIR,
    "loaded": vault.load(),
    "written": json.loads(written),
    "captured": catcher.get_payload("keyword_mining"),
}))
"""

# Checked with --strict against what is installed: the stubs must be found
# through the partial stub package, the tool's crypto module (which the
# stub of login_vault imports) through the tool's package.
TYPED_USE = """\
from pathlib import Path
from tarnix.auth.storage.login_vault import LoginVault
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

vault = LoginVault(Path("store"))
vault.save_token("erp", None, 60)
reveal_type(vault._crypto)
reveal_type(SellerSpriteFeedCatcher().save_all)
"""


def test_the_modules_install_beside_the_tool_and_leave_its_files_alone(wheels, tmp_path):
    venv = fresh_venv(tmp_path)
    tool, tool_files = tool_wheel(tmp_path)
    venv.pip("install", tool)

    def tool_package():
        return {str(path.relative_to(venv.site)): path.read_bytes()
                for path in (venv.site / "tarnix").rglob("*")
                if path.is_file() and "__pycache__" not in path.parts}

    assert tool_package() == tool_files

    venv.pip("install", wheels.native)
    installed = tool_package()
    assert set(installed) == set(tool_files) | {name for name in NATIVE_FILES if name.startswith("tarnix/")}
    assert {name: installed[name] for name in tool_files} == tool_files
    found = venv.json(BESIDE_THE_TOOL, PYTHON_KEYRING_BACKEND="keyring.backends.fail.Keyring")
    assert found["markers"] == TOOL_FILES
    assert all(Path(module).is_relative_to(venv.site) for module in found["modules"]), found
    assert found["tool_crypto"] and found["in_config_dir"]
    assert found["loaded"] == found["written"]
    assert found["loaded"]["tokens"]["erp"]["jwt"] == "jwt-for-erp"
    assert found["captured"] == {"data": {"items": [{"keyword": "mug"}]}}

    (tmp_path / "typed_use.py").write_text(TYPED_USE)
    checked = venv.run("-m", "mypy", "--strict", "--no-error-summary",
                       "--cache-dir", str(tmp_path / "mypy-cache"), "typed_use.py")
    # Older mypy releases spell builtin types with their module ("builtins.dict").
    assert checked.stdout.replace("builtins.", "").splitlines() == [
        'typed_use.py:6: error: Argument 2 to "save_token" of "LoginVault" has incompatible type'
        ' "None"; expected "str"  [arg-type]',
        'typed_use.py:7: note: Revealed type is "tarnix.auth.storage.crypto.Crypto"',
        'typed_use.py:8: note: Revealed type is'
        ' "def (target_dir: pathlib.Path) -> dict[str, str]"',
    ], checked.stdout + checked.stderr

    venv.pip("uninstall", "tarnix-native")
    assert tool_package() == tool_files
    assert not (venv.site / "tarnix-stubs").exists()


# Without the tool and its stand-ins `tarnix` is a namespace package of the
# modules alone: the recorder needs nothing of the tool, the store needs
# its crypto module.
NATIVE_ALONE = """\
import json
import tarnix
import tarnix.seller_sprite.scraping.feed_catcher as feed_catcher
try:
    import tarnix.auth.storage.login_vault
except ModuleNotFoundError as error:
    missing = error.name
else:
    missing = None
print(json.dumps({"package_file": tarnix.__file__, "missing": missing,
                  "catcher": type(feed_catcher.SellerSpriteFeedCatcher()).__name__}))
"""

IMPORTS = """\
import json
import tarnix
import tarnix.auth.storage.login_vault as login_vault
import tarnix.seller_sprite.scraping.feed_catcher as feed_catcher
print(json.dumps({
    "package_file": tarnix.__file__,
    "modules": [login_vault.__file__, feed_catcher.__file__],
    "classes": [login_vault.LoginVault.__qualname__, feed_catcher.SellerSpriteFeedCatcher.__qualname__],
}))
"""


def test_both_wheels_make_a_working_package_without_the_tool(wheels, tmp_path):
    venv = fresh_venv(tmp_path)
    venv.pip("install", wheels.native)
    alone = venv.json(NATIVE_ALONE)
    assert alone == {"package_file": None, "missing": "tarnix.auth.storage.crypto",
                     "catcher": "SellerSpriteFeedCatcher"}

    venv.pip("install", wheels.stand_ins)
    found = venv.json(IMPORTS)
    assert found["package_file"] == str(venv.site / "tarnix" / "__init__.py")
    assert all(Path(module).is_relative_to(venv.site) for module in found["modules"]), found
    assert found["classes"] == ["LoginVault", "SellerSpriteFeedCatcher"]

    demo = tmp_path / "demo.py"
    shutil.copy(SOURCE_TREE / "examples" / "demo.py", demo)
    run = venv.run(demo)
    assert run.returncode == 0, run.stderr
    assert "after clear: load() -> None | credentials.bin exists: False" in run.stdout
    assert "get_payload('keyword_mining') is the recorded body: True" in run.stdout
