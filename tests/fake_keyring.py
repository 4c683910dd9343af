"""A programmable stand-in for the `keyring` package.

Tests must never reach a real secret store, so conftest places this in
sys.modules as `keyring` and `keyring.errors` before anything imports the real
package.  Every call is recorded; a test makes one raise by putting an
exception into `backend.failures[operation]`.
"""

import sys
import types


class NoKeyringError(RuntimeError):
    pass


class PasswordDeleteError(Exception):
    pass


class Backend:
    def __init__(self):
        self.entries = {}   # (service, username) -> secret
        self.calls = []     # (operation, args)
        self.failures = {}  # operation -> exception

    def _enter(self, operation, *args):
        self.calls.append((operation, args))
        if operation in self.failures:
            raise self.failures[operation]

    def get_password(self, *key):
        self._enter("get_password", *key)
        return self.entries.get(key)

    def set_password(self, service, username, password):
        self._enter("set_password", service, username, password)
        self.entries[(service, username)] = password

    def delete_password(self, *key):
        self._enter("delete_password", *key)
        if self.entries.pop(key, None) is None:
            raise PasswordDeleteError("Password not found")


backend = Backend()


def reset():
    global backend
    backend = Backend()
    return backend


def install():
    package = types.ModuleType("keyring", __doc__)
    package.errors = types.ModuleType("keyring.errors")
    package.errors.NoKeyringError = NoKeyringError
    package.errors.PasswordDeleteError = PasswordDeleteError
    # Looked up at call time, so reset() reaches code that already holds the package.
    package.get_password = lambda *args: backend.get_password(*args)
    package.set_password = lambda *args: backend.set_password(*args)
    package.delete_password = lambda *args: backend.delete_password(*args)
    sys.modules["keyring"] = package
    sys.modules["keyring.errors"] = package.errors
