"""Repeats every operation of both modules, success and failure paths, and
checks that nothing is left behind.

Under a debug interpreter (python3.11-dbg, modules built for it) the measure
is sys.gettotalrefcount(); elsewhere sys.getallocatedblocks().
"""

import asyncio
import gc
import sys
import tempfile
import types
import warnings
from pathlib import Path

fake = types.ModuleType("keyring")
fake.errors = types.ModuleType("keyring.errors")


class NoKeyringError(Exception):
    pass


fake.errors.NoKeyringError = NoKeyringError
store = {}
fake.get_password = lambda service, account: store.get(account)
fake.set_password = lambda service, account, value: store.__setitem__(account, value)


def delete_password(service, account):
    if store.pop(account, None) is None:
        raise NoKeyringError("nothing stored")


fake.delete_password = delete_password
sys.modules["keyring"] = fake
sys.modules["keyring.errors"] = fake.errors

from tarnix.auth.storage import login_vault  # noqa: E402
from tarnix.auth.storage.login_vault import LoginVault  # noqa: E402


class PlainCrypto:
    """Stands in for Crypto: cryptography's release-built extension keeps no
    count in a debug interpreter's reference total, which would drown ours."""

    def __init__(self, key_path):
        self.key_path = key_path

    def encrypt(self, text):
        return b"plain:" + text.encode()

    def decrypt(self, data):
        if not data.startswith(b"plain:"):
            raise ValueError("not encrypted by this stand-in")
        return data[len(b"plain:"):].decode()


login_vault.Crypto = PlainCrypto
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher  # noqa: E402


class Response:
    def __init__(self, url, body):
        self.url = url
        self.status = 200
        self.body = body

    async def json(self):
        await asyncio.sleep(0)
        if isinstance(self.body, Exception):
            raise self.body
        return self.body


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call} did not raise {error}")


def vault_round(directory):
    vault = LoginVault(directory)
    vault.save_session("s", "e@x", "2030")
    vault.save_token("k", "jwt", 90.5)
    vault.load()
    vault.remove_token("k")
    vault.remove_token("k")
    expect(TypeError, vault.save_token, "k", 1, 3)
    expect(TypeError, vault.save_session, "a", email="b")
    expect(TypeError, vault._save, [])
    (Path(directory) / "credentials.bin").write_bytes(b"garbage")
    vault.load()
    vault.clear()
    keyring_vault = LoginVault()
    keyring_vault.save_token("k", "jwt", 10)
    keyring_vault.load()
    keyring_vault.clear()
    keyring_vault.clear()


async def capture_round(catcher):
    base = "https://www.sellersprite.com/v3/api/"
    await catcher.capture_json_response(Response(base + "km", {"data": {"items": []}}),
                                        section="keyword_mining", url_keyword="km")
    await catcher.capture_json_response(Response(base + "km", ValueError("bad body")),
                                        section="keyword_mining", url_keyword="km")
    await catcher.capture_json_response(Response("https://evil.io/km", {}), section="frequency", url_keyword="km")
    task = asyncio.ensure_future(catcher.capture_json_response(
        Response(base + "km", {}), section="frequency", url_keyword="km"))
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass


def recorder_round(directory):
    catcher = SellerSpriteFeedCatcher()
    asyncio.run(capture_round(catcher))
    catcher._matches_section_payload("frequency", {"data": [1, {"frequency": 1, "keyword": "k"}]})
    catcher._matches_section_payload("reverse_stats", {"data": {"statDto": 1}})
    catcher.get_payload("keyword_mining")
    catcher.save_all(Path(directory))
    expect(TypeError, catcher.capture_json_response, None, section=1, url_keyword="k")
    coroutine = catcher.capture_json_response(Response("x", {}), section="s", url_keyword="k")
    expect(TypeError, coroutine.send, 1)
    coroutine.close()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        catcher.capture_json_response(Response("x", {}), section="s", url_keyword="k")
        gc.collect()


def measure():
    gc.collect()
    if hasattr(sys, "gettotalrefcount"):
        return sys.gettotalrefcount()
    return sys.getallocatedblocks()


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    with tempfile.TemporaryDirectory() as directory:
        import tarnix.config

        tarnix.config.CONFIG_DIR = Path(directory) / "config"
        for _ in range(20):  # warm caches, interned names, traceback code objects
            vault_round(directory)
            recorder_round(directory)
        before = measure()
        for _ in range(rounds):
            vault_round(directory)
            recorder_round(directory)
        growth = measure() - before
    kind = "references" if hasattr(sys, "gettotalrefcount") else "allocated blocks"
    print(f"{rounds} rounds: {kind} grew by {growth}")
    # A leak of one object per operation shows as thousands; allow noise.
    sys.exit(0 if growth < rounds else 1)


if __name__ == "__main__":
    main()
