#!/usr/bin/env bash
# Times the editor (Release build, static tagpatch) applying a 100-line
# profile to the CT sample and to the 200 MiB image of bench/gen_big.py,
# beside dcmtk's dcmodify making the same changes (the same edits as -i,
# -e options, in the same order, on a fresh copy of the input each run).
# Prints the best of 3 wall times, the ratio tagpatch/dcmodify (1.0 or
# less: at least as fast) and the peak resident memory of each, then
# checks each output with pydicom against the input: every edit made and
# every other element kept.  Then times profiles that select each item of
# a 100,000-item sequence in turn (see the last section).
#
# usage: bench/edit_bench.sh [build-dir]   (default: build-release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
data=${BENCH_DATA:-/tmp/quenor-list-bench}
work=$(mktemp -d "${TMPDIR:-/tmp}/edit_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUENOR_TESTS=OFF >/dev/null
cmake --build "$build" -j4 --target tagpatch >/dev/null
[ -f "$data/big_image.dcm" ] || python3 "$root/bench/gen_big.py" "$data" >/dev/null
export QUENOR_DEF_PATH=$root/defs
tagpatch=$build/bin/tagpatch

# One list of edits, written twice: as a profile and as dcmodify options.
# 86 text elements added, 4 of them emptied and 4 deleted again, and one
# new item of a sequence with two elements (5 lines); with the comment, 100.
python3 - "$root/defs/tag_tab.def" "$work/edit.prf" "$work/dcmodify.args" "$work/changes.txt" <<'EOF'
import re, sys
rows = re.findall(r'\{0x([0-9A-F]{4})([0-9A-F]{4}), "([^"]*)", "(LO|SH)"', open(sys.argv[1]).read())
tags = [(g, e) for g, e, name, vr in rows
        if g in ("0008", "0010", "0018", "0020") and "RETIRED" not in name.upper()][:86]
assert len(tags) == 86
profile = ["; 100 edits"]
args = []
for n, (g, e) in enumerate(tags):
    profile.append("a %s %s EDIT%d" % (g, e, n))
    args += ["-i", "(%s,%s)=EDIT%d" % (g, e, n)]
for g, e in tags[10:14]:
    profile.append("e %s %s" % (g, e))
    args += ["-i", "(%s,%s)=" % (g, e)]
for g, e in tags[20:24]:
    profile.append("d %s %s" % (g, e))
    args += ["-e", "(%s,%s)" % (g, e)]
profile += ["a 0008 1140", "s 0008 1140 -1", "a 0008 1150 1.2.840.10008.5.1.4.1.1.2",
            "a 0008 1155 1.2.3.4.5", "s"]
args += ["-i", "(0008,1140)[0].(0008,1150)=1.2.840.10008.5.1.4.1.1.2",
         "-i", "(0008,1140)[0].(0008,1155)=1.2.3.4.5"]
assert len(profile) == 100
changes = ["set %s%s 'EDIT%d'" % (g, e, n) for n, (g, e) in enumerate(tags)
           if not 10 <= n < 14 and not 20 <= n < 24]
changes += ["empty %s%s" % t for t in tags[10:14]] + ["gone %s%s" % t for t in tags[20:24]]
changes += ["items 00081140 1", "set 00081140[0].00081150 '1.2.840.10008.5.1.4.1.1.2'",
            "set 00081140[0].00081155 '1.2.3.4.5'"]
open(sys.argv[2], "w").write("\n".join(profile) + "\n")
open(sys.argv[3], "w").write("\n".join(args) + "\n")
open(sys.argv[4], "w").write("\n".join(changes) + "\n")
EOF
mapfile -t modify_args <"$work/dcmodify.args"

# best of 3: "seconds peak-KiB"; SETUP runs untimed before each run
measure() {
    local setup=$1 best="" line out start end
    shift
    out=$(mktemp)
    for _ in 1 2 3; do
        eval "$setup"
        start=$(date +%s%N)
        /usr/bin/time -o "$out" -f "%M" "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
        end=$(date +%s%N)
        line="$(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.3f", (b - a) / 1e9}') $(tail -1 "$out")"
        if [ -z "$best" ] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN{exit !(a<b)}'; then
            best=$line
        fi
    done
    rm -f "$out"
    echo "$best"
}

printf '%-14s %10s %10s %8s %14s %14s\n' input tagpatch dcmodify ratio "tagpatch KiB" "dcmodify KiB"
for input in "$root/../shared/samples/CT_small.dcm" "$data/big_image.dcm"; do
    name=$(basename "$input")
    ours=$(measure "rm -f '$work/ours.dcm'" "$tagpatch" -p "$work/edit.prf" -i "$input" -o "$work/ours.dcm")
    theirs=$(measure "cp '$input' '$work/theirs.dcm'" dcmodify -nb "${modify_args[@]}" "$work/theirs.dcm")
    ratio=$(awk -v a="${ours%% *}" -v b="${theirs%% *}" 'BEGIN{ if (b > 0) printf "%.2f", a/b; else print "-" }')
    printf '%-14s %9ss %9ss %8s %14s %14s\n' "$name" "${ours%% *}" "${theirs%% *}" "$ratio" \
        "${ours##* }" "${theirs##* }"
    for out in ours:tagpatch theirs:dcmodify; do
        if /usr/bin/python3 -W ignore "$root/tests/editor/edit_oracle.py" check "$input" \
            "$work/${out%%:*}.dcm" "$work/changes.txt" >"$work/verdict.txt"; then
            echo "  ${out#*:}: every edit made, everything else kept"
        else
            echo "  ${out#*:}: $(cat "$work/verdict.txt")"
        fi
    done
done

# Selecting every item of a long sequence in turn: each profile selects
# item k of the 100,000-item Content Sequence, sets one element in it and
# returns to the top level, for k = 1 to N (N = 0: reading and saving
# alone).  A select of the next item costs the same whatever its number, so
# the time grows with N by a constant amount per item (small beside reading
# and saving the file), not with N squared.  Each output is checked with
# pydicom: items 1 to N hold their text.
seq=$data/long_sequence.dcm
[ -f "$seq" ] || python3 "$root/bench/gen_big.py" "$data" long_sequence.dcm >/dev/null
printf '\n%-8s %10s %14s\n' items tagpatch "tagpatch KiB"
for n in 0 12500 25000 50000 100000; do
    awk -v n="$n" 'BEGIN { for (k = 1; k <= n; k++)
        printf "s 0040 a730 %d\na 0040 a160 ITEM%d\ns\n", k, k }' >"$work/items.prf"
    t=$(measure "rm -f '$work/items.dcm'" "$tagpatch" -p "$work/items.prf" -i "$seq" \
        -o "$work/items.dcm")
    printf '%-8s %9ss %14s\n' "$n" "${t%% *}" "${t##* }"
    /usr/bin/python3 -W ignore - "$work/items.dcm" "$n" <<'PY' || exit 1
import sys, pydicom
items = pydicom.dcmread(sys.argv[1])[0x0040A730].value
bad = [k for k in range(1, int(sys.argv[2]) + 1) if items[k - 1].get((0x0040, 0xA160)) is None
       or items[k - 1][0x0040A160].value != "ITEM%d" % k]
if bad:
    print("  items 1 to %s: wrong at %s" % (sys.argv[2], bad[:5]))
sys.exit(1 if bad else 0)
PY
done
echo "  every output: items 1 to N hold their text"
