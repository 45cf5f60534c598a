#!/usr/bin/env python3
"""Writes expected_tags.txt: the tags of every shared sample, in order, as an
independent reader (dcmtk's dcmdump) finds them.

Our reader keeps sequences and items of defined length as raw bytes and
encapsulated pixel data behind a descriptor, so their contents (and the
delimiter ending the pixel items) are left out here; the delimiters dcmdump
invents for re-encoding are left out too.
Files dcmdump cannot read to the end are listed with the tags it read before
it stopped, under a "partial" heading (the test then compares only that
prefix).

usage: make_expected_tags.py SAMPLES_DIR > expected_tags.txt
"""
import os
import re
import subprocess
import sys

LINE = re.compile(r"^( *)\(([0-9a-f]{4}),([0-9a-f]{4})\) (\S\S) (.*)$")


def tags_of(path):
    run = subprocess.run(["dcmdump", "-q", "+uc", path], capture_output=True)
    text = run.stdout.decode("latin-1")
    tags = []
    skip_below = None  # indentation under which everything is hidden
    pixel_sequence_open = False
    for line in text.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        indent, group, elem, vr, rest = m.groups()
        depth = len(indent) // 2
        if skip_below is not None and depth > skip_below:
            continue
        skip_below = None
        if "for re-encod" in rest:
            continue
        if pixel_sequence_open and (group, elem) == ("fffe", "e0dd"):
            pixel_sequence_open = False  # ends the encapsulated pixel data
            continue
        tags.append("%s %s" % (group.upper(), elem.upper()))
        pixel_sequence_open = rest.startswith("(PixelSequence")
        if "explicit length" in rest or pixel_sequence_open:
            skip_below = depth
    return tags, run.returncode == 0


def main():
    samples = sys.argv[1]
    for name in sorted(os.listdir(samples)):
        if not name.endswith(".dcm"):
            continue
        tags, complete = tags_of(os.path.join(samples, name))
        print("== %s%s" % (name, "" if complete else " partial"))
        for t in tags:
            print(t)


if __name__ == "__main__":
    main()
