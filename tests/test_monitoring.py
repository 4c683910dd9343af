"""What sys.monitoring sees of the native methods: the events of a Python function.

Each case runs against the native classes and against their plain-Python
rendering (bench/plain_python.py, and the Python twin of the capture body in
test_coroutine.py) with a tool listening to the events of a function's frame;
both must give the same events, in the same order, at the same lines.
"""

import sys
import types

import pytest

from plain_classes import plain_python
import test_coroutine
from tarnix.auth.storage.login_vault import LoginVault
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

pytestmark = pytest.mark.skipif(not hasattr(sys, "monitoring"), reason="no sys.monitoring before 3.12")

TOOL = 3  # neither the debugger's (0), cProfile's (2) nor the legacy hooks' (6, 7)
NATIVE_FILES = {"tarnix/auth/storage/login_vault", "tarnix/seller_sprite/scraping/feed_catcher"}
METHODS = {"__init__", "base_dir", "load", "_save", "save_session", "save_token", "remove_token", "clear",
           "capture_json_response", "_matches_section_payload", "get_payload", "save_all", "genexpr"}
EVENTS = ["PY_START", "PY_RESUME", "PY_RETURN", "PY_YIELD", "PY_UNWIND", "PY_THROW"]
SIDES = {"native": (LoginVault, SellerSpriteFeedCatcher), "plain": (plain_python.LoginVault,
                                                                     plain_python.SellerSpriteFeedCatcher)}


def function_of(code):
    """The method a code object is of, on either side (the capture's Python
    twin stands for the plain capture), or None for anything else."""
    name = code.co_name.strip("<>")
    if code.co_filename == test_coroutine.__file__:
        return "capture_json_response" if name == "twin" else None
    if code.co_filename in NATIVE_FILES or code.co_filename == plain_python.__file__:
        return name if name in METHODS else None
    return None


def shows_its_line(code, offset):
    """Whether the offset is where the frame is: the line the location table
    gives for it is the frame's current line (the frame is the innermost
    one while its events are reported)."""
    frame = sys._getframe(2)
    line = next((line for start, end, line in code.co_lines() if start <= offset < end), None)
    return frame.f_code is code and line == frame.f_lineno


def describe(arg):
    return repr(arg) if arg is None or isinstance(arg, (bool, int, str)) else type(arg).__name__


class Watch:
    """A tool recording the events of the watched files' code objects.
    `on_event(name, code)` may answer for a callback (DISABLE, or raise)."""

    def __init__(self, events=EVENTS, on_event=None):
        self.seen, self.lines_shown, self.events, self.on_event = [], [], events, on_event

    def callback(self, name):
        def record(code, offset, *arg):
            function = function_of(code)
            if function is None:
                return None
            self.seen.append((name, function, *map(describe, arg)))
            self.lines_shown.append(shows_its_line(code, offset))
            return self.on_event(name, function) if self.on_event else None
        return record

    def __enter__(self):
        monitoring = sys.monitoring
        monitoring.use_tool_id(TOOL, "tests")
        for name in self.events:
            monitoring.register_callback(TOOL, getattr(monitoring.events, name), self.callback(name))
        mask = 0
        for name in self.events:
            mask |= getattr(monitoring.events, name)
        monitoring.set_events(TOOL, mask)
        return self

    def __exit__(self, *exc):
        sys.monitoring.set_events(TOOL, 0)
        for name in self.events:
            sys.monitoring.register_callback(TOOL, getattr(sys.monitoring.events, name), None)
        sys.monitoring.free_tool_id(TOOL)
        sys.monitoring.restart_events()


def outcome(call):
    try:
        return "returned", type(call()).__name__
    except Exception as error:
        return "raised", type(error).__name__


def vault_calls(vault_class, catcher_class, tmp_path):
    vault = vault_class(base_dir=tmp_path)
    return [outcome(lambda: vault.save_token("erp", "jwt", 60)), outcome(vault.load),
            outcome(lambda: vault.remove_token("crm"))]


def raising_calls(vault_class, catcher_class, tmp_path):
    def refuse(text):
        raise PermissionError("no key")

    vault = vault_class(base_dir=tmp_path)
    vault._crypto = types.SimpleNamespace(encrypt=refuse, decrypt=bytes.decode)
    return [outcome(lambda: vault.save_token("erp", "jwt", 60)), outcome(lambda: vault.remove_token("erp"))]


def element_scan(vault_class, catcher_class, tmp_path):
    # One deciding element: the generator expression yields it, and any() stops.
    return [outcome(lambda: catcher_class()._matches_section_payload(
        "frequency", {"data": [{"frequency": 1, "keyword": "k"}]}))]


def coroutine_steps(*steps):
    def run(vault_class, catcher_class, tmp_path):
        kind = "ours" if catcher_class is SellerSpriteFeedCatcher else "twin"
        side = test_coroutine.Side(kind, test_coroutine.Fetch)
        return side.run(steps)
    return run


S, C = ("send", None), ("close",)
CASES = {
    "calls": vault_calls,
    "a call raising": raising_calls,
    "generator expression": element_scan,
    "coroutine sent to its end": coroutine_steps(S, S),
    "coroutine thrown into while it awaits": coroutine_steps(S, ("throw", ValueError("x"))),
    "coroutine closed while it awaits": coroutine_steps(S, C),
    "coroutine closed unstarted": coroutine_steps(C),
    "coroutine thrown into unstarted": coroutine_steps(("throw", StopIteration(3))),
}


def watched(case, side, tmp_path, **watch):
    vault_class, catcher_class = SIDES[side]
    with Watch(**watch) as tool:
        results = case(vault_class, catcher_class, tmp_path / side)
    # Each event's offset is where the native frame shows its line.
    assert side == "plain" or all(tool.lines_shown)
    return results, tool.seen


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_a_tool_sees_the_events_of_a_python_function(case, tmp_path):
    native, plain = (watched(case, side, tmp_path) for side in SIDES)
    assert native == plain
    assert native[1]  # the case gave events at all


def disable_starts(name, function):
    return sys.monitoring.DISABLE if name in ("PY_START", "PY_RESUME") else None


def disable_unwinds(name, function):
    return sys.monitoring.DISABLE if name == "PY_UNWIND" else None


def fail_at(event, where):
    def fail(name, function):
        if name == event and function == where:
            raise LookupError(name)
    return fail


def call_a_method_inside(name, function):
    # The tool's own calls are not watched: no events come from inside it.
    if name == "PY_START" and function == "load":
        LoginVault(base_dir=".").base_dir


ANSWERS = {
    # DISABLE turns off a local event at that place until restart_events().
    "DISABLE at starts": (disable_starts, CASES["calls"]),
    "DISABLE at starts of a coroutine": (disable_starts, coroutine_steps(S, S)),
    # It cannot turn off an unwind: ValueError, and the tool's callback is gone.
    "DISABLE at an unwind": (disable_unwinds, raising_calls),
    "failing at a start": (fail_at("PY_START", "load"), vault_calls),
    "failing at a return": (fail_at("PY_RETURN", "load"), vault_calls),
    # Raised inside the frame, at the await: the body's except clause takes it.
    "failing at a yield": (fail_at("PY_YIELD", "capture_json_response"), coroutine_steps(S, S)),
    "failing at a resumption": (fail_at("PY_RESUME", "capture_json_response"), coroutine_steps(S, S)),
    "failing at a throw": (fail_at("PY_THROW", "capture_json_response"),
                           coroutine_steps(S, ("throw", ValueError("x")))),
    "failing at the generator expression's yield": (fail_at("PY_YIELD", "genexpr"), element_scan),
    "calling a method inside the callback": (call_a_method_inside, vault_calls),
}


@pytest.mark.parametrize("on_event, case", ANSWERS.values(), ids=ANSWERS.keys())
def test_what_a_callback_answers_acts_as_for_a_python_function(on_event, case, tmp_path):
    native, plain = (watched(case, side, tmp_path, on_event=on_event) for side in SIDES)
    assert native == plain


def test_cprofile_and_setprofile_ride_on_the_same_events(tmp_path):
    import cProfile

    def profiled(side):
        vault_class, catcher_class = SIDES[side]
        seen = []

        def profile(frame, event, arg):
            if event in ("call", "return") and function_of(frame.f_code):
                seen.append((event, function_of(frame.f_code)))

        profiler = cProfile.Profile()
        profiler.enable()
        try:
            # cProfile holds sys.monitoring's profiler tool; the profile function is seen as None.
            during = sys.getprofile()
        finally:
            profiler.disable()
        sys.setprofile(profile)
        try:
            vault_calls(vault_class, catcher_class, tmp_path / side)
        finally:
            sys.setprofile(None)
        return during, seen

    assert profiled("native") == profiled("plain")
