#!/bin/sh
# convert_bench.sh [DATA_DIR] -- times the converter on generated 200+ MiB
# multi-frame 16-bit images: little to big endian and little to little
# endian beside `cp` of the same file and dcmtk's dcmconv; then native to
# PNG and back on the noisy image (a smooth image plus 4 bits of noise per
# sample, which a compressor cannot flatter), on every core and on one
# thread, beside dcmtk's dcmcjpls (JPEG-LS lossless) and dcmcrle (RLE) and
# their way back.  Every command with its peak memory (/usr/bin/time -v) and
# output size; the machine's load before and after the PNG part.  Builds
# tagrecoded (Release) in build-convert-bench/; generates the images into
# DATA_DIR (default: a scratch directory, removed afterwards).
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
[ -f "$image" ] || python3 "$root/bench/gen_big.py" "$data" big_image.dcm >/dev/null
noisy=$data/noisy_image.dcm
[ -f "$noisy" ] || python3 "$root/bench/gen_big.py" "$data" noisy_image.dcm >/dev/null
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
    size=$( [ -f "$target" ] && du -k --apparent-size "$target" | cut -f1 || echo -)
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

echo "noisy input: $(du -m "$noisy" | cut -f1) MiB; load: $(uptime | sed 's/.*load/load/')"
sync
run "tagrecode LE -> LE (-doe)" "$out/noisy_le.dcm" "$recode" -i "$noisy" -o "$out/noisy_le.dcm" -doe
run "tagrecode native -> PNG (-doc)" "$out/png.dcm" "$recode" -i "$noisy" -o "$out/png.dcm" -doc
run "  the same on one thread" "$out/png1.dcm" env QUENOR_PNG_THREADS=1 \
    "$recode" -i "$noisy" -o "$out/png1.dcm" -doc
run "tagrecode PNG -> native (-doe)" "$out/back.dcm" "$recode" -i "$out/png.dcm" -o "$out/back.dcm" -doe
run "  the same on one thread" "$out/back1.dcm" env QUENOR_PNG_THREADS=1 \
    "$recode" -i "$out/png.dcm" -o "$out/back1.dcm" -doe
run "dcmcjpls JPEG-LS lossless" "$out/jls.dcm" dcmcjpls "$noisy" "$out/jls.dcm"
run "dcmdjpls JPEG-LS -> native" "$out/jls_back.dcm" dcmdjpls "$out/jls.dcm" "$out/jls_back.dcm"
run "dcmcrle RLE lossless" "$out/rle.dcm" dcmcrle "$noisy" "$out/rle.dcm"
run "dcmdrle RLE -> native" "$out/rle_back.dcm" dcmdrle "$out/rle.dcm" "$out/rle_back.dcm"
echo "load: $(uptime | sed 's/.*load/load/')"
cmp -s "$out/png.dcm" "$out/png1.dcm" && echo "PNG on every core and on one thread: identical files" ||
    echo "PNG on every core and on one thread: FILES DIFFER"
cmp -s "$out/back.dcm" "$out/back1.dcm" && echo "PNG decoded on every core and on one thread: identical files" ||
    echo "PNG decoded on every core and on one thread: FILES DIFFER"
cmp -s "$out/noisy_le.dcm" "$out/back.dcm" && echo "PNG round trip: identical file" ||
    echo "PNG round trip: files differ (group lengths or meta may)"
