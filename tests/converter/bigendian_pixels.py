"""Files whose pixel data is big endian in an implicit VR little endian data
set (transfer syntax 1.2.840.113619.5.2), made and checked with pydicom.

usage: bigendian_pixels.py make FILE BITS [icon]
       bigendian_pixels.py compare FILE REFERENCE UID

make writes a 2 x 3 image of BITS (8 or 16) bits allocated, with a 1 x 2
icon image of 16 bits in (0088,0200), in a sequence and item of undefined
length, when "icon" is given.  pydicom writes
the data set as implicit VR little endian and the sample bytes as given
(big endian); the syntax UID is then put into the meta group by hand.

compare exits 0 when FILE names UID as its transfer syntax and holds the
same sample values as REFERENCE, in the image and in the icon; it prints
each difference and exits 1 otherwise.
"""
import struct
import sys

import pydicom
from pydicom.dataset import Dataset, FileMetaDataset

SYNTAX = "1.2.840.113619.5.2"
IMPLICIT = "1.2.840.10008.1.2"
SAMPLES = {16: [1, 2, 300, 4000, 0x0102, 0x0F00], 8: [1, 2, 3, 4, 5, 6]}
ICON = [0x0102, 0x0304]


def image(ds, rows, columns, bits):
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.Rows, ds.Columns = rows, columns
    ds.BitsAllocated = bits
    ds.BitsStored = 12 if bits == 16 else 8
    ds.HighBit = ds.BitsStored - 1
    ds.PixelRepresentation = 0


def big_endian(values, bits):
    return struct.pack(">%dH" % len(values), *values) if bits == 16 else bytes(values)


def make(path, bits, icon):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    meta.MediaStorageSOPInstanceUID = "1.2.3.4.5"
    meta.TransferSyntaxUID = IMPLICIT
    ds = Dataset()
    ds.file_meta = meta
    ds.is_little_endian = True
    ds.is_implicit_VR = True
    ds.SOPClassUID = meta.MediaStorageSOPClassUID
    ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
    ds.Modality = "OT"
    image(ds, 2, 3, bits)
    if icon:
        item = Dataset()
        image(item, 1, 2, 16)
        item.BitsStored = 16
        item.HighBit = 15
        item.PixelData = big_endian(ICON, 16)
        ds.IconImageSequence = [item]
        # sequence and item of undefined length: the icon's pixel data is then
        # an element of its own, not raw bytes of a container of defined length
        ds["IconImageSequence"].is_undefined_length = True
        item.is_undefined_length_sequence_item = True
    ds.PixelData = big_endian(SAMPLES[bits], bits)
    ds.save_as(path, write_like_original=False)
    # pydicom writes the UID of the syntax it encoded; both UIDs take 18 bytes
    data = open(path, "rb").read()
    old = IMPLICIT.encode() + b"\0"
    assert data.count(old) == 1
    open(path, "wb").write(data.replace(old, SYNTAX.encode()))


def icon_values(ds):
    """The icon's 16-bit samples, in the byte order of the file."""
    if "IconImageSequence" not in ds:
        return None
    data = ds.IconImageSequence[0].PixelData
    order = "<" if ds.is_little_endian else ">"
    return list(struct.unpack("%s%dH" % (order, len(data) // 2), data))


def compare(path, ref_path, uid):
    ours, ref = pydicom.dcmread(path), pydicom.dcmread(ref_path)
    errors = []
    if ours.file_meta.TransferSyntaxUID != uid:
        errors.append("transfer syntax %s, not %s" % (ours.file_meta.TransferSyntaxUID, uid))
    a, b = ours.pixel_array.flatten().tolist(), ref.pixel_array.flatten().tolist()
    if a != b:
        errors.append("image samples %s, not %s" % (a, b))
    if icon_values(ours) != icon_values(ref):
        errors.append("icon samples %s, not %s" % (icon_values(ours), icon_values(ref)))
    for e in errors:
        print(e)
    return 1 if errors else 0


def main():
    if sys.argv[1] == "make":
        make(sys.argv[2], int(sys.argv[3]), len(sys.argv) > 4)
        return 0
    return compare(sys.argv[2], sys.argv[3], sys.argv[4])


if __name__ == "__main__":
    sys.exit(main())
