"""Independent check of a file written by the writer tests, with pydicom.

usage: writer_oracle.py ORIGINAL CONVERTED EXPECTED_SYNTAX_UID|bare-implicit|bare-explicit-le|bare-explicit-be

Exits 0 when the converted file reads without error, has the expected
transfer syntax, holds the same tags as the original at every nesting level
(group 0002 and group lengths aside) and the same decoded values for every
element that is not a binary blob; prints the first difference otherwise.
"""
import sys

import pydicom

BLOBS = {"OB", "OW", "OF", "OD", "OL", "OV", "UN", "SQ"}


def tags(ds, path=""):
    out = {}
    for el in ds:
        if el.tag.group == 0x0002 or el.tag.element == 0x0000 or el.tag == 0x00080001:
            continue
        key = path + "%08X" % int(el.tag)
        out[key] = el
        if el.VR == "SQ":
            for i, item in enumerate(el.value):
                out.update(tags(item, key + "[%d]." % i))
    return out


def main():
    orig = pydicom.dcmread(sys.argv[1], force=True)
    want = sys.argv[3]
    if want.startswith("bare-"):
        # A bare data set names no syntax: read it in the one it should have.
        with open(sys.argv[2], "rb") as fp:
            if fp.read(132)[128:] == b"DICM":
                print("meta header present in a bare file")
                return 1
            fp.seek(0)
            conv = pydicom.filereader.read_dataset(
                fp, want == "bare-implicit", want != "bare-explicit-be")
        if len(conv) == 0:
            print("nothing read")
            return 1
        return compare(orig, conv)
    conv = pydicom.dcmread(sys.argv[2])
    if str(conv.file_meta.TransferSyntaxUID) != want:
        print("transfer syntax", conv.file_meta.TransferSyntaxUID)
        return 1
    return compare(orig, conv)


def compare(orig, conv):
    a, b = tags(orig), tags(conv)
    if set(a) != set(b):
        print("tags differ:", sorted(set(a) ^ set(b))[:10])
        return 1
    for key, el in a.items():
        other = b[key]
        if el.VR in BLOBS or other.VR in BLOBS or el.tag == 0x7FE00010:
            continue
        if {el.VR, other.VR} == {"SS", "US"}:
            # XS attributes are written as US: the same 16 bits, read unsigned
            if el.value is not None and (el.value - other.value) % 65536 == 0:
                continue
        if el.value != other.value:
            print("value of", key, repr(el.value)[:80], repr(other.value)[:80])
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
