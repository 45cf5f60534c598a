#!/usr/bin/env bash
# readme_command.sh N -- prints the Nth command of README.md: the indented
# lines above its first "## " heading.  CI runs these very lines, so the
# README cannot drift from what is checked.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmd=$(awk '/^## /{exit} /^    /{sub(/^    /, ""); print}' "$root/README.md" | sed -n "${1}p")
if [ -z "$cmd" ]; then
    echo "readme_command.sh: README.md has no command $1" >&2
    exit 1
fi
printf '%s\n' "$cmd"
