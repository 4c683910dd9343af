"""Environments for child processes that are not Python.

Under `make test-asan` the sanitizer runtime is preloaded into every process
(LD_PRELOAD), because the interpreter itself is not instrumented.  Python
children may keep it; anything else (a D-Bus daemon, a browser) would run
under a runtime it was not built for, so start those with
`subprocess.Popen(..., env=without_sanitizer())`.
"""

import os


def without_sanitizer(env=None):
    """A copy of `env` (default: os.environ) without the preloaded runtime."""
    env = dict(os.environ if env is None else env)
    preloaded = env.pop("TARNIX_SANITIZER_PRELOAD", "").split(":")
    if "LD_PRELOAD" in env:
        kept = [p for p in env["LD_PRELOAD"].split(":") if p and p not in preloaded]
        if kept:
            env["LD_PRELOAD"] = ":".join(kept)
        else:
            del env["LD_PRELOAD"]
    return env
