#!/usr/bin/env python3
"""Writes the reader's benchmark inputs into a directory (Python 3 stdlib):

  many_elements.dcm  explicit VR little endian with meta header: over
                     100,000 elements, most of them inside nested sequences
                     and items of undefined length;
  big_image.dcm      explicit VR little endian with meta header: a
                     multi-frame 16-bit image of more than 200 MiB.

Usage: gen_big.py DIR
"""
import os
import struct
import sys

EXPLICIT_LE = b"1.2.840.10008.1.2.1\0"
LONG_VRS = {b"OB", b"OW", b"SQ", b"UN", b"UT", b"UC", b"UR", b"OF", b"OD", b"OL", b"OV",
            b"SV", b"UV"}
UNDEFINED = 0xFFFFFFFF


def padded(value):
    return value + (b" " if len(value) % 2 else b"")


def uid(value):
    return value + (b"\0" if len(value) % 2 else b"")


def element(group, elem, vr, value):
    if vr in LONG_VRS:
        head = struct.pack("<HH2sHI", group, elem, vr, 0, len(value))
    else:
        head = struct.pack("<HH2sH", group, elem, vr, len(value))
    return head + value


def open_sequence(group, elem):
    return struct.pack("<HH2sHI", group, elem, b"SQ", 0, UNDEFINED)


def marker(elem, length=0):
    """Item (E000, undefined length) or a delimiter (E00D, E0DD)."""
    return struct.pack("<HHI", 0xFFFE, elem, length)


def file_head():
    meta = (element(0x0002, 0x0001, b"OB", b"\0\1")
            + element(0x0002, 0x0002, b"UI", b"1.2.840.10008.5.1.4.1.1.7\0")
            + element(0x0002, 0x0003, b"UI", b"1.2.3.4.5.6.7.8.9\0")
            + element(0x0002, 0x0010, b"UI", EXPLICIT_LE))
    return (b"\0" * 128 + b"DICM" + element(0x0002, 0x0000, b"UL", struct.pack("<I", len(meta)))
            + meta)


def inner_item(n):
    """An item of five elements holding a sequence of two items of three."""
    parts = [marker(0xE000, UNDEFINED),
             element(0x0008, 0x1150, b"UI", b"1.2.840.10008.5.1.4.1.1.2\0"),
             element(0x0008, 0x1155, b"UI", uid(b"1.2.3.%d" % n)),
             open_sequence(0x0008, 0x1199)]
    for k in range(2):
        parts += [marker(0xE000, UNDEFINED),
                  element(0x0008, 0x1150, b"UI", b"1.2.840.10008.5.1.4.1.1.4\0"),
                  element(0x0008, 0x1155, b"UI", uid(b"1.2.3.%d.%d" % (n, k))),
                  element(0x0040, 0xA170, b"US", struct.pack("<H", k)),
                  marker(0xE00D)]
    parts += [marker(0xE0DD), element(0x0020, 0x0013, b"IS", padded(b"%d" % n)), marker(0xE00D)]
    return b"".join(parts)


def write_many_elements(path, items=6000):
    """Each item contributes 19 elements (items and delimiters included)."""
    with open(path, "wb") as f:
        f.write(file_head())
        f.write(element(0x0008, 0x0016, b"UI", b"1.2.840.10008.5.1.4.1.1.7\0"))
        f.write(open_sequence(0x0008, 0x1115))
        for n in range(items):
            f.write(inner_item(n))
        f.write(marker(0xE0DD))
        f.write(element(0x0010, 0x0010, b"PN", b"Bench^Many"))
        f.write(element(0x0020, 0x000D, b"UI", b"1.2.3.4\0"))


def write_big_image(path, rows=512, columns=512, frames=410):
    frame = bytes(range(256)) * (rows * columns * 2 // 256)
    with open(path, "wb") as f:
        f.write(file_head())
        f.write(element(0x0008, 0x0016, b"UI", b"1.2.840.10008.5.1.4.1.1.7\0"))
        f.write(element(0x0028, 0x0002, b"US", struct.pack("<H", 1)))
        f.write(element(0x0028, 0x0004, b"CS", b"MONOCHROME2 "))
        f.write(element(0x0028, 0x0008, b"IS", padded(b"%d" % frames)))
        f.write(element(0x0028, 0x0010, b"US", struct.pack("<H", rows)))
        f.write(element(0x0028, 0x0011, b"US", struct.pack("<H", columns)))
        for elem, value in ((0x0100, 16), (0x0101, 16), (0x0102, 15), (0x0103, 0)):
            f.write(element(0x0028, elem, b"US", struct.pack("<H", value)))
        f.write(struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OW", 0, len(frame) * frames))
        for _ in range(frames):
            f.write(frame)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    write_many_elements(os.path.join(out, "many_elements.dcm"))
    write_big_image(os.path.join(out, "big_image.dcm"))


if __name__ == "__main__":
    main()
