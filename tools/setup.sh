#!/usr/bin/env bash
# setup.sh -- installs the Debian packages that building, testing and
# fuzzing use and that this machine lacks: the compilers and build tools,
# GoogleTest and libpng, and the independent DICOM readers the tests take
# as oracles (dcmtk, pydicom, dicom3tools) with tmux for the browser's
# tests.  Does nothing when every package is there; otherwise updates the
# package lists once and installs only the missing ones, through sudo when
# not run as root.
set -euo pipefail

packages=(cmake g++ make pkg-config libgtest-dev libpng-dev python3 dcmtk
          python3-pydicom dicom3tools clang libclang-rt-14-dev tmux)

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "setup.sh: not a Debian system; install these yourself: ${packages[*]}" >&2
    exit 0
fi

missing=()
for p in "${packages[@]}"; do
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" = installed ] || missing+=("$p")
done
((${#missing[@]})) || exit 0

echo "setup.sh: installing ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
"${as_root[@]}" apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
