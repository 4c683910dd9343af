import logging
import os
from pathlib import Path
from typing import Any, Final, SupportsIndex, SupportsInt

from tarnix.auth.storage.crypto import Crypto

_logger: logging.Logger
_KEYRING_AVAILABLE: bool
_KEYRING_SERVICE: Final = "tarnix-auth"
_KEYRING_ACCOUNT: Final = "credentials"

# Bound by module initialisation, as in a Python module with doctests.
__test__: dict[str, Any]

class LoginVault:
    _use_keyring: bool
    _dir: Path
    _path: Path
    _crypto: Crypto
    # Any value Path() accepts; an empty string also selects CONFIG_DIR.
    def __init__(self, base_dir: str | os.PathLike[str] | None = None) -> None: ...
    @property
    def base_dir(self) -> Path: ...
    def load(self) -> dict[str, Any] | None: ...
    def _save(self, data: dict[str, Any]) -> None: ...
    def save_session(
        self, session_id: str, email: str, expires_at: str, device_code: str | None = None
    ) -> None: ...
    # Any number is accepted and truncated to whole seconds with int().
    def save_token(self, system_key: str, jwt: str, expires_in: SupportsInt | SupportsIndex) -> None: ...
    def remove_token(self, system_key: str) -> bool: ...
    def clear(self) -> None: ...
