#!/usr/bin/env bash
# Builds both modules for Debian's debug interpreter (python3.11-dbg, suffix
# .cpython-311d) into a scratch tree and runs tools/leakcheck.py there, where
# sys.gettotalrefcount() counts every reference.  The debug interpreter also
# loads release builds, which would hide leaks, so the build goes apart from
# the source tree and the suffix is checked.
set -euo pipefail
cd "$(dirname "$0")/.."
python=/usr/bin/python3.11-dbg
out=$(realpath -m "${LEAK_TREE:-build/debug}")
include=$($python -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
suffix=$($python -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
case "$suffix" in *311d*) ;; *) echo "not a debug interpreter: $suffix" >&2; exit 1 ;; esac

rm -rf "$out"
mkdir -p "$out"
find tarnix -name '*.py' -exec cp --parents {} "$out" \;
for module in tarnix/auth/storage/login_vault tarnix/seller_sprite/scraping/feed_catcher; do
    g++ -std=c++20 -Wall -Wextra -O0 -g -fPIC -shared -fvisibility=hidden -I frame -I "$include" \
        "$module.cpp" frame/*.cpp -o "$out/$module$suffix" &
done
wait
export PYTHONPATH="$out"
$python -P -c 'import tarnix.auth.storage.login_vault as m, tarnix.seller_sprite.scraping.feed_catcher as f; assert "311d" in m.__file__ and "311d" in f.__file__'
$python -P tools/leakcheck.py "${1:-300}"
