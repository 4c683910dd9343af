"""Walk-through of the native modules on throw-away data.

Nothing here touches the real home directory or the system keyring: the
credential store is given an explicit temporary directory, which keeps it on
the encrypted-file layer.
"""

import asyncio
import json
import stat
import tempfile
from pathlib import Path
from typing import Any

from tarnix.auth.storage.login_vault import LoginVault
from tarnix.seller_sprite.scraping.feed_catcher import SellerSpriteFeedCatcher


def vault_demo() -> None:
    print("== LoginVault ==")
    with tempfile.TemporaryDirectory(prefix="tarnix-demo-") as scratch:
        directory = Path(scratch) / "store"
        vault = LoginVault(base_dir=directory)
        print(f"store directory: {vault.base_dir} "
              f"(mode {stat.S_IMODE(directory.stat().st_mode):o}, keyring used: {vault._use_keyring})")

        vault.save_session("sess-42", "王小明@example.cn", "2030-01-01T00:00:00+00:00",
                           device_code="DEV-CODE-7")
        print("saved a session for 王小明@example.cn")

        vault.save_token("erp", "jwt-for-erp", 3600)
        vault.save_token("crm", "jwt-for-crm", 90.5)
        print("cached JWTs for 'erp' (1 h) and 'crm' (90.5 s, stored as 90 s)")

        print("removed 'crm':", vault.remove_token("crm"))
        print("removed 'crm' again:", vault.remove_token("crm"))

        credentials = directory / "credentials.bin"
        print(f"credentials.bin: {credentials.stat().st_size} bytes, "
              f"mode {stat.S_IMODE(credentials.stat().st_mode):o}")
        print("record as loaded:")
        print(json.dumps(vault.load(), ensure_ascii=False, indent=2))

        vault.save_session("sess-43", "another@example.cn", "2030-02-01T00:00:00+00:00")
        record = vault.load()
        assert record is not None
        print("a different login drops cached JWTs:", record["tokens"])

        vault.clear()
        print("after clear: load() ->", vault.load(), "| credentials.bin exists:", credentials.exists())


class _DemoResponse:
    """Stands in for a browser response: the URL, the status and the decoded body."""

    def __init__(self, url: str, body: Any, status: int = 200) -> None:
        self.url = url
        self.status = status
        self._body = body

    async def json(self) -> Any:
        await asyncio.sleep(0)
        return self._body


def recorder_demo() -> None:
    print("== SellerSpriteFeedCatcher ==")
    catcher = SellerSpriteFeedCatcher()
    mining = {"data": {"items": [{"keyword": "保温杯", "searches": 51200}], "total": 1}}
    observed = [
        ("keyword-mining endpoint",
         _DemoResponse("https://www.sellersprite.com/v3/api/keyword-miner?station=US", mining)),
        ("look-alike host",
         _DemoResponse("https://sellersprite.com.mirror.example/v3/api/keyword-miner",
                       {"data": {"items": [{"keyword": "forged"}]}})),
        ("auxiliary endpoint",
         _DemoResponse("https://www.sellersprite.com/v3/api/keyword-miner/options",
                       {"data": ["US", "JP"]})),
    ]

    async def feed() -> None:
        for label, response in observed:
            before = catcher.responses.get("keyword_mining")
            await catcher.capture_json_response(
                response, section="keyword_mining", url_keyword="keyword-miner")
            kept = catcher.responses.get("keyword_mining") is not before
            print(f"{label:<24} {'recorded' if kept else 'passed over'}: {response.url}")

    asyncio.run(feed())
    payload = catcher.get_payload("keyword_mining")
    print("get_payload('keyword_mining') is the recorded body:", payload is mining)
    print(json.dumps(payload, ensure_ascii=False))
    print("get_payload('frequency'):", catcher.get_payload("frequency"))

    with tempfile.TemporaryDirectory(prefix="tarnix-demo-") as scratch:
        target = Path(scratch) / "responses"
        index = catcher.save_all(target)
        print("file index (relative to the target directory):")
        for key, path in index.items():
            print(f"  {key}: {Path(path).relative_to(target)}")
        print((target / "keyword_mining.json").read_text(encoding="utf-8"))


def main() -> None:
    vault_demo()
    print()
    recorder_demo()


if __name__ == "__main__":
    main()
