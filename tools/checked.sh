#!/usr/bin/env bash
# The two checked builds of both modules, each installed into a virtual
# environment of its own, so that neither the main .venv nor the in-place
# release modules of the source tree can stand in for them:
#
#   asan   .venv-asan-X.Y  AddressSanitizer and UBSan, on the release
#                          interpreter given (Debian's python3.11 or pyenv's)
#   debug  .venv-debug-X.Y Debian's debug interpreter (python3.11-dbg, modules
#                          with the .cpython-311d suffix): sys.gettotalrefcount()
#                          counts every reference there
#
# Usage: tools/checked.sh asan|debug INTERPRETER build
#        tools/checked.sh asan|debug INTERPRETER test [pytest arguments]
#
# The environment must hold requirements/lock.txt (the Makefile installs it
# before it calls this; a missing environment is made here, empty).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:?asan or debug}
python=${2:?the interpreter}
action=${3:?build or test}
shift 3

case "$mode" in
    asan)
        flags=(-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined)
        venv=$PWD/.venv-asan-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
        ;;
    debug)
        flags=(-O0 -g)
        venv=$PWD/.venv-debug-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
        "$python" -c 'import sys; sys.gettotalrefcount' 2>/dev/null \
            || { echo "$python is not a debug interpreter" >&2; exit 2; }
        ;;
    *)
        echo "unknown mode: $mode" >&2
        exit 2
        ;;
esac

if [ "$action" = build ]; then
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    include=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    suffix=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
    # A plain (not editable) installation: the Python side of the package,
    # then each module compiled beside it.
    rm -rf "$site/tarnix"
    find tarnix -name '*.py' -exec cp --parents {} "$site" \;
    pids=()
    for module in tarnix/auth/storage/login_vault tarnix/seller_sprite/scraping/feed_catcher; do
        g++ -std=c++20 -Wall -Wextra "${flags[@]}" -fPIC -shared -fvisibility=hidden \
            -I frame -I "$include" "$module.cpp" frame/*.cpp frame/compat/*.cpp -o "$site/$module$suffix" &
        pids+=($!)
    done
    if [ "$mode" = asan ]; then
        g++ -std=c++20 -Wall -Wextra -O1 -fPIC -shared tools/asan_thread_exit.cpp \
            -o "$venv/asan_thread_exit.so" -ldl &
        pids+=($!)
    fi
    for pid in "${pids[@]}"; do
        wait "$pid"
    done
    exit 0
fi

[ "$action" = test ] || { echo "unknown action: $action" >&2; exit 2; }
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
# The source tree must not shadow the installed package, neither here nor in
# the Python child processes the tests start (they inherit the variable).
export PYTHONSAFEPATH=1
# tests/test_builds.py checks that the modules came from here.
export TARNIX_EXPECT_MODULES_IN=$site/tarnix
if [ "$mode" = asan ]; then
    # The interpreter itself is not instrumented, so the runtime must be
    # preloaded, and the C++ runtime with it: the sanitizer resolves the real
    # __cxa_throw when it starts, and the interpreter does not link that
    # library, so the modules' first C++ exception would otherwise abort.
    # Child processes that are not Python must not inherit either:
    # tests/sanitizer_env.py strips what TARNIX_SANITIZER_PRELOAD names.
    # Daemon threads ended at exit unwind with pthread_exit: the third
    # library clears their dying stacks' poison first (tools/asan_thread_exit.cpp).
    export LD_PRELOAD=$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so):$venv/asan_thread_exit.so
    export TARNIX_SANITIZER_PRELOAD=$LD_PRELOAD
    # Leak detection stays off: the interpreter keeps much alive until exit.
    export ASAN_OPTIONS=detect_leaks=0
    # Every object from malloc, so that a read past the end of one (a field
    # of the wrong struct type) is caught, not hidden inside a pymalloc pool.
    export PYTHONMALLOC=malloc
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
fi
# Output is captured at the level of sys.stdout and sys.stderr only: a
# sanitizer report goes to file descriptor 2 and must reach the terminal even
# when it ends the process in the middle of a test.
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys "$@"
