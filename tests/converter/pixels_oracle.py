"""Independent check of the pixel data of two files with pydicom.

usage: pixels_oracle.py FILE REFERENCE

Exits 0 when both hold the same decoded pixel values, or neither holds
pixel data; prints the difference and exits 1 otherwise.  Samples of more
than 16 bits are not compared: for a big-endian file labelled OW, dcmtk
reverses them in 16-bit words and pydicom as whole samples, so the two
independent readers do not agree on what such a file holds.
"""
import sys

import pydicom


def main():
    ours = pydicom.dcmread(sys.argv[1])
    ref = pydicom.dcmread(sys.argv[2])
    if "PixelData" not in ref and "PixelData" not in ours:
        return 0
    if "PixelData" not in ours or "PixelData" not in ref:
        print("pixel data on one side only")
        return 1
    if int(ref.BitsAllocated) > 16:
        return 0
    a, b = ours.pixel_array, ref.pixel_array
    if a.shape != b.shape or not (a == b).all():
        print("pixel values differ:", a.flatten()[:8], b.flatten()[:8])
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
