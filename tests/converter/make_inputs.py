"""Test inputs that pydicom writes, as other toolkits' files look.

usage: make_inputs.py icon FILE BITS
       make_inputs.py fileset FOLDER SHAPE

icon: an explicit VR little endian secondary capture image of 2 x 2 16-bit
samples with an Icon Image Sequence holding a 2 x 3 icon of BITS (8 or 16)
bits allocated.

fileset: a File-set in FOLDER (created) of eight images of two patients,
each with two series of two images, and its DICOMDIR as pydicom's FileSet
writes it: a sequence of defined length with a record per item.  SHAPE
"explicit" is the conforming explicit VR little endian, "implicit" the
implicit VR little endian that FileSet writes on request, "big" explicit VR
big endian (FileSet's own layout and offsets, which are the same for both
explicit syntaxes, written big endian).  A suffix "+undefined" gives the
sequence and every record undefined length, "+items" the sequence only
(the records keep their places: the sequence is the last element, and its
header keeps its size).
"""
import os
import struct
import sys

import numpy as np
import pydicom.fileset
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.fileset import FileSet
from pydicom.sequence import Sequence
from pydicom.uid import ExplicitVRBigEndian, ExplicitVRLittleEndian

SECONDARY_CAPTURE = "1.2.840.10008.5.1.4.1.1.7"


def image_attributes(ds, rows, columns, bits, samples):
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.Rows = rows
    ds.Columns = columns
    ds.BitsAllocated = bits
    ds.BitsStored = bits
    ds.HighBit = bits - 1
    ds.PixelRepresentation = 0
    ds.PixelData = np.array(samples, dtype=np.uint8 if bits == 8 else "<u2").tobytes()


def new_file(sop_instance):
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = SECONDARY_CAPTURE
    ds.file_meta.MediaStorageSOPInstanceUID = sop_instance
    ds.SOPClassUID = SECONDARY_CAPTURE
    ds.SOPInstanceUID = sop_instance
    ds.is_little_endian = True
    ds.is_implicit_VR = False
    return ds


def icon(path, bits):
    ds = new_file("1.2.826.0.1.3680043.2.1143.1")
    ds.PatientName = "Doe^Jane"
    item = Dataset()
    if bits == 8:
        image_attributes(item, 2, 3, 8, [1, 2, 3, 250, 251, 252])
    else:
        image_attributes(item, 2, 3, 16, [1, 258, 3, 1000, 64000, 513])
    ds.IconImageSequence = Sequence([item])
    image_attributes(ds, 2, 2, 16, [100, 200, 300, 4000])
    ds.save_as(path, write_like_original=False)


def undefined_sequence(path, syntax):
    """Gives the Directory Record Sequence, the last element, undefined length."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    order = ">" if syntax == "big" else "<"
    tag = struct.pack(order + "HH", 0x0004, 0x1220)
    at = data.index(tag, 132) + (4 if syntax == "implicit" else 8)
    data[at:at + 4] = b"\xff\xff\xff\xff"
    data += struct.pack(order + "HHI", 0xFFFE, 0xE0DD, 0)
    with open(path, "wb") as f:
        f.write(data)


def fileset(folder, shape):
    syntax, _, lengths = shape.partition("+")
    fs = FileSet()
    n = 0
    for patient in ("P1", "P2"):
        study = "1.2.826.0.1.3680043.2.1143.%d" % (100 + len(patient) + n)
        for series in range(2):
            series_uid = "%s.%d" % (study, series + 1)
            for instance in range(2):
                n += 1
                ds = new_file("%s.%d" % (series_uid, instance + 1))
                ds.PatientID = patient
                ds.PatientName = "Doe^" + patient
                ds.StudyInstanceUID = study
                ds.StudyDate = "20240131"
                ds.StudyTime = "120000"
                ds.StudyID = "1"
                ds.AccessionNumber = ""
                ds.SeriesInstanceUID = series_uid
                ds.Modality = "OT"
                ds.SeriesNumber = series + 1
                ds.InstanceNumber = instance + 1
                fs.add(ds)
    if lengths == "undefined":
        for node in fs._tree:
            node._record.is_undefined_length_sequence_item = True
    if syntax == "big":
        # FileSet names the one syntax it writes through this module-level name
        pydicom.fileset.ExplicitVRLittleEndian = ExplicitVRBigEndian
    try:
        fs.write(folder, force_implicit=syntax == "implicit")
    finally:
        pydicom.fileset.ExplicitVRLittleEndian = ExplicitVRLittleEndian
    path = os.path.join(folder, "DICOMDIR")
    if lengths:
        undefined_sequence(path, syntax)
    return path


def main():
    if sys.argv[1] == "icon":
        icon(sys.argv[2], int(sys.argv[3]))
    elif sys.argv[1] == "fileset":
        fileset(sys.argv[2], sys.argv[3])
    else:
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
