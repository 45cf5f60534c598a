#!/usr/bin/env bash
# Times the lister (Release build) against dcmtk's dcmdump on a file of
# over 100,000 elements and on a 200 MiB image (bench/gen_big.py); prints
# wall time, the ratio tagdump/dcmdump (1.0 or less: at least as fast)
# and the peak resident memory of each.
#
# usage: bench/list_bench.sh [build-dir]   (default: build-release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
data=${BENCH_DATA:-/tmp/quenor-list-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUENOR_TESTS=OFF >/dev/null
cmake --build "$build" -j8 --target tagdump >/dev/null

if [ ! -f "$data/many_elements.dcm" ] || [ ! -f "$data/big_image.dcm" ]; then
    python3 "$root/bench/gen_big.py" "$data"
fi

export QUENOR_DEF_PATH=$root/defs
tagdump=$build/bin/tagdump

# best of 3: "seconds peak-KiB"
measure() {
    local best="" line out
    out=$(mktemp)
    for _ in 1 2 3; do
        /usr/bin/time -o "$out" -f "%e %M" "$@" >/dev/null 2>&1 || true
        line=$(tail -1 "$out")
        if [ -z "$best" ] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN{exit !(a<b)}'; then
            best=$line
        fi
    done
    rm -f "$out"
    echo "$best"
}

for f in many_elements.dcm big_image.dcm; do
    ours=$(measure "$tagdump" -i "$data/$f")
    theirs=$(measure dcmdump "$data/$f")
    read -r t1 m1 <<<"$ours"
    read -r t2 m2 <<<"$theirs"
    ratio=$(awk -v a="$t1" -v b="$t2" 'BEGIN{ if (b > 0) printf "%.2f", a / b; else print "n/a" }')
    printf "%-18s tagdump %6.2fs %7d KiB | dcmdump %6.2fs %7d KiB | tagdump/dcmdump time %s\n" \
        "$f" "$t1" "$m1" "$t2" "$m2" "$ratio"
done
