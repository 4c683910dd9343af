"""Leaving the interpreter while a native method is running on another thread.

At exit the interpreter ends each daemon thread that asks for the interpreter
lock again; a thread inside one of our methods then unwinds through C++
frames that no longer hold the lock.  The process must end as it does with
the same classes in plain Python: status 0 and nothing on stderr.
"""

import subprocess
import sys
import textwrap

import pytest

RUNS = 20

DAEMON_LOOPS = {
    "save_token": """
        import tempfile
        from tarnix.auth.storage.login_vault import LoginVault

        vault = LoginVault(base_dir=tempfile.mkdtemp())

        def step():
            vault.save_token("erp", "jwt", 60)
    """,
    "element scan": """
        import time
        from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

        class Yielding(dict):
            def __contains__(self, key):
                time.sleep(0)  # gives up the interpreter lock
                return False

        catcher = SellerSpriteFeedCatcher()
        payload = {"data": [Yielding() for _ in range(50)]}

        def step():
            catcher._matches_section_payload("frequency", payload)
    """,
    "awaiting capture": """
        import time
        from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

        class Nap:
            def __await__(self):
                time.sleep(0.001)
                yield
                return {"data": {"items": []}}

        class Response:
            url, status = "https://www.sellersprite.com/v3/api/keyword-miner", 200

            def json(self):
                return Nap()

        catcher = SellerSpriteFeedCatcher()

        def step():
            co = catcher.capture_json_response(Response(), section="keyword_mining", url_keyword="keyword")
            try:
                while True:
                    co.send(None)
            except StopIteration:
                pass
    """,
}

DAEMON_MAIN = """
    import threading

    running = threading.Event()

    def loop():
        while True:
            step()
            running.set()

    threading.Thread(target=loop, daemon=True).start()
    running.wait()
"""

# The interpreters module of the running version: 3.13 renamed it, takes the
# kind of interpreter by name, and returns a failure of run_string instead of
# raising it.
SUBINTERPRETERS = """
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters

def new_interpreter(isolated):
    try:
        return interpreters.create("isolated" if isolated else "legacy")
    except TypeError:
        return interpreters.create(isolated=isolated)

def run_in(interp, script):
    # Prints a failure as "ImportError: message" on either version.
    try:
        failure = interpreters.run_string(interp, script)
    except interpreters.RunFailedError as exc:  # "<class 'ImportError'>: message"
        kind, _, message = str(exc).partition(": ")
        print(kind.removeprefix("<class '").removesuffix("'>") + ": " + message)
    else:
        if failure is not None:
            print(f"{failure.type.__name__}: {failure.msg}")
"""

# Sharing the main interpreter's lock: from 3.12 on one with a lock of its own
# refuses the module before it is made.
SUBINTERPRETER = SUBINTERPRETERS + """
interp = new_interpreter(isolated=False)
run_in(interp, '''
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

class Response:
    url, status = "https://www.sellersprite.com/x", 200

pending = SellerSpriteFeedCatcher().capture_json_response(Response(), section="frequency", url_keyword="x")
''')
"""


def run_many(source, runs=RUNS):
    """Runs `source` in `runs` child interpreters, a few at a time."""
    script = textwrap.dedent(source)
    results = []
    for first in range(0, runs, 4):
        children = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
                    for _ in range(first, min(first + 4, runs))]
        for child in children:
            try:
                out, err = child.communicate(timeout=120)
            except subprocess.TimeoutExpired:
                child.kill()
                out, err = child.communicate()
            results.append((child.returncode, err))
    return results


@pytest.mark.parametrize("loop", DAEMON_LOOPS.values(), ids=DAEMON_LOOPS.keys())
def test_a_daemon_thread_inside_a_method_at_exit(loop):
    results = run_many(textwrap.dedent(loop) + textwrap.dedent(DAEMON_MAIN))
    assert results == [(0, "")] * RUNS


def test_a_subinterpreter_holding_a_coroutine_at_exit():
    # Ending the subinterpreter reports the never-awaited coroutine, as it
    # would for one of the interpreter's own; what matters is the status.
    assert [status for status, _ in run_many(SUBINTERPRETER)] == [0] * RUNS
