#!/bin/sh
# convert_bench.sh [DATA_DIR] -- times the converter on a generated 200+ MiB
# multi-frame 16-bit image: little to big endian, little to little endian,
# native to PNG and back, each beside `cp` of the same file and dcmtk's
# dcmconv (and, for PNG, dcmcjpls JPEG-LS lossless) in the same run, with
# the peak memory of every command (/usr/bin/time -v) and the output sizes.
# Builds tagrecoded (Release) in build-convert-bench/; generates the image
# into DATA_DIR (default: a scratch directory, removed afterwards).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-convert-bench
data=${1:-}
cleanup=
if [ -z "$data" ]; then
    data=$(mktemp -d "${TMPDIR:-/tmp}/convert_bench.XXXXXX")
    cleanup=$data
fi
trap '[ -n "$cleanup" ] && rm -rf "$cleanup"' EXIT

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUENOR_TESTS=OFF >/dev/null
cmake --build "$build" -j8 --target tagrecoded >/dev/null
recode=$build/bin/tagrecoded
export QUENOR_DEF_PATH="$root/defs"

image=$data/big_image.dcm
[ -f "$image" ] || python3 "$root/bench/gen_big.py" "$data" >/dev/null
out=$data/out
mkdir -p "$out"

# run LABEL OUTPUT COMMAND...: one line with wall time, peak memory and
# the size of OUTPUT
run() {
    label=$1
    target=$2
    shift 2
    rm -f "$target"
    /usr/bin/time -v "$@" >/dev/null 2>"$data/time.txt"
    wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$data/time.txt")
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$data/time.txt")
    size=$( [ -f "$target" ] && du -k "$target" | cut -f1 || echo -)
    printf '%-34s %10s  %8s KiB peak  %8s KiB out\n' "$label" "$wall" "$rss" "$size"
}

echo "input: $(du -m "$image" | cut -f1) MiB, $(nproc) CPUs"
sync
run "cp" "$out/cp.dcm" cp "$image" "$out/cp.dcm"
run "cp --reflink=never" "$out/cp2.dcm" cp --reflink=never "$image" "$out/cp2.dcm"
# The converter syncs its output before it replaces the target; this is
# the copy that does the same.
run "dd conv=fsync (copy + sync)" "$out/dd.dcm" dd if="$image" of="$out/dd.dcm" bs=1M conv=fsync status=none
run "tagrecode LE -> BE (-dob)" "$out/be.dcm" "$recode" -i "$image" -o "$out/be.dcm" -dob
run "dcmconv LE -> BE (+tb)" "$out/dcmconv_be.dcm" dcmconv +tb "$image" "$out/dcmconv_be.dcm"
run "tagrecode LE -> LE (-doe)" "$out/le.dcm" "$recode" -i "$image" -o "$out/le.dcm" -doe
run "dcmconv LE -> LE (+te)" "$out/dcmconv_le.dcm" dcmconv +te "$image" "$out/dcmconv_le.dcm"
run "tagrecode BE -> LE (-doe)" "$out/be_le.dcm" "$recode" -i "$out/be.dcm" -o "$out/be_le.dcm" -doe
run "tagrecode native -> PNG (-doc)" "$out/png.dcm" "$recode" -i "$image" -o "$out/png.dcm" -doc
run "tagrecode PNG -> native (-doe)" "$out/back.dcm" "$recode" -i "$out/png.dcm" -o "$out/back.dcm" -doe
run "dcmcjpls JPEG-LS lossless" "$out/jls.dcm" dcmcjpls "$image" "$out/jls.dcm"
cmp -s "$out/le.dcm" "$out/back.dcm" && echo "PNG round trip: identical file" ||
    echo "PNG round trip: files differ (group lengths or meta may)"
