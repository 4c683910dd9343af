#!/usr/bin/env bash
# Builds the x86_64 wheel of the native modules for an interpreter version
# this machine cannot run (3.14 and 3.15 need a newer C library than Debian
# 12's), with this machine's own compiler, as every other wheel is built: the
# wheel must load on any system of the glibc floor, which a build on the
# interpreter's own system (forky, glibc 2.43) would only pass by luck.
# Unrepaired, into OUT: the Makefile's checks and auditwheel follow.
#
# Usage: tools/foreign_wheel.sh VERSION HEADERS PYTHON OUT
#   VERSION  e.g. 3.14
#   HEADERS  a directory holding that version's headers as Debian installs
#            them: python3.X/ and x86_64-linux-gnu/python3.X/ (pyconfig.h),
#            e.g. a forky root's /usr/include
#   PYTHON   an interpreter of this machine with the lock's build tools
#            (setuptools, wheel); it runs setup.py, and the wheel it makes
#            is then tagged for VERSION
set -euo pipefail
cd "$(dirname "$0")/.."
version=${1:?interpreter version}
headers=${2:?directory of the headers}
python=${3:?build interpreter}
# Absolute, without resolving links: a virtual environment is known by its path.
[[ "$python" = /* ]] || python=$PWD/$python
out=${4:?output directory}
abi=${version/./}
triplet=x86_64-linux-gnu

[ -f "$headers/python$version/Python.h" ] && [ -f "$headers/$triplet/python$version/pyconfig.h" ] \
    || { echo "foreign_wheel.sh: no headers of $version in $headers" >&2; exit 1; }

# Only the interpreter's own headers are copied: the system headers beside
# them are another C library's, which must not stand in for this machine's.
work=$PWD/build/foreign-$version
rm -rf "$work"
mkdir -p "$work/include/$triplet" "$work/src"
cp -r "$headers/python$version" "$work/include/"
cp -r "$headers/$triplet/python$version" "$work/include/$triplet/"
# A tree of its own: the build directory of the running interpreter's
# version would otherwise carry that version's modules into this wheel.
git ls-files -co --exclude-standard -z | tar --null -T - -cf - | tar -xf - -C "$work/src"

# The target's headers come before the running interpreter's (Python.h
# includes pyconfig.h through the multiarch directory).
(cd "$work/src" && env \
    CPPFLAGS="-I$work/include/python$version -I$work/include" \
    SETUPTOOLS_EXT_SUFFIX=".cpython-$abi-$triplet.so" \
    "$python" -m pip wheel --no-build-isolation --no-index --no-deps -q \
        --disable-pip-version-check --ignore-requires-python -w "$work/wheel" .)
mkdir -p "$out"
for wheel in "$work"/wheel/tarnix_native-*.whl; do
    "$python" -m wheel tags --remove --python-tag "cp$abi" --abi-tag "cp$abi" "$wheel" >/dev/null
done
mv "$work"/wheel/tarnix_native-*-cp$abi-cp$abi-*.whl "$out"/
rm -rf "$work"
