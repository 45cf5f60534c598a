#!/usr/bin/python3
"""What independent tools say about DICOM files, for the verifier's tests.

  facts FILE...           one line per file: name, "meta" or "none", the
                          data-set syntax name, the SOP Class UID (pydicom)
  remove IN OUT TAG...    writes IN without the top-level elements TAG
                          (8 hex digits each) to OUT, as it was encoded
  missing FILE            the attributes dciodvfy finds missing in FILE:
                          one line "GGGGEEEE type" each (type as dciodvfy
                          gives it: 1, 2, 1C, 2C); status 3 when
                          dciodvfy itself died (it asserts on some files)
  errors FILE             the same for each error of dciodvfy: "GGGGEEEE"
                          (00000000 when it names no attribute)
  made OUT CODE           writes to OUT an img2dcm image ds as the Python
                          CODE changes it (directory() makes its DICOMDIR,
                          multiframe(bits) a multi-frame SC image)
"""
import os
import re
import struct
import subprocess
import sys
import warnings

import pydicom
from pydicom.datadict import tag_for_keyword

warnings.simplefilter("ignore")


def syntax_name(ds):
    if ds.is_little_endian and ds.is_implicit_VR:
        return "ImplicitVRLittleEndian"
    if ds.is_little_endian:
        return "ExplicitVRLittleEndian"
    return "ExplicitVRBigEndian"


def facts(paths):
    for path in paths:
        ds = pydicom.dcmread(path, force=True)
        meta = "meta" if ds.preamble is not None and len(ds.file_meta) else "none"
        sop = str(ds.get("SOPClassUID", ""))
        print("%s\t%s\t%s\t%s" % (path.rsplit("/", 1)[-1], meta, syntax_name(ds), sop))


def remove(src, dst, tags):
    ds = pydicom.dcmread(src, force=True)
    for text in tags:
        tag = int(text, 16)
        if tag in ds:
            del ds[tag]
    ds.save_as(dst, write_like_original=True)


MISSING = re.compile(r"Missing attribute Type (\S+) \S+ Element=<([^>]+)>")
ERROR = re.compile(r"^Error()(?: .*Element=<([^>]+)>)?")


def missing(path, pattern=MISSING):
    out = subprocess.run(["dciodvfy", path], capture_output=True, text=True)
    if out.returncode < 0:
        sys.exit(3)
    for line in (out.stdout + out.stderr).splitlines():
        m = pattern.search(line)
        if m:
            print("%08X %s" % (tag_for_keyword(m.group(2) or "") or 0, m.group(1)))


def made(out, code, bits=24, *options):     # 2 x 2 pixels of 24 bits, or gray ones of 8 or 16
    gray = b"".join(bytes([i, i, i, 0]) for i in range(256 if bits < 24 else 0))
    with open(out + ".bmp", "wb") as bmp:
        bmp.write(struct.pack("<2sI4xIIiiHH24x", b"BM", 70 + len(gray), 54 + len(gray), 40, 2, 2, 1,
                              8 if gray else 24) + gray + bytes([9] * 6 + [0, 0]) * 2)
    subprocess.run(["img2dcm", *options, "-i", "BMP", out + ".bmp", out + ".img"], check=True)
    ds = pydicom.dcmread(out + ".img")
    if bits == 16:     # img2dcm reads no 16-bit gray image: its 8-bit one made multi-frame words
        ds.SOPClassUID = ds.file_meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7.3"
        ds.update(dict(BitsAllocated=16, BitsStored=16, HighBit=15, PixelData=bytes(8)))

    def multiframe(bits):     # a body part spares dciodvfy's Laterality
        made(out, "ds.BodyPartExamined = 'HEAD'", bits, "-nsc")

    def directory():
        ds.update(dict(PatientID="P1", StudyID="1", Modality="OT", StudyDate="20240101",
                       StudyTime="1200", SeriesNumber=1, InstanceNumber=1))
        os.mkdir(out + ".d")
        ds.save_as(out + ".d/IMG")
        subprocess.run(["dcmmkdir", "-q", "+D", out, "+id", out + ".d", "IMG"], check=True)
        return pydicom.dcmread(out)

    exec(code)
    if not os.path.exists(out):
        ds.save_as(out)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    command, args = sys.argv[1], sys.argv[2:]
    if command == "facts":
        facts(args)
    elif command == "remove" and len(args) >= 2:
        remove(args[0], args[1], args[2:])
    elif command in ("missing", "errors") and len(args) == 1:
        missing(args[0], MISSING if command == "missing" else ERROR)
    elif command == "made" and len(args) == 2:
        made(args[0], args[1])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
