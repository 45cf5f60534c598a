#!/bin/sh
# run_fuzz.sh [seconds] [target ...] -- builds each fuzz target (fuzz/<target>.cpp,
# default: every fuzz/fuzz_*.cpp) with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) into a scratch directory and runs them side by
# side for a bounded time.  A target's corpus is seeded with the shared
# samples and with fuzz/seeds/<target>/ when that folder exists; the sources
# a target needs besides the two libraries are named in the target itself.  Crash
# inputs are left in the scratch directory, which is kept on failure.
set -eu
seconds=${1:-60}
[ $# -gt 0 ] && shift
root=$(cd "$(dirname "$0")/.." && pwd)
samples=${QUENOR_SAMPLES_DIR:-$root/../shared/samples}
work=$(mktemp -d "${TMPDIR:-/tmp}/quenor_fuzz.XXXXXX")
if [ $# -eq 0 ]; then
    set -- $(cd "$root/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//')
fi

echo "building $* in $work"
for t in "$@"; do
    # A target names the program sources it needs beyond the two libraries
    # in a line "// fuzz-sources: editor/profile.cpp ...".
    extra=$(sed -n 's|^// fuzz-sources:||p' "$root/fuzz/$t.cpp" | tr ' ' '\n' | sed '/^$/d; s|^|'"$root"'/|' | tr '\n' ' ')
    clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
        -I"$root/support" -I"$root/dicom" -I"$root/app" -I"$root/editor" -I"$root/browser" -DQUENOR_DEFS_DIR="\"$root/defs\"" \
        "$root/fuzz/$t.cpp" $extra "$root"/support/*.cpp "$root"/dicom/*.cpp -lpng \
        -o "$work/$t" &
done
wait
for t in "$@"; do
    [ -x "$work/$t" ] || { echo "building $t failed" >&2; exit 1; }
    mkdir -p "$work/$t.corpus"
    if [ -d "$samples" ]; then
        cp "$samples"/*.dcm "$work/$t.corpus/" 2>/dev/null || true
    fi
    if [ -d "$root/fuzz/seeds/$t" ]; then
        cp "$root/fuzz/seeds/$t"/* "$work/$t.corpus/" 2>/dev/null || true
    fi
done

pids=""
for t in "$@"; do
    (cd "$work" && exec ./"$t" -max_total_time="$seconds" -max_len=65536 \
        -artifact_prefix="$work/$t-" "$t.corpus" >"$work/$t.log" 2>&1) &
    pids="$pids $!"
done
status=0
for p in $pids; do
    wait "$p" || status=1
done
for t in "$@"; do
    tail -n 2 "$work/$t.log" | sed "s/^/$t: /"
done
if [ "$status" -eq 0 ]; then
    rm -rf "$work"
    echo "fuzzing ran clean for $seconds s"
else
    echo "fuzzing failed; inputs and logs kept in $work" >&2
fi
exit "$status"
