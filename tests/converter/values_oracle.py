"""Independent check of one converted file with pydicom.

usage: values_oracle.py FILE EXPECTED

EXPECTED is JSON: {"syntax": "i"|"e"|"b"|"c", "values": [[PATH, VALUE, VR, AS], ...]}.
PATH names an element at any depth: tags "gggg,eeee" and item indexes,
separated by "/", e.g. "0040,0260/0/0008,0100"; a path of group 0002 names
an element of the meta group.  A path ending in "#array" means the decoded
pixel values (skipped for PNG-encoded pixel data, which pydicom does not
decode).  VALUE is the text the element's value must give (see norm; "*"
for any value); VR, when not null, the two letters the file itself holds
for the element (checked in the explicit syntaxes only); AS, when not
null, the VR by which to decode a value that pydicom can only give as
bytes (a private element in an implicit VR file, or one labelled UN), or
only by the dictionary's VR (a value whose letters an implicit VR file lost).
VALUE "(absent)" says that the file holds no element at PATH.

OW values are compared as little-endian words whatever the file's byte
order (pydicom leaves them in the file's).

Exits 0 when pydicom reads the file and every value is in place; prints
every difference otherwise.
"""
import json
import sys

import pydicom
from pydicom.dataelem import RawDataElement
from pydicom.multival import MultiValue
from pydicom.tag import Tag
from pydicom.values import convert_value
from pydicom.valuerep import DSdecimal, DSfloat, IS


def norm(value):
    if isinstance(value, (DSfloat, DSdecimal, IS)):
        return str(value)
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
    return None if raw is None else raw.VR


def little_endian_words(data):
    return b"".join(data[i + 1:i + 2] + data[i:i + 1] for i in range(0, len(data) - 1, 2))


def value_text(ds, node, tag, decode_as):
    raw = node._dict.get(tag)
    try:
        element = node[tag]
    except AttributeError:
        # pydicom resolves "OB or OW" of the waveform values only by a Waveform
        # Bits Allocated in the same item: in an implicit VR file the channel
        # minimum and maximum are then left as the file's bytes
        return norm(node._dict[tag].value)
    value = element.value
    if decode_as and element.VR == "UN" and isinstance(value, bytes):
        raw = RawDataElement(tag, decode_as, len(value), value, 0, ds.is_implicit_VR,
                             ds.is_little_endian)
        value = convert_value(decode_as, raw)
    elif decode_as and ds.is_implicit_VR and element.VR != decode_as and isinstance(
            raw, RawDataElement):
        value = convert_value(decode_as, raw._replace(VR=decode_as))
    elif element.VR == "OW" and not ds.is_little_endian and isinstance(value, bytes):
        value = little_endian_words(value)
    return norm(value)


def check(ds, path, want, want_vr, decode_as, explicit, png):
    array = path.endswith("#array")
    parts = path.replace("#array", "").split("/")
    node = ds.file_meta if parts[0].startswith("0002,") else ds
    for i, part in enumerate(parts):
        if "," not in part:
            node = node[int(part)]
            continue
        tag = tag_of(part)
        if tag not in node:
            return None if want == "(absent)" else "%s: absent" % path
        if i < len(parts) - 1:
            node = node[tag].value
            continue
        if want == "(absent)":
            return "%s: present" % path
        if want_vr and explicit:
            got_vr = file_vr(node, tag)
            if got_vr != want_vr:
                return "%s: VR %s in the file, not %s" % (path, got_vr, want_vr)
        if array:
            if png:
                return None
            got = norm([int(v) for v in node.pixel_array.flatten()])
        else:
            got = value_text(ds, node, tag, decode_as)
        if want != "*" and got != want:
            return "%s: %r, not %r" % (path, got[:200], want[:200])
        return None
    return "%s: no element named" % path


def main():
    expected = json.loads(sys.argv[2])
    ds = pydicom.dcmread(sys.argv[1])
    explicit = expected["syntax"] != "i"
    png = expected["syntax"] == "c"
    errors = [e for e in (check(ds, p, v, vr, decode_as, explicit, png)
                          for p, v, vr, decode_as in expected["values"]) if e]
    for e in errors:
        print(e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
