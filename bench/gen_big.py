#!/usr/bin/env python3
"""Writes the reader's benchmark inputs into a directory (Python 3 stdlib):

  many_elements.dcm  explicit VR little endian with meta header: over
                     100,000 elements, most of them inside nested sequences
                     and items of undefined length;
  big_image.dcm      explicit VR little endian with meta header: a
                     multi-frame 16-bit image of more than 200 MiB;
  noisy_image.dcm    the same form, 400 frames of 512 x 512 12-bit samples
                     (200 MiB): a smooth image drifting one row per frame
                     plus 4 bits of per-pixel noise, so that a compressor
                     meets data about as hard as a real scan;
  private_groups.dcm explicit VR little endian with meta header: 80,000
                     private LO elements in 400 odd groups, one creator
                     "ACME BIG" and 200 elements in each;
  long_sequence.dcm  a Basic Text SR whose one undefined-length Content
                     Sequence holds 100,000 items of two CS elements;
  out_of_order.dcm   explicit VR little endian with meta header: one
                     element (7FE1,0010), then 100,000 LO elements of the
                     groups 1000 upward, every one below it in tag order.

Usage: gen_big.py DIR [NAME...]   (no NAME: the first two)
"""
import math
import os
import random
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


def file_head(sop_class=b"1.2.840.10008.5.1.4.1.1.7\0"):
    meta = (element(0x0002, 0x0001, b"OB", b"\0\1")
            + element(0x0002, 0x0002, b"UI", sop_class)
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
                  element(0x0008, 0x1196, b"US", struct.pack("<H", k)),
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


def write_private_groups(path, elements=80000, per_group=200):
    """Groups 0009, 000B, ... each with the creator (gggg,0010) and the
    block elements (gggg,1000) on; the last group may hold fewer."""
    with open(path, "wb") as f:
        f.write(file_head())
        f.write(element(0x0008, 0x0016, b"UI", b"1.2.840.10008.5.1.4.1.1.7\0"))
        f.write(element(0x0008, 0x0018, b"UI", b"1.2.3.4.5.6.7.8.9\0"))
        group = 0x0009
        written = 0
        while written < elements:
            n = min(per_group, elements - written)
            parts = [element(group, 0x0010, b"LO", b"ACME BIG")]
            parts += [element(group, 0x1000 + k, b"LO", padded(b"v%d" % (written + k)))
                      for k in range(n)]
            f.write(b"".join(parts))
            written += n
            group += 2


def write_long_sequence(path, items=100000):
    """One undefined-length Content Sequence; each item, of undefined
    length, holds Relationship Type and Value Type (44 bytes an item)."""
    sop_class = b"1.2.840.10008.5.1.4.1.1.88.11\0"
    item = (marker(0xE000, UNDEFINED) + element(0x0040, 0xA010, b"CS", b"CONTAINS")
            + element(0x0040, 0xA040, b"CS", b"TEXT") + marker(0xE00D))
    with open(path, "wb") as f:
        f.write(file_head(sop_class))
        f.write(element(0x0008, 0x0016, b"UI", sop_class))
        f.write(element(0x0008, 0x0018, b"UI", b"1.2.3.4.5.6.7.8.9.1\0"))
        f.write(element(0x0010, 0x0010, b"PN", b"Bench^Sequence"))
        f.write(element(0x0040, 0xA040, b"CS", b"CONTAINER "))
        f.write(open_sequence(0x0040, 0xA730))
        f.write(item * items)
        f.write(marker(0xE0DD))


def write_out_of_order(path, elements=100000, per_group=1000):
    """A private creator (7FE1,0010) first, then the even groups 1000,
    1002, ... with per_group LO elements each (24 bytes an element)."""
    with open(path, "wb") as f:
        f.write(file_head())
        f.write(element(0x7FE1, 0x0010, b"LO", b"ACME LAST "))
        for first in range(0, elements, per_group):
            group = 0x1000 + 2 * (first // per_group)
            f.write(b"".join(element(group, 0x1000 + k, b"LO", b"value %09d " % (first + k))
                             for k in range(min(per_group, elements - first))))


def write_image(path, rows, columns, bits_stored, frames):
    """A 16-bit single-sample image whose frames the iterable gives."""
    with open(path, "wb") as f:
        f.write(file_head())
        f.write(element(0x0008, 0x0016, b"UI", b"1.2.840.10008.5.1.4.1.1.7\0"))
        f.write(element(0x0028, 0x0002, b"US", struct.pack("<H", 1)))
        f.write(element(0x0028, 0x0004, b"CS", b"MONOCHROME2 "))
        f.write(element(0x0028, 0x0008, b"IS", padded(b"%d" % len(frames))))
        f.write(element(0x0028, 0x0010, b"US", struct.pack("<H", rows)))
        f.write(element(0x0028, 0x0011, b"US", struct.pack("<H", columns)))
        for elem, value in ((0x0100, 16), (0x0101, bits_stored), (0x0102, bits_stored - 1),
                            (0x0103, 0)):
            f.write(element(0x0028, elem, b"US", struct.pack("<H", value)))
        f.write(struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OW", 0, rows * columns * 2 * len(frames)))
        for frame in frames:
            f.write(frame)


def write_big_image(path, rows=512, columns=512, frames=410):
    frame = bytes(range(256)) * (rows * columns * 2 // 256)
    write_image(path, rows, columns, 16, [frame] * frames)


class NoisyFrames:
    """Frame f: rows f to f + rows - 1 of a smooth 12-bit field, plus a
    fresh 4-bit noise value in every sample.  Samples are summed as 16-bit
    lanes of one big integer: no lane exceeds 4095, so no carry crosses."""

    def __init__(self, rows, columns, frames, noise_bits=4, seed=15):
        top = 4095 - (1 << noise_bits) + 1
        field = bytearray()
        for y in range(rows + frames):
            for x in range(columns):
                v = (0.5 + 0.3 * math.sin(x / 37.0) * math.cos(y / 53.0)
                     + 0.15 * math.sin((x + 2 * y) / 91.0))
                field += struct.pack("<H", max(0, min(top, int(v * top))))
        self.field = bytes(field)
        self.row_bytes = 2 * columns
        self.rows = rows
        self.frames = frames
        self.mask = int.from_bytes(struct.pack("<H", (1 << noise_bits) - 1) * (rows * columns),
                                   "little")
        self.random = random.Random(seed)

    def __len__(self):
        return self.frames

    def __iter__(self):
        size = self.rows * self.row_bytes
        for f in range(self.frames):
            base = int.from_bytes(self.field[f * self.row_bytes:f * self.row_bytes + size], "little")
            noise = int.from_bytes(self.random.randbytes(size), "little") & self.mask
            yield (base + noise).to_bytes(size, "little")


def write_noisy_image(path, rows=512, columns=512, frames=400):
    write_image(path, rows, columns, 12, NoisyFrames(rows, columns, frames))


WRITERS = {"many_elements.dcm": write_many_elements, "big_image.dcm": write_big_image,
           "noisy_image.dcm": write_noisy_image, "private_groups.dcm": write_private_groups,
           "long_sequence.dcm": write_long_sequence, "out_of_order.dcm": write_out_of_order}


def main():
    if len(sys.argv) < 2 or any(name not in WRITERS for name in sys.argv[2:]):
        sys.exit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name in sys.argv[2:] or ["many_elements.dcm", "big_image.dcm"]:
        WRITERS[name](os.path.join(out, name))


if __name__ == "__main__":
    main()
