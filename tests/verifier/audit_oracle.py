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
"""
import re
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


def missing(path):
    out = subprocess.run(["dciodvfy", path], capture_output=True, text=True)
    if out.returncode < 0:
        sys.exit(3)
    for line in (out.stdout + out.stderr).splitlines():
        m = MISSING.search(line)
        if m:
            tag = tag_for_keyword(m.group(2))
            if tag is not None:
                print("%08X %s" % (tag, m.group(1)))


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
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
