"""Configuration of the tarnix command-line tool."""

from pathlib import Path

# Where the tool keeps its per-user state (credentials, keys).
CONFIG_DIR = Path.home() / ".config" / "tarnix"
