#!/usr/bin/env bash
# The project on the newest interpreters, 3.14 and 3.15, which Debian has in
# its testing release (forky) only and which need forky's C library: a root
# made afresh from the pristine forky root (tools/debian_root.sh: trixie with
# forky's packages when asked for), this clone's HEAD cloned into the home
# of its user `tester`, and there, as that user, for each version: the suite,
# the suite under the sanitizers, the leak test on the version's debug
# interpreter; then the wheels this machine builds for those versions, with
# its own compiler against the root's headers, installed there and the suite
# run against them (make test-cross).
#
# Usage: tools/newest_machine.sh [VERSION...]      (as root; default 3.14 3.15)
# NEWEST_STEPS narrows what runs to some of test, asan, leaks and wheel, by
# spaces or commas (all by default; CI takes the suite and the wheels, for
# its time budget); the step bench, never run by default, is make bench on
# each version (make bench-newest), on a machine otherwise quiet.
# Prints each step's time; fails if any step failed, after running them all.
set -uo pipefail
cd "$(dirname "$0")/.."
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.14 3.15)
roots="${TARNIX_ROOTS:-/var/cache/tarnix-roots}"
name=newest-forky
home=$roots/$name/home/tester
project=/home/tester/tarnix

steps=${NEWEST_STEPS:-test asan leaks wheel}
steps=" ${steps//,/ } "
wanted() { [[ $steps == *" $1 "* ]]; }

failed=()
timings=()
started_all=$SECONDS
step() {
    local title=$1
    shift
    echo "=== [forky] $title" >&2
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
# The wheel this machine builds for a version, against the headers the root
# installed with that version's interpreter, then the suite against it there.
wheel() {
    local version=$1 wheel
    make --no-print-directory foreign-wheel FOREIGN="$version" \
        FOREIGN_HEADERS="$roots/$name/usr/include" || return 1
    wheel=$(ls dist/tarnix_native-*-cp${version/./}-*_x86_64.whl) || return 1
    mkdir -p "$home/cross" && cp "$wheel" "$home/cross/" && chown -R 1000:1000 "$home/cross" || return 1
    as_tester test-cross PY="$version" CROSS_TO=/usr/bin/python"$version" \
        CROSS_WHEEL=/home/tester/cross/"$(basename "$wheel")"
}

step "create the root" tools/debian_root.sh create "$name" forky
if [ ${#failed[@]} -eq 0 ]; then
    step "clone" clone
    for version in "${versions[@]}"; do
        wanted test && step "make test PY=$version" as_tester test PY="$version"
    done
    for version in "${versions[@]}"; do
        wanted asan && step "make test-asan PY=$version" as_tester test-asan PY="$version"
    done
    for version in "${versions[@]}"; do
        wanted leaks && step "make test-leaks DEBUG_PY=$version" as_tester test-leaks PY="$version" DEBUG_PY="$version"
    done
    for version in "${versions[@]}"; do
        wanted bench && step "make bench PY=$version" as_tester bench PY="$version"
    done
    for version in "${versions[@]}"; do
        wanted wheel && step "the cp${version/./} wheel from this machine" wheel "$version"
    done
fi
printf '%s\n' "timings (forky):" "${timings[@]}" "$(printf '%5ds  in all' $((SECONDS - started_all)))" >&2
if [ ${#failed[@]} -gt 0 ]; then
    printf 'failed (forky):' >&2
    printf ' [%s]' "${failed[@]}" >&2
    echo >&2
    exit 1
fi
