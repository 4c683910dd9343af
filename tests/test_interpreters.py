"""How the Makefile finds each supported version's interpreter: the
distribution's, else pyenv's newest patch release, else one clear line saying
where it looked.  Run against a made-up version, so that what this machine
happens to have installed does not decide the outcome."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

TREE = Path(__file__).resolve().parent.parent
VERSION = "3.99"  # no distribution ships it

pytestmark = pytest.mark.skipif(shutil.which("make") is None or not (TREE / "Makefile").exists(),
                                reason="needs make and the source tree")


def make(*args, pyenv_root):
    return subprocess.run(["make", "-s", "--no-print-directory", "-C", str(TREE), *args,
                           f"SUPPORTED=3.11 {VERSION}", f"PYENV_ROOT={pyenv_root}"],
                          capture_output=True, text=True, timeout=120)


def fake_pyenv(root, *patches):
    for patch in patches:
        python = root / "versions" / patch / "bin" / f"python{VERSION}"
        python.parent.mkdir(parents=True)
        python.touch(mode=0o755)


def found(output):
    return dict(line.split(" ", 1) for line in output.splitlines() if line.startswith(VERSION + " "))


@pytest.mark.parametrize("patches, expected", [
    (["3.99.2", "3.99.10", "3.99.9"], "3.99.10"),  # by version, not by name
    (["3.99.0"], "3.99.0"),
])
def test_pyenv_gives_its_newest_patch_release(tmp_path, patches, expected):
    fake_pyenv(tmp_path, *patches)
    result = make("interpreters", pyenv_root=tmp_path)
    assert found(result.stdout) == {VERSION: f"{tmp_path}/versions/{expected}/bin/python{VERSION}"}


def test_a_named_interpreter_comes_before_any_found(tmp_path):
    fake_pyenv(tmp_path, "3.99.1")
    result = make("interpreters", f"PYTHON_{VERSION}=/opt/own/python{VERSION}", pyenv_root=tmp_path)
    assert found(result.stdout) == {VERSION: f"/opt/own/python{VERSION}"}


@pytest.mark.parametrize("target", ["interpreters", "interpreter"])
def test_a_version_that_cannot_be_had_says_where_it_looked_in_one_line(tmp_path, target):
    result = make(target, f"PY={VERSION}", pyenv_root=tmp_path)
    lines = [line for line in (result.stdout + result.stderr).splitlines() if VERSION in line]
    assert len(lines) == 1, lines
    assert f"python{VERSION}-dev" in lines[0] and f"{tmp_path}/versions/" in lines[0]
    assert f"pyenv install {VERSION}" in lines[0]
    assert (result.returncode != 0) == (target == "interpreter")


def fake_apt_cache(directory, release, priority):
    """An apt-cache whose `policy` offers every python3.99 package from one release at one priority."""
    script = directory / "apt-cache"
    script.write_text(f"""#!/bin/sh
[ "$1" = policy ] || exit 1
shift
for package in "$@"; do
  case "$package" in python{VERSION}*) ;; *) continue;; esac
  echo "$package:"
  echo "  Installed: (none)"
  echo "  Candidate: {VERSION}.1-1"
  echo "  Version table:"
  echo "     {VERSION}.1-1 {priority}"
  echo "        {priority} http://deb.debian.org/debian {release}/main amd64 Packages"
done
""")
    script.chmod(0o755)


@pytest.mark.parametrize("release, priority, option", [
    ("forky", 100, "-t forky"),  # a release pinned below the system's own: asked for by name
    ("trixie", 500, None),       # the system's own release: nothing to ask
])
def test_the_interpreter_comes_from_the_release_apt_has_it_in(tmp_path, monkeypatch, release, priority, option):
    fake_apt_cache(tmp_path, release, priority)
    monkeypatch.setenv("PATH", f"{tmp_path}:{os.environ['PATH']}")
    monkeypatch.delenv("DISTRO_PYTHONS", raising=False)
    result = make("-n", "debian-packages", f"PY={VERSION}", pyenv_root=tmp_path)
    install = [line for line in result.stdout.splitlines() if f"python{VERSION}-dev" in line]
    assert len(install) == 1, result.stdout + result.stderr
    assert ("apt-get install -y -t forky " in install[0]) == (option is not None)
