"""Call-overhead benchmarks of the two native modules.

Prints nanoseconds per call for the paths the tool runs most: binding and
body of plain methods, a capture coroutine driven to its end, and the
binding failure path with its traceback entry.
"""

import asyncio
import tempfile
import timeit

from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher
from tarnix.auth.storage.login_vault import LoginVault

PAYLOAD = {"data": [{"keyword": "k", "frequency": 1}] * 3 + [{"other": 1}]}


class Response:
    url = "https://www.sellersprite.com/v2/keyword-miner/list?q=1"
    status = 200

    async def json(self):
        return {"data": {"items": []}}


def drive(coroutine):
    """Runs a coroutine that never really suspends, without an event loop."""
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("suspended")


def report(name, statement, number=200_000, **names):
    seconds = min(timeit.repeat(statement, globals=names, number=number, repeat=5))
    print(f"{name:<46} {seconds / number * 1e9:9.1f} ns")


def main():
    catcher = SellerSpriteFeedCatcher()
    response = Response()
    report("_matches_section_payload (element scan)", "m('frequency', p)",
           m=catcher._matches_section_payload, p=PAYLOAD)
    report("_matches_section_payload (dict rule)", "m('keyword_mining', p)",
           m=catcher._matches_section_payload, p={"data": {"items": []}})
    drive(catcher.capture_json_response(response, section="keyword_mining", url_keyword="keyword-miner"))
    report("get_payload", "g('keyword_mining')", g=catcher.get_payload)
    report("capture_json_response, driven to the end",
           "d(c(r, section='keyword_mining', url_keyword='keyword-miner'))", number=50_000,
           d=drive, c=catcher.capture_json_response, r=response)
    report("capture_json_response, other domain",
           "d(c(r, section='keyword_mining', url_keyword='zzz'))", number=50_000,
           d=drive, c=catcher.capture_json_response, r=response)
    with tempfile.TemporaryDirectory() as directory:
        vault = LoginVault(directory)

        def refused():
            try:
                vault.remove_token(1)
            except TypeError:
                pass

        report("binding failure with traceback entry", "f()", f=refused)
        report("LoginVault.load on an empty store", "f()", number=20_000, f=vault.load)
    asyncio.run(catcher.capture_json_response(response, section="keyword_mining", url_keyword="x"))


if __name__ == "__main__":
    main()
