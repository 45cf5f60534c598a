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
  errors FILE             one line per error dciodvfy finds in FILE: the
                          tag it names (8 hex digits) or "-"; status 3 as
                          above
  made OUT CODE           an img2dcm image, changed by the Python CODE
                          (ds; directory(tool) makes a DICOMDIR of it
                          with dcmmkdir or pydicom), written to OUT
"""
import os
import re
import struct
import subprocess
import sys
import warnings

import pydicom
from pydicom.datadict import tag_for_keyword
from pydicom.fileset import FileSet

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
ELEMENT = re.compile(r"Element=<([^>]+)>")


def dciodvfy_lines(path):
    out = subprocess.run(["dciodvfy", path], capture_output=True, text=True)
    if out.returncode < 0:
        sys.exit(3)
    return (out.stdout + out.stderr).splitlines()


def missing(path):
    for line in dciodvfy_lines(path):
        m = MISSING.search(line)
        if m:
            tag = tag_for_keyword(m.group(2))
            if tag is not None:
                print("%08X %s" % (tag, m.group(1)))


def errors(path):
    for line in dciodvfy_lines(path):
        if line.startswith("Error"):
            m = ELEMENT.search(line)
            tag = tag_for_keyword(m.group(1)) if m else None
            print("-" if tag is None else "%08X" % tag)


def made(out, code):
    row = bytes([10, 20, 30] * 2) + b"\0\0"          # two pixels, padded to 4 bytes
    with open(out + ".bmp", "wb") as bmp:
        bmp.write(b"BM" + struct.pack("<IHHI", 54 + 16, 0, 0, 54)
                  + struct.pack("<IiiHHIIiiII", 40, 2, 2, 1, 24, 0, 16, 2835, 2835, 0, 0) + row * 2)
    subprocess.run(["img2dcm", "-i", "BMP", out + ".bmp", out], check=True)
    ds = pydicom.dcmread(out)

    def directory(tool):
        ds.PatientID, ds.StudyID, ds.Modality = "P1", "1", "OT"
        ds.StudyDate, ds.StudyTime, ds.SeriesNumber, ds.InstanceNumber = "20240101", "1200", 1, 1
        os.mkdir(out + ".d")
        os.remove(out)
        if tool == "dcmmkdir":
            ds.save_as(out + ".d/IMG")
            subprocess.run(["dcmmkdir", "-q", "+D", out, "+id", out + ".d", "IMG"], check=True)
        else:
            fs = FileSet()
            fs.add(ds)
            fs.write(out + ".d")
            os.rename(out + ".d/DICOMDIR", out)
        return pydicom.dcmread(out)

    exec(code)
    if not os.path.exists(out + ".d"):
        ds.save_as(out)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    command, args = sys.argv[1], sys.argv[2:]
    if command == "facts":
        facts(args)
    elif command == "remove" and len(args) >= 2:
        remove(args[0], args[1], args[2:])
    elif command == "missing" and len(args) == 1:
        missing(args[0])
    elif command == "errors" and len(args) == 1:
        errors(args[0])
    elif command == "made" and len(args) == 2:
        made(args[0], args[1])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
