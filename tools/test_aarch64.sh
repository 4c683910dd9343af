#!/usr/bin/env bash
# The suite on aarch64: the cross-built wheel installed for Debian's own arm64
# interpreter in a fresh arm64 root (tools/debian_root.sh), run through
# qemu-user-static.
#
# Usage: tools/test_aarch64.sh SUITE [pytest arguments]
#   bookworm runs python3.11, trixie python3.13
#
# The package index this machine reaches carries x86_64 wheels only, so the
# tests' own dependencies come from Debian's arm64 packages (bookworm's are
# the oldest versions pyproject.toml declares); Playwright has none, so the
# browser tests skip, as they say, and no browser is installed.  The root is removed afterwards unless
# KEEP_ROOT=1.
set -euo pipefail
cd "$(dirname "$0")/.."
suite=${1:?bookworm or trixie}
shift
case "$suite" in
    bookworm) version=3.11 ;;
    trixie) version=3.13 ;;
    *) echo "test_aarch64.sh: no arm64 interpreter chosen for $suite" >&2; exit 2 ;;
esac
started=$SECONDS
name=aarch64-$suite
wheels=(dist/tarnix_native-*-cp${version/./}-*_aarch64.whl dist/tarnix_tool_stand_ins-*.whl)
for wheel in "${wheels[@]}"; do
    [ -f "$wheel" ] || { echo "test_aarch64.sh: no $wheel (make wheel PY=$version)" >&2; exit 1; }
done

tools/debian_root.sh create "$name" "$suite" arm64
[ "${KEEP_ROOT:-0}" = 1 ] || trap 'tools/debian_root.sh remove "$name"' EXIT
root=${TARNIX_ROOTS:-/var/cache/tarnix-roots}/$name

# The tree as it is (tracked files and new ones, not the host's build
# products) and the two wheels.
tree=$root/home/tester/tarnix
mkdir -p "$tree/dist"
git ls-files -z -co --exclude-standard | tar -c --null -T - | tar -x -C "$tree"
cp "${wheels[@]}" "$tree/dist/"
chown -R 1000:1000 "$tree"

tools/debian_root.sh enter "$name" -- env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends \
    "python$version" "python$version-venv" python3-pytest python3-hypothesis \
    python3-cryptography python3-keyring python3-secretstorage python3-jeepney \
    python3-packaging python3-pyelftools python3-mypy dbus-daemon gnome-keyring
echo "test_aarch64.sh: root ready in $((SECONDS - started))s" >&2

# Debian's packages through --system-site-packages, the wheels installed into
# the environment itself, and the tree kept off sys.path (PYTHONSAFEPATH), as
# tools/checked.sh runs the installed modules.
status=0
tools/debian_root.sh enter "$name" --user -- bash -euo pipefail -c '
    version=$1
    shift
    cd tarnix
    uname -m
    "python$version" -m venv --system-site-packages .venv
    .venv/bin/python -m pip install -q --no-deps --no-index dist/*.whl
    site=$(.venv/bin/python -c "import sysconfig; print(sysconfig.get_paths()[\"purelib\"])")
    PYTHONSAFEPATH=1 TARNIX_EXPECT_MODULES_IN=$site/tarnix \
        .venv/bin/python -m pytest -q -p no:cacheprovider -rs --capture=sys "$@"
' test_aarch64 "$version" "$@" || status=$?
echo "test_aarch64.sh: $suite (python$version, aarch64) took $((SECONDS - started))s" >&2
exit $status
