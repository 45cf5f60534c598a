#!/usr/bin/env bash
# Regenerates the definition files into a temporary folder and fails, with
# a diff, when they differ from the committed defs/ or do not parse.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

python3 "$root/tools/gendefs.py" --out "$tmp" "$@" >/dev/null
status=0
for f in tag_tab.def prv_tab.def tag2_tab.def prv2_tab.def; do
    if ! diff -u "$root/defs/$f" "$tmp/$f"; then
        echo "defs/$f differs from the generator's output; rerun tools/gendefs.py" >&2
        status=1
    fi
done
python3 "$root/tools/gendefs.py" --check "$root"/defs/{tag_tab,prv_tab,tag2_tab,prv2_tab}.def >/dev/null || status=1
exit $status
