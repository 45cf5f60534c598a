"""Independent walk of a DICOMDIR by its record offsets, with pydicom.

usage: directory_oracle.py FILE

Prints the records as the offsets chain them, one line each, indented by
level: from (0004,1200) along (0004,1400) to the next record of a level,
and along (0004,1420) down to the first record of the level below; each
line the record type and what identifies the record.  Then, when the file
has a meta group, the number of instances pydicom's FileSet finds.

Exits 1, saying why, when an offset other than 0 names no record (the
first byte of an item of the Directory Record Sequence), a record is
reached twice, a record is not reached, or (0004,1202) does not name the
last record of the top level.
"""
import sys
import warnings

import pydicom
from pydicom.fileset import FileSet

FIRST, LAST, NEXT, LOWER = 0x00041200, 0x00041202, 0x00041400, 0x00041420
IDENTIFIERS = ("PatientID", "StudyInstanceUID", "SeriesInstanceUID", "ReferencedFileID")


def describe(record):
    for keyword in IDENTIFIERS:
        if keyword in record:
            value = record.get(keyword)
            if isinstance(value, (list, pydicom.multival.MultiValue)):
                value = "\\".join(value)
            return "%s %s" % (record.DirectoryRecordType, value)
    return str(record.DirectoryRecordType)


def main():
    warnings.simplefilter("ignore")
    ds = pydicom.dcmread(sys.argv[1], force=True)
    records = {item.seq_item_tell: item for item in ds.DirectoryRecordSequence}
    lines, seen, errors = [], set(), []

    def walk(offset, depth):
        last = 0
        while offset:
            if offset not in records:
                errors.append("offset %d names no record" % offset)
                return last
            if offset in seen:
                errors.append("record at %d reached twice" % offset)
                return last
            seen.add(offset)
            record = records[offset]
            lines.append("  " * depth + describe(record))
            walk(record[LOWER].value, depth + 1)
            last = offset
            offset = record[NEXT].value
        return last

    last = walk(ds[FIRST].value, 0)
    if ds[LAST].value != last:
        errors.append("(0004,1202) is %d, the last record is at %d" % (ds[LAST].value, last))
    if len(seen) != len(records):
        errors.append("%d of %d records reached" % (len(seen), len(records)))
    print("\n".join(lines))
    if "TransferSyntaxUID" in getattr(ds, "file_meta", {}) and not errors:
        print("fileset %d instances" % len(list(FileSet(ds))))
    for e in errors:
        print(e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
