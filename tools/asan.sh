#!/usr/bin/env bash
# Builds both modules with AddressSanitizer into a scratch tree (never into the
# main .venv or the source tree) and runs the test suite against that build.
set -euo pipefail
cd "$(dirname "$0")/.."
python=/usr/bin/python3.11
out=$(realpath -m "${ASAN_TREE:-build/asan}")
include=$($python -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
suffix=$($python -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')

rm -rf "$out"
mkdir -p "$out"
# The Python side of the package, then each module compiled beside it.
find tarnix -name '*.py' -exec cp --parents {} "$out" \;
for module in tarnix/auth/storage/login_vault tarnix/seller_sprite/scraping/feed_catcher; do
    g++ -std=c++20 -Wall -Wextra -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined \
        -fPIC -shared -fvisibility=hidden -I frame -I "$include" \
        "$module.cpp" frame/*.cpp -o "$out/$module$suffix" &
done
wait

# The interpreter itself is not instrumented: preload the runtime, and leave
# leak detection off (the interpreter keeps much alive until exit).
export LD_PRELOAD=$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
PYTHONPATH="$out" $python -m pytest -q -p no:cacheprovider "$@"
