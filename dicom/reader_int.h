/*
 * reader_int.h -- reader internals shared inside the DICOM library and with
 * its tests (not exported): the value skipper and the reader's limits.
 */
#ifndef QUENOR_READER_INT_H
#define QUENOR_READER_INT_H

#include <stdio.h>

#include "medcore.h"

/* Sequences and items that can be open at one time, each: deeper nesting
 * is refused as hostile (real files stay far below). */
#define READER_MAX_NESTING 256

/* fill_pds from the children of parent (the root for the top level, an
 * item for an icon image inside it). */
void fill_pds_from(AppData *app, const DicomElement *parent, PixelDataDesc *pds);

/* Moves the file past a value: a defined length is skipped at once; an
 * undefined one (encapsulated data) item by item up to the sequence
 * delimiter, or to the end of the file.  Never moves past the end. */
void _skip_value(FILE *file, TransferSyntaxCode ts, uint32_t length);

#endif
