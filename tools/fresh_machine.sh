#!/usr/bin/env bash
# The project on a fresh Debian machine, as a new user would meet it: a root
# made afresh from the pristine one (tools/debian_root.sh), this clone's
# HEAD cloned into the home of its user `tester`, and there, as that user,
# the README's two commands (`make demo`, `make test`), then `make
# test-leaks` with the release's own debug interpreter.  On trixie also the
# cross-patch run: the cp313 wheel this machine builds (pyenv's 3.13.0 on a
# Debian 12 host) installed on the root's own 3.13, the suite against it.
#
# Usage: tools/fresh_machine.sh bookworm|trixie      (as root)
# Prints each step's time; fails if any step failed, after running them all.
set -uo pipefail
cd "$(dirname "$0")/.."
suite=${1:?bookworm or trixie}
case "$suite" in
    bookworm) cross_version= ;;
    trixie) cross_version=3.13 ;;
    *) echo "fresh_machine.sh: unsupported suite '$suite'" >&2; exit 2 ;;
esac
roots="${TARNIX_ROOTS:-/var/cache/tarnix-roots}"
name=fresh-$suite
home=$roots/$name/home/tester
project=/home/tester/tarnix

failed=()
timings=()
step() {
    local title=$1
    shift
    echo "=== [$suite] $title" >&2
    local started=$SECONDS
    "$@" || failed+=("$title")
    timings+=("$(printf '%5ds  %s' $((SECONDS - started)) "$title")")
}
as_tester() {
    tools/debian_root.sh enter "$name" --user -- env CI="${CI:-true}" make -C "$project" "$@"
}
clone() {
    git clone -q --no-hardlinks "$PWD" "$home/tarnix" && chown -R 1000:1000 "$home/tarnix"
}
cross() {
    local wheel
    make --no-print-directory wheel PY="$cross_version" ARCHS=x86_64 || return 1
    wheel=$(ls dist/tarnix_native-*-cp${cross_version/./}-*_x86_64.whl) || return 1
    echo "cross: $wheel, built with $(make -s --no-print-directory interpreters \
        | awk -v v="$cross_version" '$1 == v { print $2 }')" >&2
    mkdir -p "$home/cross" && cp "$wheel" "$home/cross/" && chown -R 1000:1000 "$home/cross" || return 1
    as_tester test-cross CROSS_TO=/usr/bin/python"$cross_version" \
        CROSS_WHEEL=/home/tester/cross/"$(basename "$wheel")"
}

step "create the root" tools/debian_root.sh create "$name" "$suite"
if [ ${#failed[@]} -eq 0 ]; then
    step "clone" clone
    step "make demo" as_tester demo
    step "make test" as_tester test
    step "make test-leaks" as_tester test-leaks
    [ -n "$cross_version" ] && step "make test-cross (wheel from this machine)" cross
fi
printf '%s\n' "timings ($suite):" "${timings[@]}" >&2
if [ ${#failed[@]} -gt 0 ]; then
    printf 'failed (%s):' "$suite" >&2
    printf ' [%s]' "${failed[@]}" >&2
    echo >&2
    exit 1
fi
