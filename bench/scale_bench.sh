#!/usr/bin/env bash
# Costs that must grow no faster than the file (Release build; files of
# bench/gen_big.py):
#  - private binding: the lister on 80,000 private LO elements in 400
#    groups of one creator, against dcmtk's dcmdump on the same file, and
#    on ten times the elements; goals: tagdump no slower than dcmdump, and
#    ten times the elements in no more than twelve times the time;
#  - elements out of order: one element (7FE1,0010), then 100,000 LO
#    elements of groups 1000 upward, each below it in tag order (2.4 MB),
#    and 800,000 of them: the lister against dcmdump, the converter to
#    explicit VR little endian (tagrecoded -doe) against dcmconv +te;
#    goals: tagdump no slower than dcmdump, and eight times the elements
#    in no more than ten times the time (the sort by tag that every
#    listing makes grows a little faster than the file);
#  - item binding: peak resident memory of the verifier and the browser on
#    a Content Sequence of 100,000 items (4.4 MB); goal: under 256 MiB.
#
# usage: bench/scale_bench.sh [build-dir]   (default: build-release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
data=${BENCH_DATA:-/tmp/quenor-scale-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUENOR_TESTS=OFF >/dev/null
cmake --build "$build" -j4 --target tagdump tagrecoded tagauditd tagwalkd >/dev/null

mkdir -p "$data"
make_file() { # name writer [argument]
    [ -f "$data/$1" ] && return
    python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import gen_big
getattr(gen_big, sys.argv[2])(sys.argv[3], *map(int, sys.argv[4:]))' \
        "$root/bench" "$2" "$data/$1" "${@:3}"
}
make_file private_80k.dcm write_private_groups 80000
make_file private_800k.dcm write_private_groups 800000
make_file long_sequence.dcm write_long_sequence
make_file out_of_order_100k.dcm write_out_of_order 100000
make_file out_of_order_800k.dcm write_out_of_order 800000

export QUENOR_DEF_PATH=$root/defs
bin=$build/bin

# "seconds peak-KiB": the best wall time (to the millisecond) of five
# plain runs, then the peak memory of one more under /usr/bin/time;
# standard input from $input (default: none)
measure() {
    local best="" t0 t1 secs out
    for _ in 1 2 3 4 5; do
        t0=$(date +%s%N)
        "$@" <"${input:-/dev/null}" >/dev/null 2>&1 || true
        t1=$(date +%s%N)
        secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.3f", (b - a) / 1e9}')
        if [ -z "$best" ] || awk -v a="$secs" -v b="$best" 'BEGIN{exit !(a<b)}'; then
            best=$secs
        fi
    done
    out=$(mktemp)
    /usr/bin/time -o "$out" -f "%M" "$@" <"${input:-/dev/null}" >/dev/null 2>&1 || true
    echo "$best $(tail -1 "$out")"
    rm -f "$out"
}
verdict() { awk "BEGIN{ print ($1) ? \"met\" : \"MISSED\" }"; }

read -r t80 m80 <<<"$(measure "$bin/tagdump" -i "$data/private_80k.dcm")"
read -r d80 dm80 <<<"$(measure dcmdump "$data/private_80k.dcm")"
read -r t800 m800 <<<"$(measure "$bin/tagdump" -i "$data/private_800k.dcm")"
printf "private   80,000: tagdump %6.3fs %7d KiB | dcmdump %6.3fs %7d KiB | tagdump/dcmdump %s (goal <= 1: %s)\n" \
    "$t80" "$m80" "$d80" "$dm80" "$(awk -v a="$t80" -v b="$d80" 'BEGIN{printf "%.2f", a / b}')" \
    "$(verdict "$t80 <= $d80")"
printf "private  800,000: tagdump %6.3fs %7d KiB | time 800k/80k %s (goal <= 12: %s)\n" \
    "$t800" "$m800" "$(awk -v a="$t800" -v b="$t80" 'BEGIN{printf "%.1f", a / b}')" \
    "$(verdict "$t800 <= 12 * $t80")"

ooo=$data/out_of_order_100k.dcm
converted=$(mktemp)
read -r lo mlo <<<"$(measure "$bin/tagdump" -i "$ooo")"
read -r dd mdd <<<"$(measure dcmdump "$ooo")"
read -r rc mrc <<<"$(measure "$bin/tagrecoded" -i "$ooo" -o "$converted" -doe)"
read -r cv mcv <<<"$(measure dcmconv +te "$ooo" "$converted")"
read -r lo8 mlo8 <<<"$(measure "$bin/tagdump" -i "$data/out_of_order_800k.dcm")"
rm -f "$converted"
printf "out of order 100,000: tagdump %6.3fs %7d KiB | dcmdump %6.3fs %7d KiB | tagdump/dcmdump %s (goal <= 1: %s)\n" \
    "$lo" "$mlo" "$dd" "$mdd" "$(awk -v a="$lo" -v b="$dd" 'BEGIN{printf "%.2f", a / b}')" \
    "$(verdict "$lo <= $dd")"
printf "out of order 100,000: tagrecoded -doe %6.3fs %7d KiB | dcmconv +te %6.3fs %7d KiB\n" \
    "$rc" "$mrc" "$cv" "$mcv"
printf "out of order 800,000: tagdump %6.3fs %7d KiB | time 800k/100k %s (goal <= 10: %s)\n" \
    "$lo8" "$mlo8" "$(awk -v a="$lo8" -v b="$lo" 'BEGIN{printf "%.1f", a / b}')" \
    "$(verdict "$lo8 <= 10 * $lo")"

seq=$data/long_sequence.dcm
read -r ta ma <<<"$(measure "$bin/tagauditd" -i "$seq" -v1)"
walk=$(mktemp)
echo "q!" >"$walk"
read -r tw mw <<<"$(input=$walk measure "$bin/tagwalkd" -i "$seq")"
rm -f "$walk"
read -r tl ml <<<"$(measure "$bin/tagdump" -i "$seq")"
limit=$((256 * 1024))
printf "sequence 100,000 items: tagauditd %6.3fs %7d KiB (goal < %d KiB: %s) | tagwalkd %6.3fs %7d KiB (%s) | tagdump %6.3fs %7d KiB\n" \
    "$ta" "$ma" "$limit" "$(verdict "$ma < $limit")" "$tw" "$mw" "$(verdict "$mw < $limit")" "$tl" "$ml"

# Paging with "ni" through every item of the Content Sequence (module 11,
# row 7 of its second page, item 1, then 100,000 steps back round to it):
# the browser lets go of an item's definitions when it leaves the item;
# goal: peak under 256 MiB.
pages=$(mktemp)
{
    printf '11\nn\n7\n1\n'
    awk 'BEGIN { for (i = 0; i < 100000; i++) print "ni" }'
    echo "q!"
} >"$pages"
shown=$("$bin/tagwalkd" -i "$seq" <"$pages" | grep -c "Content Sequence / Item ")
read -r tp mp <<<"$(input=$pages measure "$bin/tagwalkd" -i "$seq")"
rm -f "$pages"
printf "paging 100,000 items: tagwalkd %6.3fs %7d KiB, %d item tables shown (goal < %d KiB: %s)\n" \
    "$tp" "$mp" "$shown" "$limit" "$(verdict "$mp < $limit && $shown == 100001")"
