"""A keyring backend whose every call fails with an ordinary keyring error.

Child processes select it with PYTHON_KEYRING_BACKEND=broken_keyring.Keyring
(this directory on their path): unlike the missing-backend case, such a
failure must leave a debug line before the store falls back to its file.
"""

from keyring.backend import KeyringBackend
from keyring.errors import KeyringError


class Keyring(KeyringBackend):
    priority = 1

    def get_password(self, service: str, username: str) -> str | None:
        raise KeyringError("secret store went away")

    def set_password(self, service: str, username: str, password: str) -> None:
        raise KeyringError("secret store went away")

    def delete_password(self, service: str, username: str) -> None:
        raise KeyringError("secret store went away")
