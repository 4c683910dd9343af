"""The check at import of the interpreter layouts the frame reads.

A module built with -DTARNIX_LAYOUT_FAULT moves the reading of the one check
named in the environment variable of that name, as the headers of another
patch release would move it: the import must then be refused with an
ImportError naming the check, never crash.  A normal import must pass the
checks wherever the modules run (a subinterpreter, under a tool, a profiler
or a tracer) and leave those exactly as it found them.
"""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from test_interpreter_exit import SUBINTERPRETERS

TREE = Path(__file__).resolve().parent.parent
MODULE = "tarnix.seller_sprite.scraping.feed_catcher"
RUNNING = sys.version.split()[0]

# Each check, the versions it runs on, and the end of its ImportError.
CHECKS = {
    "thread-state": (None, "the thread state it reads is not PyThreadState_Get()'s"),
    "innermost-frame": (None, "the innermost frame it reads is not sys._getframe()'s"),
    "frame-record": (None, "the frame record it reads does not hold sys._getframe()'s code, globals, builtins "
                           "and function"),
    "recursion": (None, "the recursion counters it reads do not move as Python recurses"),
    "coroutine-state": (None, "the coroutine state it reads is not the one a new or closed coroutine has"),
    "str-dict": (None, "the dict tables it probes are not laid out as dicts of str keys are"),
    "monitoring": (sys.version_info >= (3, 12), "the sys.monitoring events it reads are not those "
                                                "sys.monitoring sets"),
    "profiler": (sys.version_info < (3, 12), "the profiler it reads is not the one sys.setprofile() sets"),
    "machine-stack": (sys.version_info >= (3, 14), "the machine stack limits it reads do not lie around the "
                                                   "running stack"),
}
APPLYING = {name: phrase for name, (applies, phrase) in CHECKS.items() if applies in (None, True)}


def run(script, **env):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], cwd=TREE, capture_output=True,
                            text=True, timeout=120, env={**os.environ, **env})
    assert result.returncode == 0, result.stderr
    return result.stdout


# What import leaves behind for the tools: the tools sys.monitoring reports
# on, their events, and the thread's profiler and tracer.
TOOL_STATE = """
def tool_state():
    state = [sys.getprofile(), sys.gettrace()]
    if hasattr(sys, "monitoring"):
        state += [(sys.monitoring.get_tool(tool), sys.monitoring.get_events(tool)) for tool in range(6)]
    return state
"""


@pytest.fixture(scope="module")
def faulty_build(tmp_path_factory):
    """The module built with the fault switch, unoptimised: a few seconds."""
    if shutil.which("g++") is None or not (TREE / "frame" / "compat.hpp").exists():
        pytest.skip("needs g++ and the source tree")
    out = tmp_path_factory.mktemp("faulty")
    sources = sorted(TREE.glob("frame/**/*.cpp")) + [TREE / (MODULE.replace(".", "/") + ".cpp")]
    flags = ["-std=c++20", "-O0", "-fPIC", "-fvisibility=hidden", "-DTARNIX_LAYOUT_FAULT",
             "-I", str(TREE / "frame"), "-I", sysconfig.get_paths()["include"]]

    def compile_one(source):
        target = out / (str(source.relative_to(TREE)).replace("/", "_") + ".o")
        subprocess.run(["g++", *flags, "-c", str(source), "-o", str(target)], check=True, timeout=300)
        return str(target)

    with ThreadPoolExecutor(max_workers=2) as pool:
        objects = list(pool.map(compile_one, sources))
    library = out / ("feed_catcher" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run(["g++", "-shared", "-o", str(library), *objects], check=True, timeout=300)
    return library


# Loads the faulty build under the module's own name, in place of the
# installed one; prints the refusal, or "imported".
LOAD_FAULTY = TOOL_STATE + """
import importlib.util, sys
import tarnix.seller_sprite.scraping
before = tool_state()
spec = importlib.util.spec_from_file_location({name!r}, {path!r})
module = importlib.util.module_from_spec(spec)
try:
    spec.loader.exec_module(module)
except ImportError as error:
    print(error)
else:
    print("imported")
assert tool_state() == before, (before, tool_state())
"""


@pytest.mark.parametrize("check", APPLYING)
def test_a_layout_that_moved_refuses_the_import_naming_the_check(faulty_build, check):
    out = run(LOAD_FAULTY.format(name=MODULE, path=str(faulty_build)), TARNIX_LAYOUT_FAULT=check)
    message = out.strip()
    built = re.fullmatch(rf"{re.escape(MODULE)} was built for CPython (\S+) and cannot run on (\S+): (.*)", message)
    assert built is not None, message
    # Built against the running interpreter's own headers here.
    assert built.groups() == (RUNNING, RUNNING, APPLYING[check])


@pytest.mark.parametrize("fault", ["", "no-such-check"])
def test_the_faulty_build_imports_when_no_check_is_moved(faulty_build, fault):
    out = run(LOAD_FAULTY.format(name=MODULE, path=str(faulty_build)), TARNIX_LAYOUT_FAULT=fault)
    assert out.strip() == "imported"


def test_the_checks_pass_in_a_subinterpreter():
    # Only the feed catcher: both modules run the same checks, and the vault
    # needs cryptography, whose builds may refuse a second interpreter.
    out = run(SUBINTERPRETERS + """
import sys
interp = new_interpreter(isolated=False)
run_in(interp, f'''
import sys
sys.path[:] = {sys.path!r}
import tarnix.seller_sprite.scraping.feed_catcher
print("imported")
''')
""")
    assert out.strip() == "imported"


# The tools set before the import: each listens to the events of every
# Python function and records the code objects it saw.
WATCHERS = {
    "profiler": """
        sys.setprofile(lambda frame, event, arg: seen.add(frame.f_code.co_filename))
    """,
    "tracer": """
        def trace(frame, event, arg):
            seen.add(frame.f_code.co_filename)
            return trace
        sys.settrace(trace)
    """,
    "monitoring tool": """
        events = sys.monitoring.events
        sys.monitoring.use_tool_id(2, "watching")
        sys.monitoring.register_callback(2, events.PY_START, lambda code, offset: seen.add(code.co_filename))
        sys.monitoring.set_events(2, events.PY_START | events.PY_RETURN)
    """,
}


@pytest.mark.parametrize("watchers", [["profiler"], ["tracer"], ["monitoring tool"], ["monitoring tool", "profiler"]],
                         ids=" and ".join)
def test_the_checks_pass_under_tools_and_leave_them_as_they_were(watchers):
    if "monitoring tool" in watchers and sys.version_info < (3, 12):
        pytest.skip("sys.monitoring is 3.12's")
    setup = "".join(textwrap.dedent(WATCHERS[watcher]) for watcher in watchers)
    out = run(TOOL_STATE + "\nimport sys\nseen = set()\n" + setup + """
before = tool_state()
import tarnix.auth.storage.login_vault, tarnix.seller_sprite.scraping.feed_catcher
after = tool_state()
sys.setprofile(None)
sys.settrace(None)
print(after == before, any("layout check" in name for name in seen), any("importlib" in name for name in seen))
""")
    # Left as they were, and none saw the checks' own code, though each saw
    # the import.
    assert out.split() == ["True", "False", "True"]
