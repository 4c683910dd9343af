#!/usr/bin/env bash
# Builds the aarch64 wheel of the native modules for one interpreter version
# on this x86_64 machine, with Debian's cross compiler, into OUT (unrepaired:
# the Makefile checks and repairs it).
#
# Usage: tools/cross_wheel.sh VERSION PYTHON OUT
#   VERSION  3.11, 3.12 or 3.13
#   PYTHON   an x86_64 interpreter of that version, with the lock's build
#            tools (setuptools, wheel); it runs setup.py and names the ABI
#
# The headers are the target's: the frame reads interpreter internals and
# pyconfig.h differs per architecture.  3.11 and 3.13 come from Debian's
# arm64 packages (bookworm's and trixie's libpython3.X-dev), the interpreters
# the emulated suite runs on.  No Debian release has an arm64 3.12, so its
# headers are the x86_64 interpreter's own (they are the same on every
# architecture but pyconfig.h), with pyconfig.h given the lines in which
# Debian's arm64 and amd64 configurations of 3.11 differ.
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:?interpreter version}
python=${2:?x86_64 interpreter of that version}
out=${3:?output directory}

target=aarch64-linux-gnu
headers=$PWD/build/cross/$target-python$version
case "$version" in
    3.11) suite=bookworm ;;
    3.13) suite=trixie ;;
    *) suite= ;;
esac
if [ ! -f "$headers/.done" ]; then
    rm -rf "$headers"
    if [ -n "$suite" ]; then
        tools/debian_headers.sh "$suite" arm64 "libpython$version-dev" "$headers"
    else
        include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
        mkdir -p "$headers/usr/include"
        cp -r "$include" "$headers/usr/include/python$version"
        sed -i -e 's|^#define HAVE_GCC_ASM_FOR_X64 1|/* #undef HAVE_GCC_ASM_FOR_X64 */|' \
               -e 's|^#define HAVE_GCC_ASM_FOR_X87 1|/* #undef HAVE_GCC_ASM_FOR_X87 */|' \
               -e 's|^/\* #undef HAVE_USABLE_WCHAR_T \*/|#define HAVE_USABLE_WCHAR_T 1|' \
               -e 's|^#define PY_SUPPORT_TIER 1|#define PY_SUPPORT_TIER 2|' \
            "$headers/usr/include/python$version/pyconfig.h"
        # Each edit must have found its line: a pyconfig.h of another
        # layout would otherwise pass unchanged.
        [ "$(grep -cE '^/\* #undef HAVE_GCC_ASM_FOR_X(64|87) \*/|^#define HAVE_USABLE_WCHAR_T 1|^#define PY_SUPPORT_TIER 2' \
              "$headers/usr/include/python$version/pyconfig.h")" = 4 ] \
            || { echo "pyconfig.h of $include: not the expected lines" >&2; exit 1; }
    fi
    touch "$headers/.done"
fi

# setuptools takes the compilers, the suffix and the platform tag from the
# environment; the target's headers come before the running interpreter's
# (Python.h includes pyconfig.h beside itself, so the whole directory must).
abi=$("$python" -c 'import sys; print("%d%d" % sys.version_info[:2])')
env CC=$target-gcc CXX=$target-g++ \
    LDSHARED="$target-g++ -shared" LDCXXSHARED="$target-g++ -shared" \
    CPPFLAGS="-I$headers/usr/include/python$version -I$headers/usr/include" \
    SETUPTOOLS_EXT_SUFFIX=".cpython-$abi-$target.so" \
    _PYTHON_HOST_PLATFORM=linux-aarch64 \
    "$python" -m pip wheel --no-build-isolation --no-index --no-deps -q \
        --disable-pip-version-check -w "$out" .
