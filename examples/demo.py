"""Walk-through of the native modules on throw-away data.

Nothing here touches the real home directory or the system keyring: the
credential store is given an explicit temporary directory, which keeps it on
the encrypted-file layer.
"""

import json
import stat
import tempfile
from pathlib import Path

from tarnix.auth.storage.login_vault import LoginVault


def vault_demo():
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
        print("a different login drops cached JWTs:", vault.load()["tokens"])

        vault.clear()
        print("after clear: load() ->", vault.load(), "| credentials.bin exists:", credentials.exists())


def main():
    vault_demo()


if __name__ == "__main__":
    main()
