"""Independent check of the pixel data of two files with pydicom.

usage: pixels_oracle.py FILE REFERENCE

Exits 0 when both hold the same decoded pixel values, or neither holds
pixel data; prints the difference and exits 1 otherwise.  Samples of more
than 16 bits are not compared: for a big-endian file labelled OW, dcmtk
reverses them in 16-bit words and pydicom as whole samples, so the two
independent readers do not agree on what such a file holds.

Pixel data inside items (icon images) is compared too, sample by sample
as its own item's Bits Allocated gives them.  The image of a file in the
toolkit's PNG syntax, which pydicom does not decode, is left aside.
"""
import struct
import sys

import pydicom

PNG_SYNTAX = "3.0.0.4.5"


def words_little_endian(data):
    return b"".join(data[i + 1:i + 2] + data[i:i + 1] for i in range(0, len(data) - 1, 2))


def item_samples(ds, item):
    """The samples of the pixel data of an item, as numbers."""
    element = item[0x7FE00010]
    data = element.value
    if not ds.is_little_endian and element.VR == "OW":
        data = words_little_endian(data)  # the file's 16-bit words
    if int(item.get("BitsAllocated", 16)) == 16:
        return list(struct.unpack("<%dH" % (len(data) // 2), data[:len(data) // 2 * 2]))
    return list(data)


def nested_pixels(ds):
    """Path of every item holding pixel data, with its samples."""
    found = {}

    def walk(node, path):
        for element in node:
            if element.VR != "SQ":
                continue
            for i, item in enumerate(element.value):
                here = "%s%s/%d/" % (path, element.tag, i)
                if 0x7FE00010 in item:
                    found[here] = item_samples(ds, item)
                walk(item, here)

    walk(ds, "")
    return found


def main():
    ours = pydicom.dcmread(sys.argv[1])
    ref = pydicom.dcmread(sys.argv[2])
    status = 0
    a, b = nested_pixels(ours), nested_pixels(ref)
    if a != b:
        print("pixel data in items differs:", a, b)
        status = 1
    if "PixelData" not in ref and "PixelData" not in ours:
        return status
    if "PixelData" not in ours or "PixelData" not in ref:
        print("pixel data on one side only")
        return 1
    if int(ref.BitsAllocated) > 16 or ours.file_meta.get("TransferSyntaxUID") == PNG_SYNTAX:
        return status
    a, b = ours.pixel_array, ref.pixel_array
    if a.shape != b.shape or not (a == b).all():
        print("pixel values differ:", a.flatten()[:8], b.flatten()[:8])
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())
