"""Shared test set-up: no test may reach the real home directory or keyring."""

import pytest

import fake_keyring

# Before anything can import the real package: the credential store probes
# `keyring` once, when it is first imported.
fake_keyring.install()


@pytest.fixture(autouse=True)
def config_dir(tmp_path, monkeypatch):
    """The tool's default storage directory, moved into the test's tmp_path.

    Not created: code that needs it must make it itself.
    """
    import tarnix.config

    directory = tmp_path / "home" / ".config" / "tarnix"
    monkeypatch.setattr(tarnix.config, "CONFIG_DIR", directory)
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    return directory


@pytest.fixture(autouse=True)
def keyring_backend():
    """A fresh, empty fake keyring backend for every test."""
    return fake_keyring.reset()
