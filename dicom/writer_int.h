/*
 * writer_int.h -- what the file writer, the meta-header generator and the
 * pixel-data coder share inside the DICOM library (not exported): checked
 * output of numbers and bytes, and the pixel-data helpers the writer calls.
 */
#ifndef QUENOR_WRITER_INT_H
#define QUENOR_WRITER_INT_H

#include <stddef.h>
#include <stdio.h>

#include <vector>

#include "medcore.h"

/* Writes n bytes; false when the stream did not take them all. */
bool wr_bytes(FILE *out, const void *data, size_t n);
/* Writes a 16- or 32-bit number in the byte order of ts (the swap rule). */
bool wr_u16(FILE *out, TransferSyntaxCode ts, uint16_t v);
bool wr_u32(FILE *out, TransferSyntaxCode ts, uint32_t v);

/* Parses the raw content of a sequence or item of defined length, encoded
 * in the syntax from, and encodes it again in the syntax to (each value
 * swapped by its VR when the byte order changes).  False, out incomplete,
 * when the bytes are no well-formed content. */
bool recode_raw_content(AppData *app, const void *bytes, uint32_t length, TransferSyntaxCode from,
                        TransferSyntaxCode to, std::vector<unsigned char> &out);

/* The number of frames a descriptor gives: (0028,0008) whole, or the
 * 16-bit count of a descriptor made without it. */
static inline uint64_t frames_of(const PixelDataDesc *d) {
    return d->frame_count ? d->frame_count : d->frames;
}

/* Bytes of the native image a descriptor describes: frames x rows x
 * columns x samples x bits allocated / 8; UINT64_MAX beyond 64 bits. */
uint64_t native_image_bytes(const PixelDataDesc *d);

/* Bytes of the value of (7FE0,0010) (after its 32-bit length field) that a
 * save is expected to write, as far as it can be known without doing the
 * work: exact for native copies and PNG decoding, the recorded length (or 0
 * for an encapsulated value) otherwise.  The writer measures the real size. */
uint32_t pixel_value_size_estimate(const IOObject *io, const PixelDataDesc *pds);

/* Samples of more than 8 bits that an explicit-VR source labels OB: bytes
 * as they lie (little endian), never swapped, and written as OB. */
bool source_in_bytes(const PixelDataDesc *pds);

/* One-byte samples that a big-endian source holds in 16-bit OW words, each
 * pair reversed: they are put back in order (and written as OB). */
bool source_in_swapped_words(const PixelDataDesc *pds);

/* What SIGINT, SIGTERM and SIGHUP do to a save (savesignals.cpp): from
 * construction to destruction, those left to their default action mark the
 * save interrupted, so that its writes fail; a signal the save outlived
 * acts after it, as by default. */
class SaveSignals {
public:
    SaveSignals();
    ~SaveSignals();
    SaveSignals(const SaveSignals &) = delete;
    SaveSignals &operator=(const SaveSignals &) = delete;
    /* ok; a save that failed because a signal came says so first. */
    bool passed(const char *target, bool ok);

private:
    bool owner_ = false;
    bool reported_ = false;
    bool installed_[3] = {};
};

/* Whether a signal has interrupted the save in progress. */
bool save_interrupted();

/* Nonzero source length 0xFFFFFFFF with a native source encoding: the value
 * is encapsulated in a transfer syntax this library cannot name or decode. */
bool pixel_is_foreign_encapsulated(const PixelDataDesc *pds);

#endif
