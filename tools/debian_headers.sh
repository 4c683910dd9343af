#!/usr/bin/env bash
# Unpacks one of Debian's -dev packages for another architecture into a
# directory, for cross-compiling against its headers.  apt runs with a state
# directory of its own under DEST, so the host's package lists, its dpkg
# database and its architectures stay as they were.
#
# Usage: tools/debian_headers.sh SUITE ARCH PACKAGE DEST
#   e.g. tools/debian_headers.sh trixie arm64 libpython3.13-dev build/cross/trixie-arm64
set -euo pipefail
suite=${1:?suite, e.g. bookworm}
arch=${2:?architecture, e.g. arm64}
package=${3:?package}
dest=${4:?destination}

apt_dir=$dest/apt
mkdir -p "$apt_dir"/lists/partial "$apt_dir"/archives/partial "$apt_dir"/debs
echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
     "http://deb.debian.org/debian $suite main" > "$apt_dir"/sources.list
: > "$apt_dir"/status
apt_options=(
    -o APT::Architecture="$arch" -o APT::Architectures="$arch"
    -o Dir::State="$apt_dir" -o Dir::State::Lists="$apt_dir/lists"
    -o Dir::State::status="$apt_dir/status" -o Dir::Cache="$apt_dir"
    -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root -q
)
apt-get "${apt_options[@]}" update
(cd "$apt_dir"/debs && apt-get "${apt_options[@]}" download "$package:$arch")
dpkg-deb -x "$apt_dir"/debs/"${package}"_*.deb "$dest"
