#!/usr/bin/env python3
"""Writes, for every sample DICOM file, what an independent reader (dcmtk's
dcmdump) says about it, in the shape our reader gives it, to
tests/dicom/samples_expected/<file>.txt.  Run once; the output is kept in
the repository and compared by samples_test.cpp.

One line per element, in file order, tab-separated:
    depth  tag(8 hex digits)  length(decimal, or "u" for undefined)  VR  [value]

Shaped like our reader's tree:
- sequences and items of defined length are one element holding raw bytes,
  so their children are not listed;
- the delimiters dcmdump adds only for re-encoding are not in the file and
  not listed; delimiters read from the file are;
- delimiters read from the file are the last child of the item or sequence
  they close, one level deeper than dcmdump shows them;
- the fragments of encapsulated pixel data and their delimiter stay in the
  file, not listed;
- a file dcmdump cannot read has the one line "unreadable";
- a file with an element of odd length (which dcmdump shows padded) starts
  with the line "odd<TAB>tag": our reader stops with an error there;
- a value is given only for text VRs and only when dcmdump prints it plainly
  (no quoted control or non-ASCII characters); trailing blanks and NULs are
  not part of it.

Usage: make_samples_expected.py [samples_dir] [out_dir]
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SAMPLES = os.path.normpath(os.path.join(HERE, "..", "..", "..", "shared", "samples"))
TEXT_VRS = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT", "PN", "SH", "ST", "TM",
            "UI", "UT", "UC", "UR"}
LINE = re.compile(r"^( *)\(([0-9a-f]{4}),([0-9a-f]{4})\) (\S\S) (.*?)\s+# *(u/l|\d+),")


ODD = re.compile(r"Length of element \(([0-9a-f]{4}),([0-9a-f]{4})\) is odd")


def dump(path):
    """dcmdump's lines and warnings, or None when it cannot read the file."""
    run = subprocess.run(["dcmdump", "+L", "-Un", "+Qn", path], capture_output=True, text=True)
    return (run.stdout.splitlines(), run.stderr) if run.returncode == 0 else None


def facts(path):
    dumped = dump(path)
    if dumped is None:
        return ["unreadable"]  # the file is damaged: our reader must refuse it too
    lines, warnings = dumped
    rows = []
    odd = ODD.search(warnings)
    if odd:  # dcmdump pads it and goes on; our reader refuses the file there
        rows.append("odd\t" + odd.group(1) + odd.group(2))
    skip_deeper_than = None  # depth whose children are not in our tree
    in_pixel_sequence = False
    for line in lines:
        m = LINE.match(line)
        if not m:
            continue
        indent, group, element, vr, shown, length = m.groups()
        depth = len(indent) // 2
        if skip_deeper_than is not None:
            if depth > skip_deeper_than:
                continue
            skip_deeper_than = None
        if "for re-encod" in shown:
            continue
        tag = group + element
        if in_pixel_sequence:
            in_pixel_sequence = False
            if tag == "fffee0dd":
                continue
        if tag in ("fffee00d", "fffee0dd"):
            depth += 1
        value = ""
        if vr in TEXT_VRS and shown.startswith("[") and shown.endswith("]") and "&" not in shown:
            value = shown[1:-1].rstrip(" \0")
        rows.append("\t".join([str(depth), tag, "u" if length == "u/l" else length, vr, value])
                    .rstrip("\t"))
        if "explicit length" in shown or "PixelSequence" in shown:
            skip_deeper_than = depth
        in_pixel_sequence = "PixelSequence" in shown
    return rows


def main():
    samples = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_SAMPLES
    out_dir = sys.argv[2] if len(sys.argv) > 2 else os.path.join(HERE, "samples_expected")
    os.makedirs(out_dir, exist_ok=True)
    for name in sorted(os.listdir(samples)):
        if not name.endswith(".dcm"):
            continue
        rows = facts(os.path.join(samples, name))
        with open(os.path.join(out_dir, name[:-4] + ".txt"), "w") as f:
            f.write("# %s as dcmdump reads it: depth, tag, length, VR, text value\n" % name)
            f.write("\n".join(rows) + "\n")
        print("%s: %d elements" % (name, len(rows)))


if __name__ == "__main__":
    main()
