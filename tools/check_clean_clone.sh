#!/usr/bin/env bash
# check_clean_clone.sh -- what a new user and a packager get.  Clones this
# repository's committed HEAD into a temporary folder with no ../shared
# beside it, runs the README's two commands there (set up and build, then
# the whole test suite), installs into a temporary prefix and uses only the
# install: the installed tagdumpd lists the bundled sample with the
# installed definition files, and a small C program built through
# pkg-config loads the installed dictionaries and prints a tag's name.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/quenor-clone.XXXXXX")"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
fail() { echo "check_clean_clone.sh: $*" >&2; exit 1; }
step() { echo "== clean clone: $*"; }

git clone -q "$src" "$work/proj"
cd "$work/proj"
[ ! -e ../shared ] || fail "../shared exists beside the clone"

for n in 1 2; do
    cmd="$(bash tools/readme_command.sh "$n")"
    step "$cmd"
    bash -c "$cmd"
done
QUENOR_DEF_PATH=defs build/bin/tagdump -i "$work/proj/examples/sample.dcm" >"$work/in-tree.txt"

step "cmake --install build --prefix $prefix"
cmake --install build --prefix "$prefix" >/dev/null
# From here on only the install is used.
mv build "$work/build.moved"

pc="$(find "$prefix" -name medcore.pc)"
[ -n "$pc" ] || fail "no medcore.pc installed"
export PKG_CONFIG_PATH="$(dirname "$pc")"
libdir="$(pkg-config --variable=libdir medcore)"
defsdir="$(pkg-config --variable=defsdir medcore)"

step "libraries, headers, programs and definition files in place"
version="$(pkg-config --modversion medcore)"
for lib in basekit medcore; do
    soname="$(readelf -d "$libdir/lib$lib.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')"
    [ "$soname" = "lib$lib.so.${version%%.*}" ] || fail "lib$lib.so has soname '$soname'"
    [ -L "$libdir/lib$lib.so" ] && [ -L "$libdir/$soname" ] && [ -f "$libdir/lib$lib.so.$version" ] ||
        fail "lib$lib.so lacks its version links"
done
for h in basekit.h medcore.h; do
    [ -n "$(find "$prefix/include" -name "$h")" ] || fail "$h not installed"
done
for p in "$work"/build.moved/bin/tag*; do
    [ -x "$prefix/bin/$(basename "$p")" ] || fail "program $(basename "$p") not installed"
done
for f in defs/*.def defs/*.uid; do
    [ -e "$f" ] || continue
    cmp -s "$f" "$defsdir/$(basename "$f")" || fail "definition file $f not installed"
done

step "the installed tagdumpd lists the sample with the installed definition files"
(cd "$work" && QUENOR_DEF_PATH="$defsdir" "$prefix/bin/tagdumpd" -i "$work/proj/examples/sample.dcm") \
    >"$work/installed.txt"
diff -u "$work/in-tree.txt" "$work/installed.txt" || fail "the installed tagdumpd lists otherwise"

step "a C program built with pkg-config --cflags --libs medcore"
cat >"$work/tagname.c" <<'C'
#include <stdio.h>
#include <medcore.h>
int main(void) {
    AppData app;
    char banner[64];
    const char *name = NULL;
    init_AppData(&app, "tagname", "1.0", banner);
    if (InitTagDef(&app, 0) != 0)
        return 1;
    getAttrName(&app, 0x00100010u, &name);
    printf("%s\n", name ? name : "(unknown)");
    DoneTagDef(&app);
    return 0;
}
C
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror "$work/tagname.c" $(pkg-config --cflags --libs medcore) \
    -Wl,-rpath,"$libdir" -o "$work/tagname"
name="$(QUENOR_DEF_PATH="$defsdir" "$work/tagname")"
[ "$name" = "Patient's Name" ] || fail "the C program printed '$name'"
echo "clean clone: built, tested, installed and used ($name)"
