"""Independent check of one converted file with pydicom.

usage: values_oracle.py FILE EXPECTED

EXPECTED is JSON: {"syntax": "i"|"e"|"b"|"c", "values": [[PATH, VALUE, VR], ...]}.
PATH names an element at any depth: tags "gggg,eeee" and item indexes,
separated by "/", e.g. "0040,0260/0/0008,0100".  A path ending in "#array"
means the decoded pixel values (skipped for PNG-encoded pixel data, which
pydicom does not decode).  VALUE is the text the element's value must give
(see norm; "*" for any value); VR, when not null, the two letters the file itself holds for
the element (checked in the explicit syntaxes only).

Exits 0 when pydicom reads the file and every value is in place; prints
every difference otherwise.
"""
import json
import sys

import pydicom
from pydicom.dataelem import RawDataElement
from pydicom.multival import MultiValue
from pydicom.tag import Tag


def norm(value):
    if isinstance(value, (bytes, bytearray)):
        return value.hex()
    if isinstance(value, (list, MultiValue)):
        return "\\".join(norm(v) for v in value)
    if isinstance(value, float):
        return repr(value)
    return str(value)


def tag_of(text):
    return Tag(int(text[:4], 16), int(text[5:], 16))


def file_vr(node, tag):
    raw = node._dict.get(tag)
    if raw is None:
        return None
    return raw.VR if isinstance(raw, RawDataElement) else raw.VR


def check(ds, path, want, want_vr, explicit, png):
    array = path.endswith("#array")
    parts = path.replace("#array", "").split("/")
    node = ds
    for i, part in enumerate(parts):
        if "," not in part:
            node = node[int(part)]
            continue
        tag = tag_of(part)
        if tag not in node:
            return "%s: absent" % path
        if i == len(parts) - 1:
            if want_vr and explicit:
                got_vr = file_vr(node, tag)
                if got_vr != want_vr:
                    return "%s: VR %s in the file, not %s" % (path, got_vr, want_vr)
            if array:
                if png:
                    return None
                got = norm([int(v) for v in node.pixel_array.flatten()])
            else:
                got = norm(node[tag].value)
            if want != "*" and got != want:
                return "%s: %r, not %r" % (path, got[:200], want[:200])
            return None
        node = node[tag].value
    return "%s: no element named" % path


def main():
    expected = json.loads(sys.argv[2])
    ds = pydicom.dcmread(sys.argv[1])
    explicit = expected["syntax"] != "i"
    png = expected["syntax"] == "c"
    errors = [e for e in (check(ds, p, v, vr, explicit, png) for p, v, vr in expected["values"]) if e]
    for e in errors:
        print(e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
