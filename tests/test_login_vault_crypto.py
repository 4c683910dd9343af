"""The encryption sibling that produces and reads credentials.bin."""

import os
import stat

import pytest
from cryptography.exceptions import InvalidTag

from tarnix.auth.storage.crypto import Crypto


@pytest.fixture
def key_path(tmp_path):
    return tmp_path / ".key"


def test_round_trip_with_fresh_nonces(key_path):
    crypto = Crypto(key_path)
    first, second = crypto.encrypt("机密 text"), crypto.encrypt("机密 text")
    assert first != second and first[:12] != second[:12]
    assert len(first) == 12 + len("机密 text".encode()) + 16
    assert Crypto(key_path).decrypt(first) == "机密 text"


def test_key_file_is_created_private_and_only_on_first_use(key_path):
    crypto = Crypto(key_path)
    assert not key_path.exists()
    crypto.encrypt("x")
    assert stat.S_IMODE(key_path.stat().st_mode) == 0o600
    assert len(key_path.read_bytes()) == 32
    assert os.listdir(key_path.parent) == [".key"]


@pytest.mark.parametrize("damage", [
    lambda data, tmp: data[:-1] + bytes([data[-1] ^ 1]),
    lambda data, tmp: data[:12] + bytes([data[12] ^ 1]) + data[13:],
    lambda data, tmp: bytes([data[0] ^ 1]) + data[1:],
    lambda data, tmp: Crypto(tmp / "other").encrypt("payload"),
], ids=["tag", "ciphertext", "nonce", "other-key"])
def test_altered_data_or_other_key_raises_invalid_tag(tmp_path, key_path, damage):
    crypto = Crypto(key_path)
    with pytest.raises(InvalidTag):
        crypto.decrypt(damage(crypto.encrypt("payload"), tmp_path))


@pytest.mark.parametrize("size", [0, 27])
def test_data_too_short_is_a_clear_value_error(key_path, size):
    with pytest.raises(ValueError, match="too short"):
        Crypto(key_path).decrypt(b"\0" * size)


def test_key_file_of_wrong_length(key_path):
    key_path.write_bytes(b"short")
    with pytest.raises(ValueError, match="holds 5 bytes, expected 32"):
        Crypto(key_path).encrypt("x")


def test_losing_the_creation_race_adopts_the_winner(key_path, monkeypatch):
    winner = Crypto(key_path.parent / "winner.key")
    ciphertext = winner.encrypt("from the other process")
    real_link = os.link

    def link_after_rival(source, target):
        # The other process links its key between our write and our link.
        real_link(key_path.parent / "winner.key", target)
        return real_link(source, target)

    monkeypatch.setattr(os, "link", link_after_rival)
    loser = Crypto(key_path)
    assert loser.decrypt(ciphertext) == "from the other process"
    assert sorted(os.listdir(key_path.parent)) == [".key", "winner.key"]
