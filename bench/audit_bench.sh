#!/usr/bin/env bash
# Times the verifier (Release build), full and quick ("-q"), against
# dicom3tools' dciodvfy on the CT sample and on the file of over 100,000
# elements of bench/gen_big.py; prints wall time, peak resident memory and
# the ratio dciodvfy/tagaudit (10 or more: ten times faster).
#
# usage: bench/audit_bench.sh [build-dir]   (default: build-release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
data=${BENCH_DATA:-/tmp/quenor-audit-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUENOR_TESTS=OFF >/dev/null
cmake --build "$build" -j4 --target tagauditd >/dev/null

mkdir -p "$data"
if [ ! -f "$data/many_elements.dcm" ]; then
    python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import gen_big; gen_big.write_many_elements(sys.argv[2])' \
        "$root/bench" "$data/many_elements.dcm"
fi

export QUENOR_DEF_PATH=$root/defs
tagaudit=$build/bin/tagauditd

# best of 5: "seconds peak-KiB" (wall time in ms resolution around the run)
measure() {
    local best="" t0 t1 secs mem out
    out=$(mktemp)
    for _ in 1 2 3 4 5; do
        t0=$(date +%s%N)
        /usr/bin/time -o "$out" -f "%M" "$@" >/dev/null 2>&1 || true
        t1=$(date +%s%N)
        secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.3f", (b - a) / 1e9}')
        mem=$(tail -1 "$out")
        if [ -z "$best" ] || awk -v a="$secs" -v b="${best%% *}" 'BEGIN{exit !(a<b)}'; then
            best="$secs $mem"
        fi
    done
    rm -f "$out"
    echo "$best"
}

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN{ printf "%.1f", b / a }'
}

for f in "$root/../shared/samples/CT_small.dcm" "$data/many_elements.dcm"; do
    full=$(measure "$tagaudit" -i "$f" -v1)
    quick=$(measure "$tagaudit" -i "$f" -q -v1)
    theirs=$(measure dciodvfy "$f")
    read -r t1 m1 <<<"$full"
    read -r t2 m2 <<<"$quick"
    read -r t3 m3 <<<"$theirs"
    printf "%-18s tagaudit %6.3fs %7d KiB | -q %6.3fs %7d KiB | dciodvfy %6.3fs %7d KiB | dciodvfy/tagaudit %s, /-q %s\n" \
        "$(basename "$f")" "$t1" "$m1" "$t2" "$m2" "$t3" "$m3" "$(ratio "$t1" "$t3")" "$(ratio "$t2" "$t3")"
done
