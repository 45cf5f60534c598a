"""Independent check, with pydicom, of a file saved after API calls.

usage: caller_oracle.py ORIGINAL SAVED EXPECTED

EXPECTED is JSON: {"values": {"gggg,eeee": TEXT, ...}, "same": ["gggg,eeee", ...]}.
"values" names top-level elements of SAVED and the text of their value
(trailing blanks of text values dropped, as pydicom gives them); "same"
names top-level elements that SAVED must hold with the value ORIGINAL has
(pixel data as its bytes, a sequence item by item).  A list "gone" names
top-level elements that SAVED must not hold.

Exits 0 when pydicom reads the whole of SAVED and every element is in
place; prints every difference otherwise.
"""
import json
import sys

import pydicom
from pydicom.tag import Tag


def tag_of(text):
    return Tag(int(text[:4], 16), int(text[5:], 16))


def walk(ds):
    """Touches every element at every depth, so that nothing stays unparsed."""
    for el in ds:
        if el.VR == "SQ":
            for item in el.value:
                walk(item)


def main():
    orig = pydicom.dcmread(sys.argv[1], force=True)  # a built input may be a bare data set
    saved = pydicom.dcmread(sys.argv[2])
    walk(saved)
    expected = json.loads(sys.argv[3])
    errors = []
    for path, want in expected.get("values", {}).items():
        tag = tag_of(path)
        if tag not in saved:
            errors.append("%s: absent at the top level" % path)
        elif str(saved[tag].value) != want:
            errors.append("%s: %r, not %r" % (path, str(saved[tag].value)[:80], want))
    for path in expected.get("same", []):
        tag = tag_of(path)
        if tag not in saved:
            errors.append("%s: absent at the top level" % path)
        elif saved[tag].value != orig[tag].value:
            errors.append("%s: differs from the original" % path)
    errors += ["%s: saved" % path for path in expected.get("gone", []) if tag_of(path) in saved]
    for e in errors:
        print(e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
