"""The credential file under writers that die mid-save or run side by side."""

import asyncio
import os
import random
import signal
import stat
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

from tarnix.auth.storage.login_vault import LoginVault
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher

KILLS = 50
# Large enough that a kill often lands inside encrypting or writing a record.
JWT = "j" * 100_000


@pytest.fixture
def store(tmp_path):
    """A storage directory in memory where there is one: the crash test is
    about where a kill lands, and the disk's fsync would only slow it down."""
    memory = Path("/dev/shm")
    with tempfile.TemporaryDirectory(dir=memory if memory.is_dir() else tmp_path) as scratch:
        yield Path(scratch) / "store"


def temporaries(directory):
    return [p.name for p in directory.iterdir() if p.name.startswith(".credentials.bin.")]


def assert_complete(record):
    """A record some save_token wrote whole: every entry intact."""
    assert record is not None
    assert set(record) == {"tokens"}
    for entry in record["tokens"].values():
        assert list(entry) == ["jwt", "expires_at", "saved_at"]
        assert entry["jwt"].endswith(JWT) and entry["expires_at"].endswith("+00:00")


def assert_private(directory):
    for path in directory.iterdir():
        assert stat.S_IMODE(path.stat().st_mode) & 0o077 == 0, path.name


def saving_child(directory, report):
    """A forked child that saves until it is killed; one byte per finished save."""
    pid = os.fork()
    if pid:
        return pid
    try:
        vault = LoginVault(directory)
        for i in range(10**9):
            vault.save_token(f"k{i % 3}", f"{i}:{JWT}", 60)
            os.write(report, b"s")
    finally:
        os._exit(1)


def test_killed_writers_never_lose_or_expose_the_record(store):
    directory = store
    rng = random.Random(20240607)
    read, report = os.pipe()
    os.set_blocking(read, False)
    saved = 0
    killed = set()
    try:
        for kill in range(KILLS):
            pid = saving_child(directory, report)
            time.sleep(rng.uniform(0, 0.06))
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            try:
                saves = len(os.read(read, 1 << 20))
            except BlockingIOError:
                saves = 0
            saved += saves
            record = LoginVault(directory).load()
            if saved or record is not None:
                assert_complete(record)
                assert record["tokens"]
            assert_private(directory)
            # What killed writers left stays while it is fresh (a writer that
            # is alive elsewhere, in another PID namespace, looks the same).
            killed.add(pid)
            assert {int(name.split(".")[3]) for name in temporaries(directory)} <= killed
    finally:
        os.close(read)
        os.close(report)
    print(f"{KILLS} writers killed after {saved} completed saves")
    assert saved > 0
    # Once it has aged, the next completed save removes it.
    for name in temporaries(directory):
        os.utime(directory / name, (0, 0))
    LoginVault(directory).save_token("k0", f"last:{JWT}", 60)
    assert temporaries(directory) == []
    assert_complete(LoginVault(directory).load())


def test_concurrent_threads_leave_a_loadable_record(tmp_path, store):
    directory = store
    catcher = SellerSpriteFeedCatcher()
    errors = []

    class Response:
        status = 200

        def __init__(self, n):
            self.url = f"https://www.sellersprite.com/api/keyword-miner?n={n}"

        async def json(self):
            await asyncio.sleep(0)
            return {"data": {"items": [], "asin": "B0"}}

    def vault_worker(n):
        vault = LoginVault(directory)
        for i in range(30):
            vault.save_token(f"t{n}", f"{i}:{JWT}", 60)
            assert_complete(vault.load())
            if i % 7 == 0:
                vault.remove_token(f"t{n}")

    async def captures(n):
        for i in range(30):
            section = ("keyword_mining", "keyword_reverse")[i % 2]
            await catcher.capture_json_response(Response(n), section=section, url_keyword="keyword")
            catcher.get_payload(section)
            try:
                catcher.save_all(tmp_path / f"saved{n}")
            except RuntimeError as error:  # another thread added a section mid-walk
                assert "changed size" in str(error)

    def guard(work, *args):
        try:
            work(*args)
        except BaseException as error:  # noqa: B036 - reported to the test thread
            errors.append(error)

    threads = [threading.Thread(target=guard, args=(vault_worker, n)) for n in range(3)]
    threads += [threading.Thread(target=guard, args=(asyncio.run, captures(n))) for n in range(3)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # hand the interpreter lock over as often as it can be
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert temporaries(directory) == []
    record = LoginVault(directory).load()
    assert isinstance(record, dict) and set(record["tokens"]) <= {"t0", "t1", "t2"}
    assert set(catcher.responses) == {"keyword_mining", "keyword_reverse"}
