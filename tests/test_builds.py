"""Which build of the modules the suite is running against.

The checked runs (tools/checked.sh) name the installation they built; a
release build found first on the path would pass every test while checking
nothing, so the modules' own files are compared with it.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import tarnix.auth.storage.login_vault as login_vault
import tarnix.seller_sprite.scraping.feed_catcher as feed_catcher

EXPECTED = os.environ.get("TARNIX_EXPECT_MODULES_IN")
TREE = Path(__file__).resolve().parent.parent


@pytest.mark.skipif(not EXPECTED, reason="not a checked run")
@pytest.mark.parametrize("module", [login_vault, feed_catcher], ids=lambda m: m.__name__)
def test_modules_come_from_the_checked_installation(module):
    path = Path(module.__file__)
    assert path.is_relative_to(EXPECTED), path
    # The debug interpreter also loads release builds, whose references it
    # does not count: the file must carry the debug suffix.
    debug_tag = "%d%dd-" % sys.version_info[:2]
    assert (debug_tag in path.name) == hasattr(sys, "gettotalrefcount"), path
    if os.environ.get("TARNIX_SANITIZER_PRELOAD"):
        assert "libasan" in Path("/proc/self/maps").read_text()


@pytest.mark.skipif(shutil.which("g++") is None or not (TREE / "frame" / "compat.hpp").exists(),
                    reason="needs g++ and the source tree")
def test_a_free_threaded_build_is_refused_when_compiled(tmp_path):
    # The frame reads the layouts of the build with the lock; built for a
    # free-threaded interpreter it would read the wrong fields, so it must
    # not build at all.
    source = tmp_path / "probe.cpp"
    source.write_text('#include "compat.hpp"\n')
    result = subprocess.run(["g++", "-std=c++20", "-fsyntax-only", "-DPy_GIL_DISABLED=1", "-I", str(TREE / "frame"),
                             "-I", sysconfig.get_paths()["include"], str(source)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode != 0
    assert "free-threaded builds of CPython are not supported" in result.stderr
