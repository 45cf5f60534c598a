#!/usr/bin/env python3
"""Writes the lister's benchmark inputs (explicit VR little endian, with
preamble and "DICM"):

  many.dcm   about 100,000 elements: one undefined-length sequence of
             10,000 undefined-length items of 8 elements each
  image.dcm  one 10240 x 10240 16-bit image: 200 MiB of pixel data

usage: gen_list_input.py OUTPUT_DIR
"""
import os
import struct
import sys

LONG_VRS = {"OB", "OW", "SQ", "UN", "UT"}
UNDEFINED = 0xFFFFFFFF


def element(group, elem, vr, raw, length=None):
    if len(raw) % 2:
        raw += b"\0" if vr == "UI" else b" "
    n = len(raw) if length is None else length
    head = struct.pack("<HH2s", group, elem, vr.encode("ascii"))
    if vr in LONG_VRS:
        return head + struct.pack("<HI", 0, n) + raw
    return head + struct.pack("<H", n) + raw


def head():
    ts = element(0x0002, 0x0010, "UI", b"1.2.840.10008.1.2.1")
    meta = element(0x0002, 0x0000, "UL", struct.pack("<I", len(ts))) + ts
    return b"\0" * 128 + b"DICM" + meta + element(0x0008, 0x0060, "CS", b"OT")


def item(i):
    return b"".join([
        struct.pack("<HHI", 0xFFFE, 0xE000, UNDEFINED),
        element(0x0008, 0x0100, "SH", b"C%d" % i),
        element(0x0008, 0x0102, "SH", b"99BENCH"),
        element(0x0008, 0x0104, "LO", b"Benchmark code number %d" % i),
        element(0x0008, 0x1150, "UI", b"1.2.840.10008.5.1.4.1.1.7"),
        element(0x0008, 0x1155, "UI", b"2.25.%d" % (1000000 + i)),
        element(0x0018, 0x0050, "DS", b"%d.25" % (i % 100)),
        element(0x0020, 0x0013, "IS", b"%d" % i),
        element(0x0028, 0x0010, "US", struct.pack("<H", i & 0xFFFF)),
        struct.pack("<HHI", 0xFFFE, 0xE00D, 0),
    ])


def write_many(path, items=10000):
    with open(path, "wb") as f:
        f.write(head())
        f.write(struct.pack("<HH2sHI", 0x0040, 0x0275, b"SQ", 0, UNDEFINED))
        for i in range(items):
            f.write(item(i))
        f.write(struct.pack("<HHI", 0xFFFE, 0xE0DD, 0))


def write_image(path, side=10240):
    size = side * side * 2
    with open(path, "wb") as f:
        f.write(head())
        for tag, value in ((0x0002, 1), (0x0010, side), (0x0011, side), (0x0100, 16),
                           (0x0101, 16), (0x0102, 15), (0x0103, 0)):
            f.write(element(0x0028, tag, "US", struct.pack("<H", value)))
        f.write(element(0x7FE0, 0x0010, "OW", b"", size))
        chunk = bytes(range(256)) * 4096
        for _ in range(size // len(chunk)):
            f.write(chunk)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    write_many(os.path.join(out, "many.dcm"))
    write_image(os.path.join(out, "image.dcm"))


if __name__ == "__main__":
    main()
