"""Ctrl-C during the frame's own loops over objects the caller hands in.

Each case runs in a child interpreter that loops for ever over an endless
iterable without running any Python code per element; the test sends it
SIGINT once it is looping.  The interpreter's own loops check for signals
at every backward jump, so the same code in Python stops with
KeyboardInterrupt at once; the native loops must do the same, with the
traceback entries an error raised there would carry.  A loop that misses
the signal runs into the timeout instead of hanging the suite.
"""

import json
import signal
import subprocess
import sys
import textwrap
import time

import pytest

SOURCE = "tarnix/seller_sprite/scraping/feed_catcher"
CLASS = "tarnix.seller_sprite.scraping.feed_catcher.SellerSpriteFeedCatcher"

PRELUDE = """
import functools, itertools, json, signal, sys, traceback, types
import tarnix.seller_sprite.scraping.feed_catcher as feed_catcher

# A child started from a background job of a non-interactive shell inherits
# SIGINT ignored, and the interpreter then leaves it so; Ctrl-C is what is
# tested, so the child takes the handler an interactive run has.
signal.signal(signal.SIGINT, signal.default_int_handler)

catcher = feed_catcher.SellerSpriteFeedCatcher()


class Endless(list):
    def __iter__(self):
        return itertools.repeat({})


class Target(dict):
    # Every step of save_all's loop body is a call into C: the path is an
    # entry of this dict, json.dumps and write_text are dict().
    __truediv__ = dict.get
"""

CASES = {
    "element scan": (
        "catcher._matches_section_payload('frequency', {'data': Endless()})",
        [(f"{CLASS}._matches_section_payload", 47), ("genexpr", 47)],
    ),
    # An exact list of ints is scanned without a frame while no signal is
    # pending; the handler must still raise in the generator expression, not
    # between two calls.
    "element scan of a long list, again and again": (
        """
        payload = {'data': [1] * 2_000_000}
        while True:
            catcher._matches_section_payload('frequency', payload)
        """,
        [(f"{CLASS}._matches_section_payload", 47), ("genexpr", 47)],
    ),
    "save_all over an endless items()": (
        """
        path = Target()
        path.write_text = dict
        target = Target({"s.json": path})
        target.mkdir = dict
        catcher.responses = types.SimpleNamespace(items=functools.partial(itertools.repeat, ("s", {})))
        feed_catcher.json = types.SimpleNamespace(dumps=dict)
        catcher.save_all(target)
        """,
        [(f"{CLASS}.save_all", 77)],
    ),
}


def interrupted(statement):
    """Runs `statement` in a child, interrupts it; the entries in our module."""
    body = textwrap.indent(textwrap.dedent(statement).strip(), "    ")
    script = PRELUDE + f"""
print("looping", flush=True)
try:
{body}
except KeyboardInterrupt as interrupt:
    entries = traceback.extract_tb(interrupt.__traceback__)
    print(json.dumps([(e.name, e.lineno) for e in entries if e.filename == {SOURCE!r}]))
else:
    print("ended")
"""
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline() == "looping\n"
        time.sleep(0.3)  # well inside the loop by now
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    return json.loads(out)


@pytest.mark.parametrize("statement, entries", CASES.values(), ids=CASES.keys())
def test_ctrl_c_stops_a_loop_over_an_endless_iterable(statement, entries):
    assert [tuple(entry) for entry in interrupted(statement)] == entries
