"""The two classes as plain Python source, for the benchmark's comparison only.

This is what the tool would run without the native modules: the same
statements in the same order as the compiled bodies (the atomic private
replacement of credentials.bin and the clean-up of abandoned temporary files,
`load` deleting the file only when its content is bad, the removal of the
fallback file after a keyring write, the private storage directory, the
single decision of a login change, the exact-host domain test, the exact-type
argument checks and their messages), written the way a Python developer
writes them.  It lives beside the benchmark and is never installed.

A trailing "# line N" marks a statement that stands for line N of the native
module, for the tests that compare what stack walkers report on both sides.
"""

from __future__ import annotations

import json
import logging
import time
import stat
from datetime import datetime, timezone, timedelta
from pathlib import Path
from typing import Any
from urllib.parse import urlparse

from cryptography.exceptions import InvalidTag
from tarnix.auth.storage.crypto import Crypto

_logger = logging.getLogger("tarnix.auth.storage")

try:
    import keyring
    import keyring.errors
    _KEYRING_AVAILABLE = True
except Exception:
    _KEYRING_AVAILABLE = False

_KEYRING_SERVICE = "tarnix-auth"
_KEYRING_ACCOUNT = "credentials"

_SUBCLASS_NOTE = "Subclasses of built-in types are not accepted here: pass an exact instance of the built-in type."

_DOMAIN = "sellersprite.com"
_SUBDOMAIN_SUFFIX = ".sellersprite.com"


def _incorrect_type(name: str, expected: type, value: Any) -> TypeError:
    note = f". {_SUBCLASS_NOTE}" if isinstance(value, expected) else ""
    return TypeError(f"Argument '{name}' has incorrect type "
                     f"(expected {expected.__name__}, got {type(value).__name__}){note}")


def _wrong_result(value: Any) -> TypeError:
    return TypeError(f"Expected dict, got {type(value).__name__}")


# --- the credential store ----------------------------------------------------------


def _replace_file_privately(target: Path, data: bytes) -> None:
    """Private temporary file beside the target, flushed, then renamed over it."""
    import os
    import tempfile

    target_name = os.fspath(target)
    directory = os.path.dirname(target_name)
    fd, temp_name = tempfile.mkstemp(prefix=f".credentials.bin.{os.getpid()}.", suffix=".tmp",
                                     dir=directory)
    still_open = True
    try:
        view = memoryview(data)
        done = 0
        size = len(view)
        while done < size:
            count = os.write(fd, view[done:])
            if count <= 0:
                raise OSError(f"write to {temp_name!r} made no progress")
            done += count
        os.fsync(fd)
        still_open = False
        os.close(fd)
        os.replace(temp_name, target)
    except BaseException:
        if still_open:
            try:
                os.close(fd)
            except BaseException:
                pass
        try:
            os.unlink(temp_name)
        except BaseException:
            pass
        raise
    _remove_abandoned_temporaries(directory)


_ABANDONED_AFTER_SECONDS = 10 * 60


def _remove_abandoned_temporaries(directory: str) -> None:
    """Temporary files of writers whose process is gone and that have not been
    modified for minutes: nobody will rename them.  A process id names a
    process only here, so a fresh file of a writer that looks gone stays."""
    import os

    try:
        now = None
        for name in os.listdir(directory):
            if not (name.startswith(".credentials.bin.") and name.endswith(".tmp")):
                continue
            pid, dot, _ = name[len(".credentials.bin."):].partition(".")
            if not (dot and pid.isdigit() and 0 < len(pid) <= 9):
                continue
            writer = int(pid)
            if writer == os.getpid():
                continue
            try:
                os.kill(writer, 0)
                continue
            except ProcessLookupError:
                pass
            except OSError:
                continue
            try:
                path = os.path.join(directory, name)
                modified = os.lstat(path).st_mtime
                if now is None:
                    now = time.time()
                if now - modified < _ABANDONED_AFTER_SECONDS:
                    continue
                os.unlink(path)
            except OSError:
                pass
    except Exception:
        pass


_READ, _DECRYPT, _PARSE, _CHECK = range(4)


def _shows_bad_content(error: Exception, step: int) -> bool:
    """Only a refusal of the data itself condemns the file; no memory, no
    stack, no read or a name not found says nothing about the record."""
    if isinstance(error, (MemoryError, RecursionError, OSError)):
        return False
    if step == _DECRYPT:
        return isinstance(error, (InvalidTag, ValueError))
    if step == _PARSE:
        return isinstance(error, ValueError)
    if step == _CHECK:
        return isinstance(error, TypeError)
    return False


class LoginVault:
    """Session and JWT store: keyring first, encrypted file as fallback."""

    def __init__(self, base_dir: Path | None = None):
        self._use_keyring = _KEYRING_AVAILABLE and base_dir is None
        from tarnix.config import CONFIG_DIR
        self._dir = Path(base_dir or CONFIG_DIR)
        # Born private whatever the umask; an existing directory stays as it is.
        try:
            self._dir.mkdir(mode=stat.S_IRUSR | stat.S_IWUSR | stat.S_IXUSR, parents=True)
            created = True
        except OSError:
            if not self._dir.is_dir():
                raise
            created = False
        if base_dir is not None or created:
            self._dir.chmod(stat.S_IRUSR | stat.S_IWUSR | stat.S_IXUSR)
        self._path = self._dir / "credentials.bin"
        self._crypto = Crypto(self._dir / ".key")  # line 66

    @property
    def base_dir(self) -> Path:
        return self._dir

    def load(self) -> dict | None:
        if self._use_keyring:
            try:
                raw = keyring.get_password(_KEYRING_SERVICE, _KEYRING_ACCOUNT)  # line 82
                if raw:
                    result = json.loads(raw)
                    if result is not None and type(result) is not dict:
                        raise _wrong_result(result)
                    return result
            except keyring.errors.NoKeyringError:
                pass
            except Exception as _kr_exc:
                _logger.debug("Keychain 读取失败，降级到文件存储: %s", _kr_exc)  # line 88

        if not self._path.exists():  # line 91
            return None  # line 91
        step = _READ
        try:
            loads = json.loads
            decrypt = self._crypto.decrypt
            encrypted = self._path.read_bytes()
            step = _DECRYPT
            text = decrypt(encrypted)  # line 94
            step = _PARSE
            result = loads(text)
            step = _CHECK
            if result is not None and type(result) is not dict:
                raise _wrong_result(result)
            return result
        except (InvalidTag, Exception) as error:
            if not _shows_bad_content(error, step):
                return None
            self._path.unlink(missing_ok=True)
            return None

    def _save(self, data: dict) -> None:
        if type(data) is not dict:
            raise _incorrect_type("data", dict, data)
        raw = json.dumps(data)

        if self._use_keyring:
            try:
                keyring.set_password(_KEYRING_SERVICE, _KEYRING_ACCOUNT, raw)  # line 106
            except keyring.errors.NoKeyringError:
                pass
            except Exception as _kr_exc:
                _logger.debug("Keychain 写入失败，降级到文件存储: %s", _kr_exc)  # line 111
            else:
                # A file from an earlier fallback would bring its login back.
                try:
                    self._path.unlink(missing_ok=True)  # line 107
                except Exception as _kr_exc:
                    _logger.debug("Keychain 写入后删除旧加密文件失败: %s", _kr_exc)  # line 107
                return
        _replace_file_privately(self._path, self._crypto.encrypt(raw))  # line 112
        self._path.chmod(stat.S_IRUSR | stat.S_IWUSR)  # line 113

    def save_session(self, session_id: str, email: str, expires_at: str,
                     device_code: str | None = None) -> None:
        if type(session_id) is not str:
            raise _incorrect_type("session_id", str, session_id)
        if type(email) is not str:
            raise _incorrect_type("email", str, email)
        if type(expires_at) is not str:
            raise _incorrect_type("expires_at", str, expires_at)
        if device_code is not None and type(device_code) is not str:
            raise _incorrect_type("device_code", str, device_code)
        data = self.load() or {}

        # Each comparison's truth is taken once: the decision is a plain bool.
        session_changed = (
            (bool(data.get("session_id")) and bool(data.get("session_id") != session_id))
            or (bool(data.get("email")) and bool(data.get("email") != email))
        )
        data.update({
            "session_id": session_id,
            "email": email,
            "session_expires_at": expires_at,
            "tokens": {} if session_changed else data.get("tokens", {}),
        })
        if device_code is not None:
            data["device_code"] = device_code
        self._save(data)

    def save_token(self, system_key: str, jwt: str, expires_in: int) -> None:
        if type(expires_in) is not int:
            expires_in = int(expires_in)
        if type(system_key) is not str:
            raise _incorrect_type("system_key", str, system_key)
        if type(jwt) is not str:
            raise _incorrect_type("jwt", str, jwt)
        data = self.load() or {}  # line 145
        data.setdefault("tokens", {})
        expires_at = (
            datetime.now(timezone.utc) + timedelta(seconds=expires_in)
        ).isoformat()
        data["tokens"][system_key] = {
            "jwt": jwt,
            "expires_at": expires_at,
            "saved_at": int(time.time()),
        }
        self._save(data)  # line 155

    def remove_token(self, system_key: str) -> bool:
        if type(system_key) is not str:
            raise _incorrect_type("system_key", str, system_key)
        data = self.load() or {}
        tokens = data.get("tokens", {})
        if system_key not in tokens:
            return False
        del tokens[system_key]
        data["tokens"] = tokens
        self._save(data)
        return True

    def clear(self):
        if self._use_keyring:
            try:
                keyring.delete_password(_KEYRING_SERVICE, _KEYRING_ACCOUNT)  # line 179
            except Exception as _kr_exc:
                _logger.debug("Keychain 清除失败（可能无存储记录）: %s", _kr_exc)  # line 181
        if self._path.exists():
            self._path.unlink()


# --- the response recorder -----------------------------------------------------------


def _is_service_host(netloc: str) -> bool:
    # A browser ends the authority at a backslash as at a slash.
    host = netloc.partition("\\")[0].rpartition("@")[2]
    if host.startswith("["):
        close = host.find("]")
        if close >= 0:
            host = host[:close + 1]
    else:
        host = host.partition(":")[0]
    if host == _DOMAIN:
        return True
    return len(host) > len(_SUBDOMAIN_SUFFIX) and host.endswith(_SUBDOMAIN_SUFFIX)


def _from_service_domain(netloc: Any) -> bool:
    if not isinstance(netloc, str):
        _DOMAIN in netloc  # a bytes netloc fails here, as the substring test did
        return False
    return _is_service_host(netloc)


class SellerSpriteFeedCatcher:
    """Keeps the latest JSON response of each section."""

    def __init__(self) -> None:
        self.responses: dict[str, dict[str, Any]] = {}

    async def capture_json_response(self, response, *, section: str, url_keyword: str) -> None:
        if type(section) is not str:
            raise _incorrect_type("section", str, section)
        if type(url_keyword) is not str:
            raise _incorrect_type("url_keyword", str, url_keyword)
        parsed_url = urlparse(response.url)
        if not _from_service_domain(parsed_url.netloc.lower()) or url_keyword not in response.url:
            return
        try:
            payload = await response.json()  # line 29
        except Exception:
            return
        if not self._matches_section_payload(section, payload):  # line 32
            return
        self.responses[section] = {  # line 34
            "url": response.url,
            "status": response.status,
            "payload": payload,
        }

    def _matches_section_payload(self, section: str, payload: Any) -> bool:
        if type(section) is not str:
            raise _incorrect_type("section", str, section)
        if not isinstance(payload, dict):
            return False
        data = payload.get("data")  # line 44
        if section == "frequency" or section == "reverse_frequency":
            return isinstance(data, list) and any(  # line 47
                isinstance(item, dict) and "frequency" in item and "keyword" in item for item in data  # line 47
            )
        if section == "keyword_mining":
            return isinstance(data, dict) and isinstance(data.get("items"), list)
        if section == "keyword_reverse":
            return isinstance(data, dict) and isinstance(data.get("items"), list) and "asin" in data
        if section == "reverse_monthly":
            return isinstance(data, dict) and "monthlyDto" in data and "variations" in data  # line 54
        if section == "reverse_stats":
            return isinstance(data, dict) and "statDto" in data and "asin" in data
        return False

    def get_payload(self, section: str) -> dict[str, Any] | None:
        if type(section) is not str:
            raise _incorrect_type("section", str, section)
        item = self.responses.get(section)  # line 61
        if not item:
            return None
        payload = item.get("payload")  # line 64
        result = payload if isinstance(payload, dict) else None
        if result is not None and type(result) is not dict:
            raise _wrong_result(result)
        return result  # line 65

    def save_all(self, target_dir: Path) -> dict[str, str]:
        target_dir.mkdir(parents=True, exist_ok=True)
        files: dict[str, str] = {}
        for section, item in self.responses.items():
            path = target_dir / f"{section}.json"
            path.write_text(json.dumps(item, ensure_ascii=False, indent=2), encoding="utf-8")
            files[f"{section}_response"] = str(path)
        return files
