#!/usr/bin/env bash
# Regenerates the definition files into a temporary folder and fails, with
# a diff, when they differ from the committed defs/ or do not parse the way
# the loaders read them (item paths of c_tab.def included).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

files=(tag_tab.def tag2_tab.def prv_tab.def prv2_tab.def
       uid_tab.def uid2_tab.def ab_tab.def ab2_tab.def c_tab.def c2_tab.def)
python3 "$root/tools/gendefs.py" --out "$tmp" "$@" >/dev/null
status=0
for f in "${files[@]}"; do
    if ! diff -u "$root/defs/$f" "$tmp/$f"; then
        echo "defs/$f differs from the generator's output; rerun tools/gendefs.py" >&2
        status=1
    fi
done
python3 "$root/tools/gendefs.py" --check "${files[@]/#/$root/defs/}" >/dev/null || status=1
exit $status
