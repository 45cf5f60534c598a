#!/bin/sh
# read_bench.sh [DATA_DIR] -- times the DICOM file reader on two generated
# files (100,000+ elements in nested sequences; a 200+ MiB multi-frame
# image), reports the peak memory of reading the image, and times dcmtk's
# dcmdump on the same files as a yardstick.  Builds the library (Release)
# in build-bench/ when needed; generates the files into DATA_DIR (default: a
# scratch directory, removed afterwards) when they are absent.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
data=${1:-}
cleanup=
if [ -z "$data" ]; then
    data=$(mktemp -d "${TMPDIR:-/tmp}/read_bench.XXXXXX")
    cleanup=$data
fi
trap '[ -n "$cleanup" ] && rm -rf "$cleanup"' EXIT

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUENOR_TESTS=OFF >/dev/null
cmake --build "$build" -j8 --target medcore_static basekit_static >/dev/null
g++ -std=c++17 -O2 -I"$root/dicom" -I"$root/support" "$root/bench/read_bench.cpp" \
    "$build/lib/libmedcore_static.a" "$build/lib/libbasekit_static.a" -lpng -lz \
    -o "$build/read_bench"

many=$data/many_elements.dcm
image=$data/big_image.dcm
if [ ! -f "$many" ] || [ ! -f "$image" ]; then
    python3 "$root/bench/gen_big.py" "$data"
fi

echo "== reader"
"$build/read_bench" "$root/defs" "$many" 5
"$build/read_bench" "$root/defs" "$image" 5

echo "== peak memory reading $(du -m "$image" | cut -f1) MiB image"
/usr/bin/time -v "$build/read_bench" "$root/defs" "$image" 1 2>&1 >/dev/null |
    grep "Maximum resident set size"

echo "== dcmdump (yardstick)"
for f in "$many" "$image"; do
    start=$(date +%s.%N)
    dcmdump "$f" >/dev/null 2>&1
    end=$(date +%s.%N)
    echo "$f: $(echo "$end - $start" | bc) s"
done
