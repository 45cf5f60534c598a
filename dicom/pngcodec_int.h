/*
 * pngcodec_int.h -- the PNG side of the pixel-data coder, inside the DICOM
 * library (not exported): native frames into an encapsulated value of one
 * PNG stream per frame, and such a value back to native rows.  Both take
 * the source stream positioned at the first byte of the source value, write
 * the value length and the value to io->out, and return 0 or -1 (with a
 * message logged).
 */
#ifndef QUENOR_PNGCODEC_INT_H
#define QUENOR_PNGCODEC_INT_H

#include <stdio.h>

#include "medcore.h"

/* The number of frames coded at once: one thread per core the process may
 * run on (one for frames under 16 KiB), or QUENOR_PNG_THREADS when that
 * holds a positive number (1 codes every frame in the calling thread). */
#define QUENOR_PNG_THREADS_ENV "QUENOR_PNG_THREADS"

int16_t _write_pixeldata_png(FILE *src, IOObject *io, PixelDataDesc *pds);
int16_t _read_pixeldata_png(FILE *src, IOObject *io, PixelDataDesc *pds);

#endif
