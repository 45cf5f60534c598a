/*
 * diroffsets_int.h -- the record offsets of a directory (DICOMDIR) as the
 * writer keeps them right across a save (not exported).
 */
#ifndef QUENOR_DIROFFSETS_INT_H
#define QUENOR_DIROFFSETS_INT_H

#include <stdio.h>
#include <sys/types.h>

#include <unordered_map>
#include <vector>

#include "medcore.h"

/* The Directory Record Sequence at the top level. */
bool is_record_sequence(const DicomElement *e);

/* A directory record: an item of the Directory Record Sequence. */
bool is_record(const DicomElement *e);

/* An offset that names a record: (0004,1200) and (0004,1202) at the top
 * level, (0004,1400) and (0004,1420) in a record. */
bool is_directory_offset(const DicomElement *e);

/* The offsets of a directory (a DICOMDIR) name its records by the position
 * of their first byte in the file, and any save moves the records.  While
 * the file is written this notes where each record read from the input
 * lands and where the value of each offset goes; at the end each offset is
 * made to name its record's new place.  Records and offsets kept as the
 * raw content of a sequence or item are found in the bytes written. */
class DirectoryOffsets {
public:
    /* The record that started at `from` in the input starts at `to`. */
    void moved(uint64_t from, off_t to) { moved_[(uint32_t)from] = (uint32_t)to; }

    /* An offset naming `named` (as read) whose value is written at `at`. */
    void offset(uint32_t key, off_t at, uint32_t named, TransferSyntaxCode ts) {
        slots_.push_back({key, at, named, ts});
    }

    /* The raw content of the Directory Record Sequence, or of one record:
     * `bytes` as written at `at` in the syntax ts, from the raw value of e,
     * which the input holds in the syntax `from`.  Bytes that are no
     * well-formed content are left as they are. */
    void raw_written(const DicomElement *e, const unsigned char *bytes, size_t n, off_t at,
                     TransferSyntaxCode ts, TransferSyntaxCode from);

    /* Makes every offset name its record's place in out; an offset other
     * than 0 that named no record stays as it was, with a warning. */
    bool apply(FILE *out);

private:
    struct Slot {
        uint32_t key;
        off_t at;
        uint32_t named;
        TransferSyntaxCode ts;
    };
    std::unordered_map<uint32_t, uint32_t> moved_;
    std::vector<Slot> slots_;
};

#endif
