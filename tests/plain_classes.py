"""The plain-Python rendering of both classes that the benchmark runs
(bench/plain_python.py), for tests that compare the native classes with it."""

import importlib.util
from pathlib import Path


def load():
    path = Path(__file__).resolve().parent.parent / "bench" / "plain_python.py"
    spec = importlib.util.spec_from_file_location("plain_python", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


plain_python = load()
