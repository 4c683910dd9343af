#!/usr/bin/env bash
# Fresh Debian roots for checks that need a machine of their own: another
# release, another architecture, nothing installed beforehand.
#
#   tools/debian_root.sh create NAME SUITE [ARCH]
#       A fresh working root $ROOTS/NAME (replacing one of that name), copied
#       from the pristine root $ROOTS/pristine-SUITE-ARCH, which is made once
#       by debootstrap from Debian's archive: the base system with git, make
#       and sudo, and a user `tester` with passwordless sudo.  SUITE is
#       bookworm, trixie or forky (a trixie root with forky added to its apt
#       sources at a lower priority: `apt-get install -t forky PACKAGE` takes
#       from it); ARCH is amd64 (the default) or arm64 (run through
#       qemu-user-static).
#   tools/debian_root.sh enter NAME [--user] -- CMD...
#       CMD inside the root, as root or (--user) as `tester` in its home, with
#       a clean environment.  Exits with CMD's status.
#   tools/debian_root.sh remove NAME
#       Unmounts anything still mounted inside, then deletes the root.
#
# $ROOTS is $TARNIX_ROOTS, by default /var/cache/tarnix-roots: outside any
# clone, so the pristine roots and the download caches under $ROOTS/cache
# (apt's .debs per suite and architecture, pip's cache shared by all) survive
# between runs.  Runs as root.
#
# `enter` mounts /proc, /sys, /dev, /dev/pts and /dev/shm in a mount and PID
# namespace of its own: the host never sees the mounts, they go away with the
# command whatever way it ends, and so does every process it left behind
# (a D-Bus session, a browser), so `remove` cannot reach the host's /dev
# through a forgotten bind mount.  Several `enter`s of one root may run at once.
set -euo pipefail

ROOTS="${TARNIX_ROOTS:-/var/cache/tarnix-roots}"
MIRROR="http://deb.debian.org/debian"
SECURITY_MIRROR="http://deb.debian.org/debian-security"
TESTER=tester
# The CPU qemu-user emulates for arm64 roots.  Its default, "max", offers
# SVE, and trixie's glibc then takes SVE string and memory routines, which
# qemu runs about ten times slower than the plain ones a Neoverse N1 (an
# ordinary arm64 server core) gets; everything else is the same machine.
# Host binaries ignore the variable.
export QEMU_CPU="${QEMU_CPU:-neoverse-n1}"

die() { echo "debian_root.sh: $*" >&2; exit 2; }

usage() {
    sed -n '4,18p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

check_name() {
    case "$1" in
        ''|.*|*/*|pristine-*|cache) die "not a usable root name: '$1'" ;;
    esac
}

# The qemu binfmt handler must be registered with the F flag (the emulator
# opened at registration), so that it works inside the chroot without a copy
# of qemu there.
ensure_foreign_arch() {
    local arch=$1 handler
    case "$arch" in
        amd64) return 0 ;;
        arm64) handler=qemu-aarch64 ;;
        *) die "unsupported architecture '$arch' (amd64 or arm64)" ;;
    esac
    if ! mountpoint -q /proc/sys/fs/binfmt_misc; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/$handler ]; then
        update-binfmts --enable "$handler" \
            || die "no binfmt handler $handler: install qemu-user-static and binfmt-support"
    fi
    grep -q '^flags:.*F' /proc/sys/fs/binfmt_misc/$handler \
        || die "binfmt handler $handler lacks the F flag (qemu-user-static's registration has it)"
}

sources_list() {
    local suite=$1
    case "$suite" in
        bookworm|trixie)
            echo "deb $MIRROR $suite main"
            echo "deb $MIRROR $suite-updates main"
            echo "deb $SECURITY_MIRROR $suite-security main"
            ;;
        forky)
            sources_list trixie
            echo "deb $MIRROR forky main"
            ;;
    esac
}

# debootstrap into a scratch directory renamed into place only when complete,
# so an interrupted run leaves no half-made pristine root behind.
make_pristine() {
    local suite=$1 arch=$2 pristine=$3 base=$1
    [ "$suite" = forky ] && base=trixie
    local scratch="$pristine.partial"
    local debs="$ROOTS/cache/debootstrap-$base-$arch"
    mkdir -p "$debs"
    rm -rf --one-file-system "$scratch"
    echo "debian_root.sh: debootstrap $base $arch into $pristine (once)" >&2
    debootstrap --arch="$arch" --include=git,make,sudo --cache-dir="$debs" \
        "$base" "$scratch" "$MIRROR"
    sources_list "$suite" > "$scratch/etc/apt/sources.list"
    if [ "$suite" = forky ]; then
        # The archive serves forky's Release file past its Valid-Until date.
        echo 'Acquire::Check-Valid-Until "false";' \
            > "$scratch/etc/apt/apt.conf.d/99check-valid-until"
        # Installing from trixie stays the default; forky only when asked.
        printf '%s\n' 'Package: *' 'Pin: release n=forky' 'Pin-Priority: 100' \
            > "$scratch/etc/apt/preferences.d/forky"
    fi
    cp /etc/resolv.conf "$scratch/etc/resolv.conf"
    echo "$suite $arch" > "$scratch/.tarnix-root"
    chroot "$scratch" useradd --create-home --shell /bin/bash --uid 1000 "$TESTER"
    echo "$TESTER ALL=(ALL) NOPASSWD: ALL" > "$scratch/etc/sudoers.d/$TESTER"
    chmod 0440 "$scratch/etc/sudoers.d/$TESTER"
    # A freshly installed machine knows its package lists.
    run_inside "$scratch" root apt-get -q update
    chroot "$scratch" apt-get clean
    mv "$scratch" "$pristine"
}

cmd_create() {
    [ $# -ge 2 ] && [ $# -le 3 ] || usage
    local name=$1 suite=$2 arch=${3:-amd64}
    check_name "$name"
    case "$suite" in bookworm|trixie|forky) ;; *) die "unsupported suite '$suite'" ;; esac
    ensure_foreign_arch "$arch"
    mkdir -p "$ROOTS/cache"
    local pristine="$ROOTS/pristine-$suite-$arch"
    # One maker of a pristine root at a time; the others wait and copy it.
    exec 9> "$ROOTS/.pristine-$suite-$arch.lock"
    flock 9
    [ -d "$pristine" ] || make_pristine "$suite" "$arch" "$pristine"
    flock -u 9
    cmd_remove "$name"
    local started=$SECONDS
    cp -a --one-file-system "$pristine" "$ROOTS/$name.partial"
    mv "$ROOTS/$name.partial" "$ROOTS/$name"
    echo "debian_root.sh: $ROOTS/$name ($suite $arch) ready in $((SECONDS - started))s" >&2
}

# run_inside ROOT root|user CMD...: the mounts and the chroot, in namespaces
# of their own (see the header).
run_inside() {
    local root=$1 who=$2
    shift 2
    local suite arch
    read -r suite arch < "$root/.tarnix-root" 2>/dev/null || { suite=unknown; arch=unknown; }
    local apt_cache="$ROOTS/cache/apt-$suite-$arch" pip_cache="$ROOTS/cache/pip"
    mkdir -p "$apt_cache/partial" "$pip_cache"
    chown 1000:1000 "$pip_cache"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    cp /etc/hosts "$root/etc/hosts"
    # The emulated CPU (above), and the host's network, trust included: where
    # TLS is intercepted on the way out, the certificate authorities the host
    # added are needed inside too, before the root has a bundle of its own
    # (pip brings its own otherwise).
    local host_env=("QEMU_CPU=$QEMU_CPU")
    if [ -n "$(ls /usr/local/share/ca-certificates/ 2>/dev/null)" ] \
            && [ -f /etc/ssl/certs/ca-certificates.crt ]; then
        mkdir -p "$root/usr/local/share/ca-certificates" "$root/etc/ssl"
        cp -r /usr/local/share/ca-certificates/. "$root/usr/local/share/ca-certificates/"
        cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/host-ca-certificates.crt"
        host_env+=(PIP_CERT=/etc/ssl/host-ca-certificates.crt SSL_CERT_FILE=/etc/ssl/host-ca-certificates.crt)
    fi
    # --kill-child: the namespace's processes end with the command.
    unshare --mount --pid --fork --kill-child --propagation private -- \
        /bin/bash -euo pipefail -c '
        root=$1 who=$2 apt_cache=$3 pip_cache=$4 tester=$5 host_env=($6)
        shift 6
        mount -t proc proc "$root/proc"
        mount --rbind /sys "$root/sys"
        mount --bind /dev "$root/dev"
        mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
        mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
        mount -t tmpfs -o mode=1777,size=2g shm "$root/dev/shm"
        mount --bind "$apt_cache" "$root/var/cache/apt/archives"
        home=$root/home/$tester
        if [ -d "$home" ]; then
            mkdir -p "$home/.cache/pip"
            chown 1000:1000 "$home/.cache" "$home/.cache/pip"
            mount --bind "$pip_cache" "$home/.cache/pip"
        fi
        env=("${host_env[@]}" HOME=/root USER=root LOGNAME=root LANG=C.UTF-8 TERM="${TERM:-dumb}"
             PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
        if [ "$who" = user ]; then
            env=("${host_env[@]}" HOME=/home/$tester USER=$tester LOGNAME=$tester LANG=C.UTF-8
                 TERM="${TERM:-dumb}" PATH=/usr/local/bin:/usr/bin:/bin)
            set -- runuser -u "$tester" -- env -i -C "/home/$tester" "${env[@]}" "$@"
        else
            set -- env -i -C / "${env[@]}" "$@"
        fi
        # Started in the background, a command inherits SIGINT and SIGQUIT
        # ignored, and so would everything inside: Ctrl-C must work there
        # as on a terminal.
        set -- env --default-signal=INT,QUIT "$@"
        # Not exec: this shell stays the namespace'"'"'s init, which reaps the
        # daemons the command leaves behind instead of leaving zombies that
        # still look alive to it.
        status=0
        chroot "$root" "$@" || status=$?
        exit "$status"
    ' run_inside "$root" "$who" "$apt_cache" "$pip_cache" "$TESTER" "${host_env[*]}" "$@"
}

cmd_enter() {
    [ $# -ge 1 ] || usage
    local name=$1 who=root
    shift
    check_name "$name"
    if [ "${1:-}" = --user ]; then who=user; shift; fi
    [ "${1:-}" = -- ] || usage
    shift
    [ $# -ge 1 ] || usage
    [ -d "$ROOTS/$name" ] || die "no root $ROOTS/$name (tools/debian_root.sh create first)"
    run_inside "$ROOTS/$name" "$who" "$@"
}

mounts_under() {
    awk -v prefix="$1/" 'index($2, prefix) == 1 { print $2 }' /proc/mounts | sort -r
}

cmd_remove() {
    [ $# -eq 1 ] || usage
    local name=$1 path
    check_name "$name"
    for path in "$ROOTS/$name" "$ROOTS/$name.partial"; do
        [ -e "$path" ] || continue
        # Roots made by hand may still have mounts on the host; never delete
        # through them.
        mounts_under "$path" | xargs -r -n 1 umount -R 2>/dev/null || true
        [ -z "$(mounts_under "$path")" ] || die "$path still has mounts; not removing it"
        rm -rf --one-file-system "$path"
    done
}

[ "$(id -u)" = 0 ] || die "must run as root"
[ $# -ge 1 ] || usage
command=$1
shift
case "$command" in
    create) cmd_create "$@" ;;
    enter)  cmd_enter "$@" ;;
    remove) cmd_remove "$@" ;;
    *) usage ;;
esac
