"""Fails when a native module needs a glibc symbol newer than the wheels' floor.

Usage: glibc_symbols.py FLOOR PATH...   (FLOOR e.g. 2.17; PATH a .so or a .whl)

Prints each symbol whose version is newer, with the file that needs it, and
exits 1 if there is one.  auditwheel would only name a newer tag; this says
which symbol moved it, so the build fails where the cause can be seen.
"""

import io
import re
import sys
import zipfile
from pathlib import Path

from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

GLIBC_VERSION = re.compile(r"GLIBC_(\d+(?:\.\d+)+)$")


def version_tuple(text: str) -> tuple[int, ...]:
    return tuple(int(part) for part in text.split("."))


def needed_glibc(elf: ELFFile) -> list[tuple[str, str]]:
    """(symbol, version) for every undefined symbol bound to a GLIBC_ version."""
    versions = {}
    for section in elf.iter_sections():
        if isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                for aux in auxiliaries:
                    match = GLIBC_VERSION.match(aux.name)
                    if match:
                        versions[aux.entry["vna_other"]] = match.group(1)
    symbols = elf.get_section_by_name(".dynsym")
    versym = elf.get_section_by_name(".gnu.version")
    if symbols is None or versym is None:
        return []
    needed = []
    for index, symbol in enumerate(symbols.iter_symbols()):
        if symbol["st_shndx"] != "SHN_UNDEF":
            continue
        # pyelftools names the two reserved indices (local, global) as strings.
        version_index = versym.get_symbol(index)["ndx"]
        version = versions.get(version_index) if isinstance(version_index, int) else None
        if version is not None:
            needed.append((symbol.name, version))
    return needed


def modules(path: Path):
    """(name, bytes) of each shared object at PATH, inside a wheel or not."""
    if path.suffix == ".whl":
        with zipfile.ZipFile(path) as wheel:
            for name in wheel.namelist():
                if name.endswith(".so"):
                    yield f"{path.name}:{name}", wheel.read(name)
    else:
        yield str(path), path.read_bytes()


def main(argv: list[str]) -> int:
    if len(argv) < 3:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    floor = version_tuple(argv[1])
    newer = []
    checked = 0
    for argument in argv[2:]:
        for name, data in modules(Path(argument)):
            checked += 1
            for symbol, version in needed_glibc(ELFFile(io.BytesIO(data))):
                if version_tuple(version) > floor:
                    newer.append(f"{name}: {symbol}@GLIBC_{version}")
    if checked == 0:
        print("no shared object to check", file=sys.stderr)
        return 2
    for line in sorted(newer):
        print(f"newer than glibc {argv[1]}: {line}", file=sys.stderr)
    return 1 if newer else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
