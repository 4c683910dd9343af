"""What stack walkers see while a native method runs: the frames of Python
functions.

Each row runs one scenario against the native classes and against their
plain-Python rendering (bench/plain_python.py) and looks at the stack with
one of Python's own tools from inside a callee: the keyring backend, the
crypto object, an awaited response body.  Places are compared as (module,
function, line); in the plain source, a statement that stands for a native
line is marked with a trailing "# line N".
"""

import faulthandler
import gc
import inspect
import linecache
import logging
import pdb
import re
import sys
import tempfile
import traceback
import warnings
from pathlib import Path

import pytest

import tarnix.auth.storage.login_vault as native_vault
import tarnix.seller_sprite.scraping.feed_catcher as native_catcher
from plain_classes import plain_python

NATIVE_FILES = {"tarnix/auth/storage/login_vault": "login_vault",
                "tarnix/seller_sprite/scraping/feed_catcher": "feed_catcher"}
PLAIN_FILE = plain_python.__file__
PLAIN_MODULE_OF = {**{name: "login_vault" for name in vars(plain_python.LoginVault)},
                   **{name: "feed_catcher" for name in vars(plain_python.SellerSpriteFeedCatcher)}}
SIDES = {
    "native": (native_vault.LoginVault, native_catcher.SellerSpriteFeedCatcher),
    "plain": (plain_python.LoginVault, plain_python.SellerSpriteFeedCatcher),
}
NAMESPACES = {"native": (vars(native_vault), vars(native_catcher)), "plain": (vars(plain_python),) * 2}
URL = "https://www.sellersprite.com/v3/api/keyword-miner?q=1"


def place(filename, line, function):
    """(module, function, line), the plain source's lines read as the native ones."""
    if filename in NATIVE_FILES:
        return NATIVE_FILES[filename], function, line
    if filename == PLAIN_FILE:
        marked = re.search(r"# line (\d+)$", linecache.getline(filename, line).rstrip())
        if function == "<genexpr>":  # the native generator expression's code object is "genexpr"
            return "feed_catcher", "genexpr", int(marked[1]) if marked else f"? {line}"
        return PLAIN_MODULE_OF.get(function, "plain_python"), function, int(marked[1]) if marked else f"? {line}"
    return Path(filename).name, function, line


def up_to_drive(places):
    """Innermost first, down to the scenario's own frame (the rest is pytest)."""
    places = list(places)
    names = [function for _, function, _ in places]
    assert "drive" in names, places
    return places[:names.index("drive") + 1]


def parse_frames(text, pattern):
    return [place(path, int(line), function) for path, line, function in re.findall(pattern, text)]


# --- the tools, each called inside the callee --------------------------------

def with_inspect():
    return up_to_drive(place(info.filename, info.lineno, info.function) for info in inspect.stack(0)[1:])


def with_extract_stack():
    return up_to_drive(place(entry.filename, entry.lineno, entry.name)
                       for entry in reversed(traceback.extract_stack(sys._getframe(1))))


def with_faulthandler():
    with tempfile.TemporaryFile("w+") as dump:
        faulthandler.dump_traceback(dump, all_threads=False)
        dump.seek(0)
        frames = parse_frames(dump.read(), r'File "([^"]+)", line (\d+) in (\S+)')
    return up_to_drive(frames[1:])  # from the callee on


def with_pdb_where():
    debugger = pdb.Pdb()
    debugger.botframe = None  # what `where` shows when the debugger stops here
    stack, _ = debugger.get_stack(sys._getframe(1), None)
    return up_to_drive(place(frame.f_code.co_filename, line, frame.f_code.co_name) for frame, line in reversed(stack))


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


def with_logging():
    """The caller fields of a record logged one level up, and its stack_info."""
    handler, logger = Records(), logging.getLogger("tests.stack")
    logger.addHandler(handler)
    try:
        logger.warning("probe", stacklevel=2, stack_info=True)
    finally:
        logger.removeHandler(handler)
    record = handler.records[0]
    stack = parse_frames(record.stack_info, r'File "([^"]+)", line (\d+), in (\S+)')
    return place(record.pathname, record.lineno, record.funcName), up_to_drive(reversed(stack))


def with_warnings():
    """Where warn(stacklevel=2) from the callee points, and whose registry took it."""
    method = sys._getframe(2)
    # A registry left by an earlier warning from the module would answer for this one.
    earlier = method.f_globals.pop("__warningregistry__", None)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.warn("probe", UserWarning, stacklevel=2)
    module, _, line = place(caught[0].filename, caught[0].lineno, method.f_code.co_name)
    took_it = "__warningregistry__" in method.f_globals
    if earlier is not None:
        method.f_globals["__warningregistry__"] = earlier
    return module, line, took_it


def with_location_table():
    """The method's line as readers outside Python compute it: from the code
    unit the frame is at (f_lasti), through the code object's location table."""
    method = sys._getframe(2)
    code = method.f_code
    from_table = next(line for start, end, line in code.co_lines() if start <= method.f_lasti < end)
    return (place(code.co_filename, from_table, code.co_name),
            place(code.co_filename, method.f_lineno, code.co_name))


def parameters(frame):
    code = frame.f_code
    # A Python generator expression takes its iterator as the argument ".0".
    names = [name for name in code.co_varnames[:code.co_argcount + code.co_kwonlyargcount] if name != ".0"]
    return {name: type(value).__name__ for name, value in frame.f_locals.items() if name in names}


def with_f_locals():
    method = sys._getframe(2)
    method_place = place(method.f_code.co_filename, method.f_lineno, method.f_code.co_name)
    return method_place, parameters(method), sys._getframe(1).f_back is method


def kept_frame():
    """The method's frame itself, and what clearing it says while it runs."""
    method = sys._getframe(2)
    try:
        method.clear()
    except RuntimeError as error:
        return method, str(error)
    return method, "cleared a running frame"


# --- the scenarios: each drives one method and returns what the tool saw -----

class Crypto:
    def __init__(self, tool):
        self.tool, self.seen = tool, None

    def encrypt(self, text):
        self.seen = self.tool()
        return text.encode()

    def decrypt(self, data):
        return data.decode()


def in_keyring_backend(side, tool, tmp_path, monkeypatch):
    vault_class, _ = SIDES[side]
    seen = []

    def get_password(service, account):
        seen.append(tool())

    monkeypatch.setattr(sys.modules["keyring"], "get_password", get_password)
    vault = vault_class()

    def drive():
        vault.save_token("erp", "jwt", 5)  # load reads the keyring first

    drive()
    return seen[0]


def in_crypto_object(side, tool, tmp_path, monkeypatch):
    vault_class, _ = SIDES[side]
    vault = vault_class(base_dir=tmp_path / side)
    vault._crypto = Crypto(tool)

    def drive():
        vault.save_token("erp", "jwt", 5)  # _save encrypts: the file layer

    drive()
    return vault._crypto.seen


def in_response_body(side, tool, tmp_path, monkeypatch):
    _, catcher_class = SIDES[side]
    seen = []

    class Response:
        url, status = URL, 200

        async def json(self):
            seen.append(tool())
            return {"data": {"items": []}}

    catcher = catcher_class()

    def drive():
        with pytest.raises(StopIteration):
            catcher.capture_json_response(Response(), section="keyword_mining", url_keyword="keyword").send(None)

    drive()
    return seen[0]


def in_element_scan(side, tool, tmp_path, monkeypatch):
    _, catcher_class = SIDES[side]
    seen = []

    class Element(dict):
        def __contains__(self, key):
            if not seen:
                seen.append(tool())
            return True

    catcher = catcher_class()

    def drive():
        assert catcher._matches_section_payload("frequency", {"data": [Element()]}) is True

    drive()
    return seen[0]


# Where the calls usually run without showing a frame, since nothing can look
# (only exact dicts of str keys, lists and text): a key or an object that
# runs Python code in the lookups and type tests the rules and get_payload
# make must find their frames on the stack all the same.

def calling_back(tool, seen):
    """A str subclass with the text's own hash and a __eq__ of its own, which
    a dict holding it calls on a lookup of that text, and an object whose
    __class__ is a property, which isinstance reads."""
    class Key(str):
        def __hash__(self):
            return str.__hash__(self)

        def __eq__(self, other):
            if not seen:
                seen.append(tool())
            return str.__eq__(self, other)

    class Posing:
        @property
        def __class__(self):
            if not seen:
                seen.append(tool())
            return list

    return Key, Posing


def in_element_key(side, tool, tmp_path, monkeypatch):
    seen = []
    Key, _ = calling_back(tool, seen)
    catcher = SIDES[side][1]()

    def drive():
        element = {Key("frequency"): 1, "keyword": "k"}
        assert catcher._matches_section_payload("frequency", {"data": [{"keyword": "k"}, element]}) is True

    drive()
    return seen[0]


def in_element_class(side, tool, tmp_path, monkeypatch):
    seen = []
    _, Posing = calling_back(tool, seen)
    catcher = SIDES[side][1]()

    def drive():
        assert catcher._matches_section_payload("reverse_frequency", {"data": [Posing()]}) is False

    drive()
    return seen[0]


def in_payload_key(side, tool, tmp_path, monkeypatch):
    seen = []
    Key, _ = calling_back(tool, seen)
    catcher = SIDES[side][1]()

    def drive():
        payload = {Key("data"): {"monthlyDto": [], "variations": []}}
        assert catcher._matches_section_payload("reverse_monthly", payload) is True

    drive()
    return seen[0]


def in_record_key(side, tool, tmp_path, monkeypatch):
    seen = []
    Key, _ = calling_back(tool, seen)
    catcher = SIDES[side][1]()
    catcher.responses["frequency"] = {Key("payload"): {"data": []}}

    def drive():
        assert catcher.get_payload("frequency") == {"data": []}

    drive()
    return seen[0]


def in_section_key(side, tool, tmp_path, monkeypatch):
    seen = []
    Key, _ = calling_back(tool, seen)
    catcher = SIDES[side][1]()
    catcher.responses[Key("frequency")] = {"payload": {"data": []}}

    def drive():
        assert catcher.get_payload("frequency") == {"data": []}

    drive()
    return seen[0]


SCENARIOS = [in_keyring_backend, in_crypto_object, in_response_body, in_element_scan,
             in_element_key, in_element_class, in_payload_key, in_record_key, in_section_key]
TOOLS = [with_inspect, with_extract_stack, with_faulthandler, with_pdb_where, with_logging, with_warnings,
         with_f_locals, with_location_table]


class Held:
    """An object only a frame's local holds, which says when it is released."""

    def __init__(self, released):
        self.released = released

    def __del__(self):
        self.released.append(True)


def through_f_locals(frame, name, released):
    """What f_locals gives of a method's frame, and what writing it does: a
    dict made afresh up to 3.12, a view that writes through to the frame from
    3.13 on (where the frame's locals cannot be removed)."""
    def attempt(operation):
        try:
            result = operation()
            return "done", result if result is None or isinstance(result, bool) else "a value"
        except Exception as error:
            return type(error).__name__

    def reread(value):
        frame.f_locals[name] = value
        return frame.f_locals[name] is value

    original = frame.f_locals[name]
    marker = object()
    rows = {
        "type": type(frame.f_locals).__name__,
        "a parameter": frame.f_locals[name] is original,
        "written, read again": reread(marker),
        # what a debugger does for `!name = ...` (pdb runs it in f_locals)
        "a debugger's assignment": attempt(lambda: exec(f"{name} = {name}", frame.f_globals, frame.f_locals)),
        "a name of no local": attempt(lambda: reread(marker) and frame.f_locals.__setitem__("extra", 1)),
        "removed": attempt(lambda: frame.f_locals.__delitem__(name)),
        "popped": attempt(lambda: frame.f_locals.pop(name)),
    }
    frame.f_locals[name] = original
    rows["restored"] = frame.f_locals[name] is original
    # A value left in a local the call has not bound yet: the frame releases
    # it (3.13), or never takes it (earlier), by the time the call ends.
    code = frame.f_code
    unbound = [local for local in code.co_varnames[code.co_argcount:] if local not in frame.f_locals]
    frame.f_locals[unbound[0] if unbound else "spare"] = Held(released)
    return rows


def with_f_locals_written(released):
    def tool():
        method = sys._getframe(2)
        return through_f_locals(method, method.f_code.co_varnames[0], released)
    return tool


@pytest.mark.parametrize("scenario", [in_keyring_backend, in_crypto_object, in_response_body],
                         ids=lambda scenario: scenario.__name__)
def test_f_locals_reads_and_writes_a_methods_frame_as_a_python_functions(scenario, tmp_path, monkeypatch):
    def seen(side):
        released = []
        rows = scenario(side, with_f_locals_written(released), tmp_path, monkeypatch)
        gc.collect()
        return rows, released

    assert seen("native") == seen("plain")


@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda scenario: scenario.__name__)
@pytest.mark.parametrize("tool", TOOLS, ids=lambda tool: tool.__name__)
def test_stack_walkers_see_the_methods_as_the_plain_classes(tool, scenario, tmp_path, monkeypatch):
    seen = {side: scenario(side, tool, tmp_path, monkeypatch) for side in SIDES}
    assert seen["native"] == seen["plain"]


@pytest.mark.parametrize("scenario", SCENARIOS, ids=lambda scenario: scenario.__name__)
def test_a_frame_kept_after_its_call_stays_a_frame(scenario, tmp_path, monkeypatch):
    def after_return(side):
        frame, refusal = scenario(side, kept_frame, tmp_path, monkeypatch)
        code, back = frame.f_code, frame.f_back
        # 3.13's own generator expression, closed at a yield, keeps in its
        # frame the pointers to the locals it released, which f_locals would
        # read: a generator expression's locals are not asked for, on either side.
        readable = code.co_name.strip("<>") != "genexpr"
        view = (place(code.co_filename, frame.f_lineno, code.co_name), refusal,
                parameters(frame) if readable else None,
                back and place(back.f_code.co_filename, back.f_lineno, back.f_code.co_name))
        assert frame.clear() is None
        assert not readable or frame.f_locals == {}
        return view

    assert after_return("native") == after_return("plain")


# --- the module's own log records ---------------------------------------------

class UnlinkFails(type(Path())):
    def unlink(self, missing_ok=False):
        raise PermissionError("read-only")


def keyring_read_fails(vault_class, backend, tmp_path):
    backend.failures["get_password"] = RuntimeError("locked")
    vault_class().load()


def keyring_write_fails(vault_class, backend, tmp_path):
    backend.failures["set_password"] = RuntimeError("locked")
    vault_class()._save({"session_id": "s"})


def old_file_stays(vault_class, backend, tmp_path):
    vault = vault_class()
    vault._path = UnlinkFails(tmp_path / "credentials.bin")
    vault._save({"session_id": "s"})


def keyring_delete_fails(vault_class, backend, tmp_path):
    vault_class().clear()  # nothing stored: the backend refuses the delete


@pytest.mark.parametrize("site, expected", [
    (keyring_read_fails, "login_vault load 88"),
    (keyring_write_fails, "login_vault _save 111"),
    (old_file_stays, "login_vault _save 107"),
    (keyring_delete_fails, "login_vault clear 181"),
], ids=lambda value: getattr(value, "__name__", None))
def test_the_modules_log_records_name_its_function_and_line(site, expected, keyring_backend, tmp_path):
    handler, logger = Records(), logging.getLogger("tarnix.auth.storage")
    logger.addHandler(handler)
    level = logger.level
    logger.setLevel(logging.DEBUG)
    try:
        lines = {}
        for side, (vault_class, _) in SIDES.items():
            handler.records.clear()
            site(vault_class, keyring_backend, tmp_path)
            lines[side] = [" ".join(map(str, place(record.pathname, record.lineno, record.funcName)))
                           for record in handler.records]
            if side == "native":
                as_formatted = [logging.Formatter("%(module)s %(funcName)s %(lineno)d").format(record)
                                for record in handler.records]
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)
    assert as_formatted == [expected]
    assert lines == {"native": [expected], "plain": [expected]}


# --- coroutine resumptions ----------------------------------------------------

def callers(frame):
    names = []
    while frame is not None and frame.f_code.co_name != "drive":
        names.append(frame.f_code.co_name)
        frame = frame.f_back
    return names


class Delegate:
    """What `await response.json()` drives: each of its methods notes the
    functions below it on the stack."""

    def __init__(self, seen):
        self.seen = seen

    def __await__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.seen.append(("send", callers(sys._getframe(1))))
        return "tick"

    def throw(self, *args):
        self.seen.append(("throw", callers(sys._getframe(1))))
        raise StopIteration({"data": {"items": []}})

    def close(self):
        self.seen.append(("close", callers(sys._getframe(1))))


@pytest.mark.parametrize("resume", [
    lambda co: co.send(None),
    lambda co: co.throw(ValueError("late")),
    lambda co: co.close(),
], ids=["send", "throw", "close"])
def test_a_coroutine_is_on_the_stack_while_it_resumes_and_off_it_while_suspended(resume):
    def run(side):
        seen = []
        response = type("Response", (), {"url": URL, "status": 200, "json": lambda self: Delegate(seen)})()
        co = SIDES[side][1]().capture_json_response(response, section="keyword_mining", url_keyword="keyword")

        def drive():
            co.send(None)  # suspends in the await, the delegate having ticked
            outside = callers(sys._getframe())
            try:
                resume(co)
            except StopIteration:
                pass
            return outside

        outside = drive()
        frame = co.cr_frame  # None once finished; a suspended frame has no caller
        return outside, seen, frame and (frame.f_code.co_name, frame.f_back)

    native = run("native")
    assert native == run("plain")
    assert native[0] == [] and native[1][0] == ("send", ["__next__", "capture_json_response"])


def test_the_native_code_objects_have_no_inline_caches():
    # The frame shows line n at code unit n - first line: no unit may be a cache.
    import dis

    for cls in SIDES["native"]:
        for value in vars(cls).values():
            function = getattr(value, "fget", value)
            code = getattr(function, "__code__", None)
            if code is not None:
                assert all(op.opname != "CACHE" for op in dis.get_instructions(code, show_caches=True)), code
