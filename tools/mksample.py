#!/usr/bin/env python3
"""Writes the project's small sample DICOM file (examples/sample.dcm).

Explicit VR little endian throughout: a 128-byte preamble, "DICM", a meta
group with its group length, a data set with patient and study attributes,
undefined-length sequences nested two deep, a private block and an 8x8
16-bit image.  The output is deterministic.

usage: mksample.py [output]   (default: examples/sample.dcm)
"""
import os
import struct
import sys

LONG_VRS = {"OB", "OW", "OF", "OD", "OL", "OV", "SQ", "UN", "UT", "UC", "UR", "SV", "UV"}
UNDEFINED = 0xFFFFFFFF

# UIDs under 2.25 (a UID made from a 128-bit number), chosen for this sample.
ROOT = "2.25.1234567890123456789012345678901"
SC_STORAGE = "1.2.840.10008.5.1.4.1.1.7"
EXPLICIT_LE = "1.2.840.10008.1.2.1"


def pad(vr, raw):
    if len(raw) % 2:
        raw += b"\0" if vr in ("UI", "OB", "UN") else b" "
    return raw


def element(group, elem, vr, value):
    """One explicit VR little endian element; str values are text."""
    raw = value.encode("ascii") if isinstance(value, str) else value
    raw = pad(vr, raw)
    head = struct.pack("<HH2s", group, elem, vr.encode("ascii"))
    if vr in LONG_VRS:
        return head + struct.pack("<HI", 0, len(raw)) + raw
    return head + struct.pack("<H", len(raw)) + raw


def us(group, elem, *values):
    return element(group, elem, "US", struct.pack("<%dH" % len(values), *values))


def sequence(group, elem, *items):
    """An undefined-length sequence of undefined-length items."""
    body = b"".join(
        struct.pack("<HHI", 0xFFFE, 0xE000, UNDEFINED) + b"".join(item)
        + struct.pack("<HHI", 0xFFFE, 0xE00D, 0)
        for item in items)
    head = struct.pack("<HH2sHI", group, elem, b"SQ", 0, UNDEFINED)
    return head + body + struct.pack("<HHI", 0xFFFE, 0xE0DD, 0)


def meta_group(instance_uid):
    rest = b"".join([
        element(0x0002, 0x0001, "OB", b"\x00\x01"),
        element(0x0002, 0x0002, "UI", SC_STORAGE),
        element(0x0002, 0x0003, "UI", instance_uid),
        element(0x0002, 0x0010, "UI", EXPLICIT_LE),
        element(0x0002, 0x0012, "UI", ROOT + ".1"),
    ])
    return element(0x0002, 0x0000, "UL", struct.pack("<I", len(rest))) + rest


def code_item(value, scheme, meaning):
    return [element(0x0008, 0x0100, "SH", value),
            element(0x0008, 0x0102, "SH", scheme),
            element(0x0008, 0x0104, "LO", meaning)]


def data_set(instance_uid):
    study_uid = ROOT + ".2"
    series_uid = ROOT + ".3"
    pixels = struct.pack("<64H", *[(r * 8 + c) * 64 for r in range(8) for c in range(8)])
    return b"".join([
        element(0x0008, 0x0005, "CS", "ISO_IR 100"),
        element(0x0008, 0x0016, "UI", SC_STORAGE),
        element(0x0008, 0x0018, "UI", instance_uid),
        element(0x0008, 0x0020, "DA", "20240131"),
        element(0x0008, 0x0030, "TM", "101530"),
        element(0x0008, 0x0060, "CS", "OT"),
        element(0x0008, 0x1030, "LO", "Sample study"),
        sequence(0x0008, 0x1140,
                 [element(0x0008, 0x1150, "UI", SC_STORAGE),
                  element(0x0008, 0x1155, "UI", ROOT + ".5")]),
        element(0x0010, 0x0010, "PN", "Sample^Patient"),
        element(0x0010, 0x0020, "LO", "QN0001"),
        element(0x0010, 0x0030, "DA", "19700101"),
        element(0x0010, 0x0040, "CS", "O"),
        element(0x0020, 0x000D, "UI", study_uid),
        element(0x0020, 0x000E, "UI", series_uid),
        element(0x0020, 0x0010, "SH", "1"),
        element(0x0020, 0x0013, "IS", "1"),
        us(0x0028, 0x0002, 1),
        element(0x0028, 0x0004, "CS", "MONOCHROME2"),
        us(0x0028, 0x0010, 8),
        us(0x0028, 0x0011, 8),
        us(0x0028, 0x0100, 16),
        us(0x0028, 0x0101, 12),
        us(0x0028, 0x0102, 11),
        us(0x0028, 0x0103, 0),
        element(0x0029, 0x0010, "LO", "QUENOR SAMPLE"),
        element(0x0029, 0x1010, "LO", "private text"),
        element(0x0029, 0x1011, "US", struct.pack("<2H", 7, 300)),
        sequence(0x0040, 0x0275,
                 [element(0x0040, 0x0007, "LO", "Sample procedure"),
                  sequence(0x0040, 0x0008,
                           code_item("QN1", "99QN", "First code"),
                           code_item("QN2", "99QN", "Second code"))]),
        element(0x7FE0, 0x0010, "OW", pixels),
    ])


def sample_bytes():
    instance_uid = ROOT + ".4"
    preamble = b"\0" * 128
    return preamble + b"DICM" + meta_group(instance_uid) + data_set(instance_uid)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join("examples", "sample.dcm")
    os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
    with open(out, "wb") as f:
        f.write(sample_bytes())


if __name__ == "__main__":
    main()
