"""AES-256-GCM encryption of the credential file, keyed by a per-user key file."""

from __future__ import annotations

import os
from pathlib import Path

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

KEY_SIZE = 32
NONCE_SIZE = 12
TAG_SIZE = 16


class Crypto:
    """Encrypts and decrypts text with the key kept in `key_path`.

    The key file is created on first use, readable by its owner only.
    """

    def __init__(self, key_path: str | os.PathLike[str]) -> None:
        self._key_path = Path(key_path)
        self._aesgcm: AESGCM | None = None

    def encrypt(self, text: str) -> bytes:
        """Return nonce + ciphertext + tag for the UTF-8 encoding of `text`."""
        nonce = os.urandom(NONCE_SIZE)
        return nonce + self._cipher().encrypt(nonce, text.encode("utf-8"), None)

    def decrypt(self, data: bytes) -> str:
        """Inverse of `encrypt`; raises InvalidTag for a wrong key or altered data."""
        if len(data) < NONCE_SIZE + TAG_SIZE:
            raise ValueError(
                f"encrypted data too short: {len(data)} bytes, "
                f"need at least {NONCE_SIZE + TAG_SIZE} (nonce and tag)"
            )
        nonce = bytes(data[:NONCE_SIZE])
        plain = self._cipher().decrypt(nonce, bytes(data[NONCE_SIZE:]), None)
        return plain.decode("utf-8")

    def _cipher(self) -> AESGCM:
        # The key is read lazily so that building a store never touches the
        # key file; the first encryption or decryption creates it.
        if self._aesgcm is None:
            self._aesgcm = AESGCM(self._load_or_create_key())
        return self._aesgcm

    def _load_or_create_key(self) -> bytes:
        try:
            key = self._key_path.read_bytes()
        except FileNotFoundError:
            key = _create_key_file(self._key_path)
        if len(key) != KEY_SIZE:
            raise ValueError(
                f"key file {self._key_path} holds {len(key)} bytes, expected {KEY_SIZE}"
            )
        return key


def _create_key_file(key_path: Path) -> bytes:
    """Create the key file atomically; return the key that ended up in it.

    The key is written to a private temporary file first and then linked to
    its final name: link() never replaces an existing file, so when two
    processes race, exactly one key wins and the loser adopts it.  The file is
    0o600 from the moment it exists, so no other user can ever read it.
    """
    key = os.urandom(KEY_SIZE)
    directory = key_path.parent
    while True:
        temp = directory / f".{key_path.name}.{os.urandom(8).hex()}.tmp"
        try:
            fd = os.open(temp, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o600)
        except FileExistsError:
            continue
        break
    try:
        try:
            view = memoryview(key)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        try:
            os.link(temp, key_path)
        except FileExistsError:
            # Another process won the race: its key is the one in use.
            key = key_path.read_bytes()
    finally:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
    return key
