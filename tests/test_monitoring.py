"""What sys.monitoring tools see of the native methods and coroutines: the
events of a Python function's frame, compared with the plain classes (and the
Python twin of the capture coroutine) on the same interpreter.

From 3.12 on every profiler is a sys.monitoring tool (cProfile, and
sys.setprofile through the interpreter's own tool), so these events are what
all of them are built on.
"""

import sys
import traceback

import pytest

import test_coroutine
import test_profiling
from plain_classes import plain_python as plain
from tarnix.auth.storage.login_vault import LoginVault
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

monitoring = getattr(sys, "monitoring", None)
pytestmark = pytest.mark.skipif(monitoring is None, reason="sys.monitoring is new in 3.12")

TOOL = 4  # not one of the ids PEP 669 suggests, so nothing else in the run claims it
EVENTS = {"start": "PY_START", "resume": "PY_RESUME", "return": "PY_RETURN", "yield": "PY_YIELD",
          "unwind": "PY_UNWIND", "throw": "PY_THROW"}
SIDES = {"ours": (LoginVault, SellerSpriteFeedCatcher), "plain": (plain.LoginVault, plain.SellerSpriteFeedCatcher)}
WATCHED = test_profiling.METHODS | {"genexpr", "twin"}
WATCHED_FILES = test_profiling.NATIVE_FILES | {plain.__file__, test_coroutine.__file__}


def event_ids(names=EVENTS):
    return {getattr(monitoring.events, EVENTS[name]): name for name in names}


class Watching:
    """The tool, listening to the frame events while the block runs; each
    event of a watched function's code is passed to `on_event` (which may
    return what a callback returns) and logged as (event, function, what
    the argument is)."""

    def __init__(self, on_event=lambda event, code, arg: None, names=EVENTS):
        self.on_event, self.ids, self.seen = on_event, event_ids(names), []

    def callback(self, event):
        def called(code, offset, *arg):
            assert isinstance(offset, int) and offset % 2 == 0
            if code.co_name not in WATCHED or code.co_filename not in WATCHED_FILES:
                return None
            self.seen.append((event, code.co_name, type(arg[0]).__name__ if arg else None))
            return self.on_event(event, code, arg[0] if arg else None)
        return called

    def __enter__(self):
        monitoring.use_tool_id(TOOL, "test")
        for event_id, name in self.ids.items():
            monitoring.register_callback(TOOL, event_id, self.callback(name))
        monitoring.set_events(TOOL, sum(self.ids))
        return self

    def __exit__(self, *exc):
        monitoring.set_events(TOOL, 0)
        for event_id in self.ids:
            monitoring.register_callback(TOOL, event_id, None)
        monitoring.free_tool_id(TOOL)


def test_the_workload_gives_the_plain_classes_events(tmp_path):
    seen = {}
    for side, classes in SIDES.items():
        with Watching() as tool:
            test_profiling.workload(*classes, tmp_path / side)
        seen[side] = tool.seen
    assert seen["ours"] == seen["plain"]
    assert {event for event, _, _ in seen["ours"]} == set(EVENTS) - {"throw", "unwind"}


@pytest.mark.parametrize("make, steps", test_coroutine.PROTOCOL_CASES.values(),
                         ids=test_coroutine.PROTOCOL_CASES.keys())
def test_each_protocol_step_gives_the_events_of_the_interpreters_coroutine(make, steps):
    # Including a throw() into one suspended in an await: the awaited object
    # is thrown into first, and the coroutine's own frame sees a throw (its
    # delegate failed), a resumption (its delegate returned) or nothing (the
    # delegate yielded), as the interpreter's own coroutine's frame does.
    seen = {}
    for kind in ("ours", "twin"):
        side = test_coroutine.Side(kind, make)
        with Watching() as tool:
            outcomes = side.run(steps)
        seen[kind] = [(event, arg) for event, _, arg in tool.seen], outcomes
    assert seen["ours"] == seen["twin"]


def location_of(code, offset):
    """The line an event's offset is at, counted from the function's first line."""
    return next(line for start, end, line in code.co_lines() if start <= offset < end) - code.co_firstlineno


def test_the_offsets_are_those_of_the_lines_the_events_happen_at(tmp_path):
    # Where a start or a return happens, as the frame's line shows it.
    lines = []

    def record(code, offset, *arg):
        if code is LoginVault.load.__code__:
            lines.append((location_of(code, offset), sys._getframe(1).f_lineno - code.co_firstlineno))

    monitoring.use_tool_id(TOOL, "test")
    try:
        for event in (monitoring.events.PY_START, monitoring.events.PY_RETURN):
            monitoring.register_callback(TOOL, event, record)
        monitoring.set_events(TOOL, monitoring.events.PY_START | monitoring.events.PY_RETURN)
        LoginVault(base_dir=tmp_path).load()
    finally:
        monitoring.set_events(TOOL, 0)
        monitoring.free_tool_id(TOOL)
    (start, start_shown), (end, end_shown) = lines
    assert start == start_shown == 0 and end == end_shown > 0


def disable(event_name):
    def on_event(event, code, arg):
        return monitoring.DISABLE if event == event_name else None
    return on_event


@pytest.mark.parametrize("event", EVENTS)
def test_disable_as_the_interpreter_honours_it(tmp_path, event):
    # A local event is switched off for the code object it was returned for,
    # until restart_events(); PY_UNWIND and PY_THROW cannot be, and the
    # interpreter raises ValueError and drops the callback instead.
    def answers(side):
        vault_class, catcher_class = SIDES[side]
        results = []
        with Watching(disable(event)) as tool:
            for round in range(3):
                if round == 2:
                    monitoring.restart_events()
                try:
                    test_profiling.workload(vault_class, catcher_class, tmp_path / f"{side}{round}")
                    results.append("done")
                except ValueError as error:
                    results.append(str(error))
                try:
                    vault_class(base_dir=tmp_path / f"{side}{round}").remove_token()
                except TypeError:
                    pass
        return results, tool.seen

    assert answers("ours") == answers("plain")


def failing(event_name, exception):
    fired = []

    def on_event(event, code, arg):
        if event == event_name and not fired:
            fired.append(event)
            raise exception
    return on_event


class Boom(Exception):
    pass


# The interpreter's debug build aborts on an assertion (CLEANUP_THROW in its
# loop) when a callback fails at the yield of a coroutine that another one
# awaits, so the Python side cannot be taken through that event there.
PLAIN_ABORTS_AT_FAILED_YIELD = hasattr(sys, "gettotalrefcount")


FAILING_EVENTS = [
    pytest.param(name, marks=pytest.mark.skipif(name == "yield" and PLAIN_ABORTS_AT_FAILED_YIELD,
                                                reason="the debug interpreter aborts on its own side"))
    for name in EVENTS]


@pytest.mark.parametrize("event", FAILING_EVENTS)
def test_a_failing_callback_fails_the_frame_as_the_interpreters(tmp_path, event):
    # The callback's error is raised in the frame at the event: entries, the
    # events that follow (an unwind) and what the caller sees, as for a
    # Python function.
    def answers(side):
        vault_class, catcher_class = SIDES[side]
        with Watching(failing(event, Boom(event))) as tool:
            try:
                test_profiling.workload(vault_class, catcher_class, tmp_path / side)
                outcome = None
            except Boom as error:
                outcome = [frame.name for frame in traceback.extract_tb(error.__traceback__)
                           if frame.filename in WATCHED_FILES]
        return outcome, tool.seen

    ours, theirs = answers("ours"), answers("plain")
    # Our traceback entries carry the method's qualified name where the
    # interpreter's carry the function's name.
    assert ours[0] is None or [name.rsplit(".", 1)[-1] for name in ours[0]] == theirs[0]
    assert (ours[0] is None, ours[1]) == (theirs[0] is None, theirs[1])


def test_no_events_while_a_callback_runs(tmp_path):
    # A callback calling a method sees none of that method's events, as a
    # Python function called from a callback gives none.
    def answers(side):
        vault_class, _ = SIDES[side]
        vault = vault_class(base_dir=tmp_path / side)
        nested = []

        def on_event(event, code, arg):
            if event == "start" and code.co_name == "clear" and not nested:
                nested.append(vault.load())
        with Watching(on_event) as tool:
            vault.clear()
        return nested, tool.seen

    assert answers("ours") == answers("plain")


def test_instrumenting_the_native_code_objects_is_harmless(tmp_path):
    # Turning events on instruments every code object on the thread's stack,
    # the native method's too: its placeholder bytecode is rewritten, never
    # run, and the line its frame shows still comes from the location table.
    import types

    code = LoginVault._save.__code__
    placeholder = code.co_code
    every_event = 0
    for name in ("LINE", "INSTRUCTION", "JUMP", "BRANCH", "CALL", "PY_START", "PY_RETURN"):
        every_event |= getattr(monitoring.events, name)
    shown = []

    def encrypt(text):
        if monitoring.get_tool(TOOL) is not None:
            monitoring.set_events(TOOL, every_event)
        frame = sys._getframe(1)
        shown.append((frame.f_code is code, frame.f_lineno - code.co_firstlineno, location_of(code, frame.f_lasti)))
        return text.encode()

    vault = LoginVault(base_dir=tmp_path)
    vault._crypto = types.SimpleNamespace(encrypt=encrypt, decrypt=bytes.decode)
    monitoring.use_tool_id(TOOL, "test")
    try:
        for event in (monitoring.events.LINE, monitoring.events.INSTRUCTION, monitoring.events.PY_START):
            monitoring.register_callback(TOOL, event, lambda *args: None)
        vault.save_token("erp", "jwt", 60)
        vault.save_token("erp", "jwt", 60)
    finally:
        monitoring.set_events(TOOL, 0)
        monitoring.free_tool_id(TOOL)
    vault.save_token("erp", "jwt", 60)
    assert code.co_code == placeholder
    assert shown[0] == shown[1] == shown[2] and shown[0][0] and shown[0][1] == shown[0][2]



FAILING_CASES = ["runs to its end, then refuses reuse", "delegate catches and returns", "delegate re-raises",
                 "close closes the delegate first", "throw into a fresh one fails it at once"]


@pytest.mark.parametrize("case", FAILING_CASES)
@pytest.mark.parametrize("event", FAILING_EVENTS)
def test_a_failing_callback_on_a_coroutine_as_on_the_interpreters(event, case):
    make, steps = test_coroutine.PROTOCOL_CASES[case]
    seen = {}
    for kind in ("ours", "twin"):
        side = test_coroutine.Side(kind, make)
        with Watching(failing(event, Boom(event))) as tool:
            outcomes = side.run(steps)
        seen[kind] = [(event, arg) for event, _, arg in tool.seen], outcomes
    assert seen["ours"] == seen["twin"]
