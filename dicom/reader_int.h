/*
 * reader_int.h -- reader internals shared inside the DICOM library and with
 * its tests (not exported): the value skipper and the reader's limits.
 */
#ifndef QUENOR_READER_INT_H
#define QUENOR_READER_INT_H

#include <stdio.h>

#include "medcore.h"

/* Sequences and items that can be open at one time, each. */
#define READER_MAX_NESTING 10

/* Moves the file past a value: a defined length is skipped at once; an
 * undefined one (encapsulated data) item by item up to the sequence
 * delimiter, or to the end of the file.  Never moves past the end. */
void _skip_value(FILE *file, TransferSyntaxCode ts, uint32_t length);

#endif
