"""What Python's own tools make of both classes.

Each row of a table runs one script against the native classes and against
the plain-Python ones (tests/plain_classes.py); the two answers must agree,
and where the row has an expected answer, be it.  One table per tool:
unittest.mock's autospec, inspect's predicates and states, and the tools
that read the method functions, coroutines and generators in other ways
(pickle, copy, pydoc, typing, asyncio, dis) and must not change
now that those report the interpreter's types as their __class__.
"""

import asyncio
import copy
import dis
import functools
import gc
import inspect
import io
import pickle
import pydoc
import sys
import types
import typing
import warnings
from unittest import mock

import pytest

from plain_classes import plain_python
from tarnix.auth.storage import login_vault
from tarnix.seller_sprite.scraping import feed_catcher

URL = "https://www.sellersprite.com/v2/keyword-miner"
MINING = {"data": {"items": []}}
SAME = object()  # the row's answer is only compared between the sides


class Side:
    def __init__(self, vault_module, catcher_module):
        self.vault_module = vault_module
        self.LoginVault = vault_module.LoginVault
        self.Catcher = catcher_module.SellerSpriteFeedCatcher


SIDES = {
    "native": Side(login_vault, feed_catcher),
    "plain": Side(plain_python, plain_python),
}


@pytest.fixture(autouse=True)
def importable_plain_module(monkeypatch):
    # pickle, mock.patch and inspect find a function's class through its module's name.
    monkeypatch.setitem(sys.modules, plain_python.__name__, plain_python)


def answers(row, tmp_path):
    return [row(side, tmp_path / name) for name, side in SIDES.items()]


def check(row, expected, tmp_path):
    native, plain = answers(row, tmp_path)
    assert native == plain
    if expected is not SAME:
        assert native == expected


def outcome(call, *args, **kwargs):
    try:
        return "returned", call(*args, **kwargs)
    except Exception as error:
        return type(error).__name__, str(error)


class Response:
    def __init__(self, body=MINING):
        self.url, self.status, self.body = URL, 200, body

    def json(self):
        return self.body


class Body:
    """The awaited body: suspends once, recording what `observe` says each time it runs."""

    def __init__(self, observe):
        self.observe = observe

    def __await__(self):
        self.observe()
        yield "tick"
        self.observe()
        return MINING


def new_capture(side, response=None):
    return side.Catcher().capture_json_response(response or Response(), section="keyword_mining",
                                                url_keyword="keyword")


# --- unittest.mock --------------------------------------------------------------


def patched_method_gets_the_instance(side, tmp):
    vault = side.LoginVault(tmp)
    with mock.patch.object(side.LoginVault, "save_token", autospec=True) as patched:
        vault.save_token("erp", "j", 5)
    return patched.call_args == mock.call(vault, "erp", "j", 5)


def patched_method_checks_its_arguments(side, tmp):
    vault = side.LoginVault(tmp)
    with mock.patch.object(side.LoginVault, "save_token", autospec=True) as patched:
        refused = outcome(vault.save_token, "erp")
    return refused, patched.call_count


def autospec_instance_checks_its_arguments(side, tmp):
    vault = mock.create_autospec(side.LoginVault, instance=True)
    catcher = mock.create_autospec(side.Catcher, instance=True)
    return [outcome(vault.remove_token), outcome(catcher.get_payload, 1, 2, 3), outcome(vault.remove_token, "erp")[0]]


def autospec_of_the_class(side, tmp):
    with mock.patch(f"{side.vault_module.__name__}.LoginVault", autospec=True) as cls:
        vault = side.vault_module.LoginVault(tmp)
        vault.save_token("erp", "j", 5)
        refused = [outcome(side.vault_module.LoginVault, tmp, 1), outcome(vault.save_token, "erp"),
                   outcome(vault.clear, 1)]
    return (cls.call_args == mock.call(tmp), vault.save_token.call_args == mock.call("erp", "j", 5),
            type(vault.save_token).__name__, refused)


def autospec_instance_awaits(side, tmp):
    method = mock.create_autospec(side.Catcher, instance=True).capture_json_response
    response = Response()
    asyncio.run(method(response, section="frequency", url_keyword="k"))
    return (type(method).__name__, method.await_count,
            outcome(method.assert_awaited_once_with, response, section="frequency", url_keyword="k"),
            outcome(method, response, "frequency", "k"))


def patched_coroutine_method_awaits_with_the_instance(side, tmp):
    catcher, response = side.Catcher(), Response()
    with mock.patch.object(side.Catcher, "capture_json_response", autospec=True) as patched:
        asyncio.run(catcher.capture_json_response(response, section="frequency", url_keyword="k"))
        refused = outcome(catcher.capture_json_response, response, section="frequency")
        if refused[0] == "returned" and inspect.iscoroutine(refused[1]):
            # From 3.13 on the mock checks the arguments when awaited.
            refused = outcome(asyncio.run, refused[1])
    return (type(patched.mock).__name__, refused,
            outcome(patched.assert_awaited_once_with, catcher, response, section="frequency", url_keyword="k"))


MOCK = {
    "patch.object autospec: the instance is passed": (patched_method_gets_the_instance, True),
    "patch.object autospec: a missing argument is refused": (
        patched_method_checks_its_arguments, (("TypeError", "missing a required argument: 'jwt'"), 0)),
    "create_autospec(instance=True): signatures enforced": (autospec_instance_checks_its_arguments, [
        ("TypeError", "missing a required argument: 'system_key'"),
        ("TypeError", "too many positional arguments"),
        "returned"]),
    "patch(class, autospec=True)": (autospec_of_the_class, (True, True, "MagicMock", [
        ("TypeError", "too many positional arguments"),
        ("TypeError", "missing a required argument: 'jwt'"),
        ("TypeError", "too many positional arguments")])),
    "create_autospec(instance=True): an AsyncMock, awaited": (autospec_instance_awaits, (
        "AsyncMock", 1, ("returned", None), ("TypeError", "too many positional arguments"))),
    "patch.object autospec of the coroutine method": (patched_coroutine_method_awaits_with_the_instance, (
        "AsyncMock", ("TypeError", "missing a required argument: 'url_keyword'"), ("returned", None))),
}


@pytest.mark.parametrize("row, expected", MOCK.values(), ids=MOCK.keys())
def test_mock(row, expected, tmp_path):
    check(row, expected, tmp_path)


# --- inspect --------------------------------------------------------------------


def function_predicates(side, tmp):
    load = side.LoginVault.load
    return (inspect.isfunction(load), isinstance(load, types.FunctionType), inspect.isroutine(load),
            inspect.ismethoddescriptor(load), inspect.ismethod(side.LoginVault(tmp).load))


def members_that_are_functions(side, tmp):
    return ([name for name, _ in inspect.getmembers(side.LoginVault, inspect.isfunction)],
            [name for name, _ in inspect.getmembers(side.Catcher, inspect.iscoroutinefunction)])


def coroutine_predicates(side, tmp):
    co = new_capture(side)
    try:
        return (inspect.iscoroutine(co), isinstance(co, types.CoroutineType), inspect.isawaitable(co),
                asyncio.iscoroutine(co), inspect.getcoroutinestate(co), co.cr_suspended, co.cr_origin)
    finally:
        co.close()


def coroutine_states(side, tmp):
    """Before, during (in the awaited body), suspended, during again, after a run."""
    def state():
        states.append((inspect.getcoroutinestate(co), co.cr_running, co.cr_suspended, co.cr_frame is None))

    states = []
    co = new_capture(side, Response(Body(state)))
    state()
    co.send(None)
    state()
    with pytest.raises(StopIteration):
        co.send(None)
    state()
    return states


def coroutine_states_at_other_ends(side, tmp):
    """Closed before it started, while suspended, and after an exception was thrown in."""
    ends = []
    for steps in (["close"], ["send", "close"], ["send", "throw"]):
        co = new_capture(side, Response(Body(lambda: None)))
        for step in steps:
            outcome(getattr(co, step), *{"send": (None,), "throw": (ValueError,)}.get(step, ()))
        ends.append((inspect.getcoroutinestate(co), co.cr_suspended, co.cr_frame))
    return ends


def tracked_origin(side):
    depth = sys.get_coroutine_origin_tracking_depth()
    sys.set_coroutine_origin_tracking_depth(2)
    try:
        return new_capture(side)
    finally:
        sys.set_coroutine_origin_tracking_depth(depth)


def origin_when_tracked(side, tmp):
    co = tracked_origin(side)
    origin = co.cr_origin
    co.close()
    return origin


def unawaited_warning_when_tracked(side, tmp, action="always"):
    co = tracked_origin(side)
    unraisable = []
    old_hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter(action)
            del co
            gc.collect()
    finally:
        sys.unraisablehook = old_hook
    return ([(w.category, str(w.message), type(w.source).__name__) for w in caught],
            [(type(u.exc_value), str(u.exc_value), type(u.object).__name__) for u in unraisable])


def generator_states(side, tmp):
    """The element scan's generator, seen from an element while it runs, then after."""
    seen = []

    class Grab(dict):
        def __contains__(self, key):
            # Ours holds the element; the interpreter's holds the frame running this call.
            holders = gc.get_referrers(self, sys._getframe(1))
            gen = next(o for o in holders if type(o).__name__ == "generator")
            seen.append((gen, inspect.getgeneratorstate(gen), gen.gi_suspended, inspect.isgenerator(gen),
                         isinstance(gen, types.GeneratorType), [outcome(pickle.dumps, gen, protocol)
                                                                for protocol in (0, 2)]))
            return False

    side.Catcher()._matches_section_payload("frequency", {"data": [Grab()]})
    gen, *during = seen[0]
    return during, inspect.getgeneratorstate(gen), gen.gi_suspended, gen.gi_frame


def class_assignment(side, tmp):
    class Other:
        pass

    co = new_capture(side)
    results = []
    for obj in (side.LoginVault.load, co):
        results += [outcome(setattr, obj, "__class__", Other), outcome(setattr, obj, "__class__", 1),
                    outcome(delattr, obj, "__class__")]
    co.close()
    return results


INSPECT = {
    "function predicates": (function_predicates, (True, True, True, False, True)),
    "getmembers(isfunction / iscoroutinefunction)": (members_that_are_functions, (
        ["__init__", "_save", "clear", "load", "remove_token", "save_session", "save_token"],
        ["capture_json_response"])),
    "coroutine predicates, state and origin": (coroutine_predicates, (
        True, True, True, True, "CORO_CREATED", False, None)),
    "coroutine states through a run": (coroutine_states, [
        ("CORO_CREATED", False, False, False), ("CORO_RUNNING", True, False, False),
        ("CORO_SUSPENDED", False, True, False), ("CORO_RUNNING", True, False, False),
        ("CORO_CLOSED", False, False, True)]),
    "coroutine states after close and throw": (coroutine_states_at_other_ends, [
        ("CORO_CLOSED", False, None)] * 3),
    "cr_origin while tracking": (origin_when_tracked, SAME),
    "never-awaited warning while tracking": (unawaited_warning_when_tracked, SAME),
    "never-awaited warning while tracking, as an error": (
        functools.partial(unawaited_warning_when_tracked, action="error"), SAME),
    "generator states": (generator_states, (
        ["GEN_RUNNING", False, True, True, [("TypeError", "cannot pickle 'generator' object")] * 2],
        "GEN_CLOSED", False, None)),
    "__class__ cannot be assigned": (class_assignment, [
        ("TypeError", "__class__ assignment only supported for mutable types or ModuleType subclasses"),
        ("TypeError", "__class__ must be set to a class, not 'int' object"),
        ("TypeError", "can't delete __class__ attribute")] * 2),
}


@pytest.mark.parametrize("row, expected", INSPECT.values(), ids=INSPECT.keys())
def test_inspect(row, expected, tmp_path):
    check(row, expected, tmp_path)


def test_the_tracked_origin_names_the_creator(tmp_path):
    # What the SAME rows above agree on.
    origin = origin_when_tracked(SIDES["native"], tmp_path)
    assert [(entry[0], entry[2]) for entry in origin] == [(__file__, "new_capture"), (__file__, "tracked_origin")]
    [(_, message, _)], [] = unawaited_warning_when_tracked(SIDES["native"], tmp_path)
    assert "was never awaited\nCoroutine created at (most recent call last)\n" in message
    assert "in tracked_origin\n    return new_capture(side)" in message


def test_type_stays_the_frames_own():
    load = login_vault.LoginVault.load
    assert load.__class__ is types.FunctionType and type(load) is not types.FunctionType
    # C code tests the type, not __class__: the interpreter's own accessors refuse the object.
    with pytest.raises(TypeError, match="doesn't apply to a '_tarnix_frame.function' object"):
        vars(types.FunctionType)["__name__"].__get__(load)


# --- tools that must not change -------------------------------------------------


def methods(side):
    return [f for cls in (side.LoginVault, side.Catcher) for f in vars(cls).values()
            if type(f).__name__ == "function"]


def type_hints(side, tmp):
    # Of the annotations the native methods have: the plain rendering adds `-> None` to three.
    annotated = {f.__qualname__: f.__annotations__ for f in methods(SIDES["native"])}
    return {f.__qualname__: {name: hint for name, hint in typing.get_type_hints(f).items()
                             if name in annotated[f.__qualname__]} for f in methods(side)}


def pickled_and_copied(side, tmp):
    functions = [side.LoginVault.load, side.Catcher.capture_json_response]
    same = [[pickle.loads(pickle.dumps(f, protocol)) is f for protocol in (0, 2, 5)]
            + [copy.copy(f) is f, copy.deepcopy(f) is f] for f in functions]
    co = new_capture(side)
    refused = [outcome(pickle.dumps, co), outcome(copy.copy, co), outcome(pickle.dumps, co, 0)]
    co.close()
    return same, refused


def coroutine_functions(side, tmp):
    return [(f.__name__, asyncio.iscoroutinefunction(f), inspect.iscoroutinefunction(f)) for f in methods(side)]


def documentation(side, tmp):
    capture, co = side.Catcher.capture_json_response, new_capture(side)
    co.close()
    return (pydoc.describe(side.LoginVault.load), pydoc.describe(co),
            pydoc.plaintext.document(capture).splitlines()[0],
            pydoc.plaintext.document(side.LoginVault.load).splitlines()[0],
            inspect.getdoc(side.Catcher.__init__), inspect.getdoc(side.LoginVault.clear))


def disassembled(side, tmp):
    return [outcome(dis.dis, f, file=io.StringIO()) for f in methods(side)]


def posing_objects_as_payloads(side, tmp):
    """The recognition rules given functions and coroutines where the body wants dicts and lists."""
    match = side.Catcher()._matches_section_payload
    co = new_capture(side)
    values = [side.LoginVault.load, co]
    try:
        return [(match("keyword_mining", {"data": {"items": value}}), match("reverse_stats", value),
                 match("frequency", {"data": [value]})) for value in values]
    finally:
        co.close()


TOOLS = {
    "typing.get_type_hints": (type_hints, SAME),
    "pickle and copy": (pickled_and_copied, (
        [[True] * 5] * 2, [("TypeError", "cannot pickle 'coroutine' object")] * 3)),
    "asyncio / inspect.iscoroutinefunction": (coroutine_functions, SAME),
    "pydoc and getdoc": (documentation, SAME),
    "dis.dis": (disassembled, [("returned", None)] * 12),
    "isinstance decisions of the bodies": (posing_objects_as_payloads, [(False, False, False)] * 2),
}


@pytest.mark.parametrize("row, expected", TOOLS.values(), ids=TOOLS.keys())
def test_tools(row, expected, tmp_path):
    check(row, expected, tmp_path)
