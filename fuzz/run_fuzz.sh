#!/bin/sh
# run_fuzz.sh [seconds] -- builds the reader's fuzz target with clang
# (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) into a scratch
# directory and runs it for a bounded time, seeded with the shared samples.
# Crash inputs are left in the scratch directory, which is kept on failure.
set -eu
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
samples=${QUENOR_SAMPLES_DIR:-$root/../shared/samples}
work=$(mktemp -d "${TMPDIR:-/tmp}/fuzz_import.XXXXXX")

echo "building in $work"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/support" -I"$root/dicom" -DQUENOR_DEFS_DIR="\"$root/defs\"" \
    "$root/fuzz/fuzz_import.cpp" "$root"/support/*.cpp "$root"/dicom/*.cpp -lpng \
    -o "$work/fuzz_import"

mkdir "$work/corpus"
if [ -d "$samples" ]; then
    cp "$samples"/*.dcm "$work/corpus/" 2>/dev/null || true
fi

status=0
(cd "$work" && ./fuzz_import -max_total_time="$seconds" -max_len=65536 \
    -artifact_prefix="$work/" corpus) || status=$?
if [ "$status" -eq 0 ]; then
    rm -rf "$work"
    echo "fuzzing ran clean for $seconds s"
else
    echo "fuzzing failed (status $status); inputs kept in $work" >&2
fi
exit "$status"
